// plimctl's views of the job history: `history` lists the records, `wait` waits for names to be
// done and tells how they ended.
#ifndef PLIMD_CTL_HISTORY_CMDS_H_
#define PLIMD_CTL_HISTORY_CMDS_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "ctl/ctl.h"
#include "jobs/history.h"

namespace plim {

// What `wait` returns when its time is up, as timeout(1) does.
inline constexpr int kExitTimeout = 124;

// One record for people: start (marked "(clock unset)" when it is no time), duration, outcome
// (marked "(rerun)"), both tools and the name.
std::string FormatHistoryLine(const HistoryRecord& record);

// `history [--json] [NAME...]`: the records, oldest first, only those of the NAMEs if given;
// --json prints them as one JSON array. Returns kExitOk, or kExitUsage for a bad argument.
int History(const std::vector<std::string>& args, const CtlFiles& files, FILE* out, FILE* err);

// kExitOk when the latest of `records` for `name` (as queued) says "ok"; otherwise kExitFailed,
// with that record said on `err`, or, where there is none, the name and `absent`.
int LatestOutcome(const std::string& name, const std::vector<HistoryRecord>& records,
                  const char* absent, FILE* err);

// `wait [--timeout SECONDS] NAME...`: waits, watching the files' folder, until no NAME is queued
// or in progress, then returns kExitOk if each one's latest record says "ok", kExitFailed if one
// does not or a NAME has no record and is neither queued nor in progress (at once), and
// kExitTimeout when SECONDS passed first.
int Wait(const std::vector<std::string>& args, const CtlFiles& files, FILE* err);

}  // namespace plim

#endif  // PLIMD_CTL_HISTORY_CMDS_H_
