// Why names queued may not move: the service is paused or does not run.
#ifndef PLIMD_CTL_HELD_BACK_H_
#define PLIMD_CTL_HELD_BACK_H_

#include <stdio.h>

#include "ctl/ctl.h"
#include "ctl/status.h"

namespace plim {

// LSB status codes of `plimctl status`, as init scripts report them.
inline constexpr int kExitProcessMissing = 1;  // one of the two processes runs
inline constexpr int kExitNotRunning = 3;

// kExitOk while both processes run, kExitProcessMissing when one of them does,
// kExitNotRunning when neither does.
int ServiceStatusCode(const ServiceProcesses& service);

// Writes a warning to `err` for each thing that keeps queued names from being taken: the pause
// mark, or a service (or one of its processes) that does not run. Reads the PID file and the
// mark as `status` does; writes nothing else. Returns whether it warned.
bool WarnIfHeldBack(const CtlFiles& files, FILE* err);

}  // namespace plim

#endif  // PLIMD_CTL_HELD_BACK_H_
