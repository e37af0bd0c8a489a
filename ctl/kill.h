// plimctl kill: ends the job in progress at the operator's word.
#ifndef PLIMD_CTL_KILL_H_
#define PLIMD_CTL_KILL_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "ctl/command_line.h"

namespace plim {

// How long `kill` waits for the job to end: the tool's 5 s between SIGTERM and SIGKILL, and
// the job's records after it.
inline constexpr int kKillWaitSeconds = 10;

// `kill NAME`: asks the worker to end the job in progress if it is NAME (the request file
// `files.kill_request` and kKillSignal), then waits up to kKillWaitSeconds for the job's record
// and prints it as `history` does. Returns kExitOk when the job was killed; kExitFailed when the
// caller is not root, NAME is not the job in progress, the service does not run, the request
// cannot be made or the job ended otherwise; kExitTimeout when it has not ended in time;
// kExitUsage for a bad command line.
int KillJob(const Invocation& call);

}  // namespace plim

#endif  // PLIMD_CTL_KILL_H_
