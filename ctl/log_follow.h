// `plimctl log --follow`: a running job's record as its tools write it.
#ifndef PLIMD_CTL_LOG_FOLLOW_H_
#define PLIMD_CTL_LOG_FOLLOW_H_

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "ctl/ctl.h"

namespace plim {

// While the job `name` (as queued) is in progress, prints its record so far (with `tail`, its
// last `tail` lines) and then each line the tools add, until the job leaves the in-progress file;
// it sleeps on inotify events of the files' folders, and a log cut or replaced meanwhile (at a
// restart) is read again from its start. A job not in progress gets its latest record only.
// Returns as `wait` does for the name: kExitOk when its latest history record says "ok",
// otherwise kExitFailed, said on `err` (also when the folders cannot be watched).
int FollowLog(const CtlFiles& files, const std::string& name, size_t tail, bool printable,
              FILE* out, FILE* err);

}  // namespace plim

#endif  // PLIMD_CTL_LOG_FOLLOW_H_
