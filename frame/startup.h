// Start-up: one service at a time, split into the listener and the worker.
#ifndef PLIMD_FRAME_STARTUP_H_
#define PLIMD_FRAME_STARTUP_H_

#include <string>

namespace plim {

// Closes every inherited descriptor above 2 and takes the instance lock; if another service
// holds it, says so on stderr (with its PIDs when known) and returns 1, having cut no log and
// started nothing. Otherwise makes the work folders safe (see OpenWorkRoot), cuts the log,
// leaves the listener and the worker running in the background, in a session of their own and
// holding the lock, and returns 0 in the calling process at once. Returns 0 in the child when
// the pipe or the first worker cannot be made; then no service runs, since a listener without a
// worker would only pile trigger bytes into a pipe that nobody reads.
int RunService();

// Renames the log `log` to `log` + ".1", replacing an older one, and creates `log` anew, empty
// (mode 0644 within the umask). Works through the folder's descriptor and never writes through
// a link: only a regular file is renamed, the rename replaces whatever is at the ".1" name
// without following it, and what stays at `log` (a link, a folder, a FIFO) is reported on
// stderr and left alone. Without the folder (no disk yet), does nothing.
void StartNewLog(const std::string& log);

}  // namespace plim

#endif  // PLIMD_FRAME_STARTUP_H_
