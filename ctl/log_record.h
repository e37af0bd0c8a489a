// One job's framed record in the service's log, found without reading the log into memory.
#ifndef PLIMD_CTL_LOG_RECORD_H_
#define PLIMD_CTL_LOG_RECORD_H_

#include <stdio.h>

#include <string>

namespace plim {

enum class LogRecord {
  kPrinted,     // the record went to `out`
  kNone,        // the log holds no record of the name, or there is no log
  kUnreadable,  // the log could not be read; errno tells why
};

// Copies the latest record of the file-system name `name` in the log at `log` to `out`, byte
// for byte: from its line ">>>>>>>> plim start NAME" to its line ">>>>>>>> plim stop NAME",
// both included. A record without its stop line, of a job still running or cut short, ends
// where the next record starts or where the log ends. With `printable` (for a terminal), control
// characters other than line breaks and tabs are escaped as Printable does.
LogRecord PrintLatestRecord(const std::string& log, const std::string& name, bool printable,
                            FILE* out);

// PrintLatestRecord of `log`, and where that holds none, of the log the service's last start
// kept (`log` + ".1"), so that a record outlives one restart.
LogRecord PrintLatestKeptRecord(const std::string& log, const std::string& name, bool printable,
                                FILE* out);

}  // namespace plim

#endif  // PLIMD_CTL_LOG_RECORD_H_
