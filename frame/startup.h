// Start-up: the split of the program into the listener and the worker.
#ifndef PLIMD_FRAME_STARTUP_H_
#define PLIMD_FRAME_STARTUP_H_

namespace plim {

// Cuts the log file, leaves the listener and the worker running in the background, and
// returns 0 in the calling process at once. Returns 0 in every process that returns: the
// listener when it cannot bind, the worker when its pipe fails, and the first child when the
// pipe or the second fork fails; then no service runs, since a listener without a worker
// would only pile trigger bytes into a pipe that nobody reads.
int RunService();

}  // namespace plim

#endif  // PLIMD_FRAME_STARTUP_H_
