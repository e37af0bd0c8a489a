// The operators' commands that steer the queue: remove, log, pause and resume.
#ifndef PLIMD_CTL_QUEUE_CMDS_H_
#define PLIMD_CTL_QUEUE_CMDS_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "ctl/command_line.h"

namespace plim {

// Each takes its parsed command line and returns plimctl's exit status; a bad name changes
// nothing and returns kExitUsage.

// remove NAME...: takes every entry of each NAME off the queue, never the job in progress.
// Returns kExitFailed, naming them, when a NAME was not queued (the others are removed), and
// also when the queue could not be read or rewritten.
int RemoveNames(const Invocation& call);

// log NAME: prints NAME's latest framed record from the log. Returns kExitFailed when the log
// holds none or cannot be read.
int ShowLog(const Invocation& call);

// pause: creates the pause mark (mode 0644) and flushes it and its folder to disk. Returns
// kExitFailed when it cannot be written.
int Pause(const Invocation& call);

// resume: removes the pause mark, if any, and flushes its folder; the caller then sends the
// trigger, so that the queue drains. Returns kExitFailed when the mark cannot be removed.
int RemovePauseMark(const Invocation& call);

}  // namespace plim

#endif  // PLIMD_CTL_QUEUE_CMDS_H_
