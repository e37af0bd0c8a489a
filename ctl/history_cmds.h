// plimctl's views of the job history: `history` lists the records, `wait` waits for names to be
// done and tells how they ended.
#ifndef PLIMD_CTL_HISTORY_CMDS_H_
#define PLIMD_CTL_HISTORY_CMDS_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "ctl/command_line.h"
#include "jobs/history.h"

namespace plim {

// What `wait` returns when its time is up, as timeout(1) does.
inline constexpr int kExitTimeout = 124;

// One record for people: start (marked "(clock unset)" when it is no time), duration, outcome
// (marked "(rerun)"), both tools and the name.
std::string FormatHistoryLine(const HistoryRecord& record);

// `history [--json] [NAME...]`: the records, oldest first, only those of the NAMEs if given;
// --json prints them as one JSON array. Returns kExitOk, or kExitFailed when a NAME has no
// record (said on stderr).
int History(const Invocation& call);

// kExitOk when the latest of `records` for `name` (as queued) says "ok"; otherwise kExitFailed,
// with that record said on `err`, or, where there is none, the name and `absent`.
int LatestOutcome(const std::string& name, const std::vector<HistoryRecord>& records,
                  const char* absent, FILE* err);

// `wait [--timeout SECONDS] NAME...`: waits, watching the files' folder, until no NAME is queued
// or in progress, then returns kExitOk if each one's latest record says "ok", kExitFailed if one
// does not or a NAME has no record and is neither queued nor in progress (at once), and
// kExitTimeout when SECONDS passed first. Says once on stderr when a paused or stopped service
// keeps the names from moving, and goes on waiting.
int Wait(const Invocation& call);

}  // namespace plim

#endif  // PLIMD_CTL_HISTORY_CMDS_H_
