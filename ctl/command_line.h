// plimctl's commands as one table, the command line of each (options, then operands, and what
// to say when they are not right), and the commands' handlers.
#ifndef PLIMD_CTL_COMMAND_LINE_H_
#define PLIMD_CTL_COMMAND_LINE_H_

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "ctl/ctl.h"
#include "joblist/scoped_fd.h"
#include "jobs/history.h"

namespace plim {

// What `wait` and `kill` return when their time is up, as timeout(1) does.
inline constexpr int kExitTimeout = 124;

struct Option {
  const char* name;        // the long name, without "--"
  char short_name;         // 0 for none
  const char* value_name;  // what its value is called in the usage; nullptr: it takes none
};

// One command, as parsed from the words after the command's name.
struct Invocation {
  const CtlFiles& files;
  FILE* out;
  FILE* err;
  std::set<std::string> flags;                // the long names of the options given without value
  std::map<std::string, std::string> values;  // the long names of those with one, and the value
  std::vector<std::string> operands;          // the NAMEs, in order

  bool Has(const std::string& option) const { return flags.count(option) != 0; }
};

using Handler = int (*)(const Invocation&);

struct Command {
  const char* name;
  // What follows the options in the usage: "" (the parser refuses operands), "NAME" (exactly
  // one), "NAME..." (one or more), or in brackets (any number).
  const char* operands;
  const char* summary;  // for the usage; "\n" starts another line
  std::vector<Option> options;
  Handler run;
};

// The commands, in the order the usage lists them (defined in ctl.cc).
const std::vector<Command>& Commands();

// "add [--first] NAME...": the command's synopsis, as the usage shows it.
std::string Synopsis(const Command& command);

// Parses `args`, the words after the command's name, with getopt_long: options may come before,
// between and after the operands, "--opt=value" and "--opt value" are the same, "--" ends the
// options. Checks the count of operands against `command.operands`. On an unknown option, a
// missing value or a wrong count, returns false with `problem` set.
bool ParseOptions(const Command& command, const std::vector<std::string>& args, Invocation* call,
                  std::string* problem);

// Says what is wrong with the command line on `err`; returns kExitUsage.
int UsageError(FILE* err, const std::string& problem);

// "CMD: the name "N" WHY" for the first of `names` that fits no queue entry, or with `as_file`,
// no file name either (a name that fits none would only fail as a job); empty when all fit.
std::string BadName(const char* command, const std::vector<std::string>& names,
                    bool as_file = false);

// The handlers, each given its parsed command line and returning plimctl's exit status; a bad
// name changes nothing and returns kExitUsage.

// log NAME: prints NAME's latest framed record from the log (see PrintLatestRecord), or, with
// --follow, FollowLog's. Returns kExitFailed when the log holds none or cannot be read.
int ShowLog(const Invocation& call);

// `history [--json] [NAME...]`: the records, oldest first, only those of the NAMEs if given;
// --json prints them as one JSON array. Returns kExitOk, or kExitFailed when a NAME has no
// record (said on stderr).
int History(const Invocation& call);

// `wait [--timeout SECONDS] NAME...`: waits, watching the files' folder, until no NAME is queued
// or in progress, then returns kExitOk if each one's latest record says "ok", kExitFailed if one
// does not or a NAME has no record and is neither queued nor in progress (at once), and
// kExitTimeout when SECONDS passed first. Says once on stderr when a paused or stopped service
// keeps the names from moving, and goes on waiting.
int Wait(const Invocation& call);

// `kill NAME`: asks the worker to end the job in progress if it is NAME (the request file
// `files.kill_request` and kKillSignal), then waits up to 10 s for the job's record and prints
// it as `history` does. Returns kExitOk when the job was killed; kExitFailed when the caller is
// not root, NAME is not the job in progress, the service does not run, the request cannot be
// made or the job ended otherwise; kExitTimeout when it has not ended in time.
int KillJob(const Invocation& call);

// An inotify descriptor (non-blocking) that watches the folder of each of `paths` for `mask`;
// an invalid one, having said on `err` that the first one's folder cannot be watched, on failure.
ScopedFd WatchFolders(const std::vector<std::string>& paths, uint32_t mask, FILE* err);

// kExitOk when the latest of `records` for `name` (as queued) says "ok"; otherwise kExitFailed,
// with that record said on `err`, or, where there is none, the name and `absent`.
int LatestOutcome(const std::string& name, const std::vector<HistoryRecord>& records,
                  const char* absent, FILE* err);

}  // namespace plim

#endif  // PLIMD_CTL_COMMAND_LINE_H_
