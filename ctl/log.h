// The service's log as plimctl reads it: one job's framed record, found without reading the log
// into memory (a log may hold hundreds of MB), the end of the log read backwards for `status`
// and `log --tail`, and a running job's record followed as its tools write it.
#ifndef PLIMD_CTL_LOG_H_
#define PLIMD_CTL_LOG_H_

#include <stdint.h>
#include <stdio.h>

#include <optional>
#include <string>

#include "ctl/ctl.h"

namespace plim {

// How much of each line a backward read keeps: the line's first bytes.
inline constexpr size_t kLineHead = 4096;

// What the record at the end of a log says of the job that writes it.
struct ToolOutput {
  bool in_record = false;  // the log ends in a record without its stop line
  std::string tool;        // "plim" or "plim_mark"; empty before either tool's part begins
  // The last line of that part that is not blank, as a terminal shows it: only what follows its
  // last carriage return. None while the part holds no such line.
  std::optional<std::string> last_line;
};

// Reads the log at `log` backwards from its end to the nearest frame line. A missing or
// unreadable log is one without a record.
ToolOutput ReadToolOutput(const std::string& log);

enum class LogRecord {
  kPrinted,     // the record went to `out`
  kNone,        // the log holds no record of the name, or there is no log
  kUnreadable,  // the log could not be read; errno tells why
};

// Copies the latest record of the file-system name `name` in the log at `log` to `out`, byte
// for byte: from its line ">>>>>>>> plim start NAME" to its line ">>>>>>>> plim stop NAME",
// both included. A record without its stop line, of a job still running or cut short, ends
// where the next record starts or where the log ends. With `printable` (for a terminal), control
// characters other than line breaks and tabs are escaped as Printable does. With `tail`, only
// the record's last `tail` lines (those it has so far, the stop line counted).
LogRecord PrintLatestRecord(const std::string& log, const std::string& name, bool printable,
                            FILE* out, size_t tail = SIZE_MAX);

// While the job `name` (as queued) is in progress, prints its record so far (with `tail`, its
// last `tail` lines) and then each line the tools add, until the job leaves the in-progress file;
// it sleeps on inotify events of the files' folders, and a log cut or replaced meanwhile (at a
// restart) is read again from its start. A job not in progress gets its latest record only.
// Returns as `wait` does for the name: kExitOk when its latest history record says "ok",
// otherwise kExitFailed, said on `err` (also when the folders cannot be watched).
int FollowLog(const CtlFiles& files, const std::string& name, size_t tail, bool printable,
              FILE* out, FILE* err);

}  // namespace plim

#endif  // PLIMD_CTL_LOG_H_
