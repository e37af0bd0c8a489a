// Start-up: one service at a time, split into the listener and the worker.
#ifndef PLIMD_FRAME_STARTUP_H_
#define PLIMD_FRAME_STARTUP_H_

namespace plim {

// Closes every inherited descriptor above 2 and takes the instance lock; if another service
// holds it, says so on stderr (with its PIDs when known) and returns 1, having cut no log and
// started nothing. Otherwise makes the work folders safe (see OpenWorkRoot), cuts the log,
// leaves the listener and the worker running in the background, in a session of their own and
// holding the lock, and returns 0 in the calling process at once. Returns 0 in the child when
// the pipe or the first worker cannot be made; then no service runs, since a listener without a
// worker would only pile trigger bytes into a pipe that nobody reads.
int RunService();

}  // namespace plim

#endif  // PLIMD_FRAME_STARTUP_H_
