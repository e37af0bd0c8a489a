// One job's framed record in the service's log, found without reading the log into memory.
#ifndef PLIMD_CTL_LOG_RECORD_H_
#define PLIMD_CTL_LOG_RECORD_H_

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <string_view>

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
// characters other than line breaks and tabs are escaped as Printable does. With `tail`, only
// the record's last `tail` lines (those it has so far, the stop line counted).
LogRecord PrintLatestRecord(const std::string& log, const std::string& name, bool printable,
                            FILE* out, size_t tail = SIZE_MAX);

// Finds the latest record of `name` in the log open as `fd`: [*begin, *end), *end -1 where it
// runs to the log's end. Returns kPrinted when found, though it prints nothing.
LogRecord FindLatestRecord(int fd, const std::string& name, off_t* begin, off_t* end);

// Writes `bytes`, one piece of a record, to `out`; with `printable`, escaped as far as they end
// on a whole character, the rest kept in `pending` for the next piece.
void WritePiece(std::string_view bytes, bool printable, std::string* pending, FILE* out);

// PrintLatestRecord of `log`, and where that holds none, of the log the service's last start
// kept (`log` + ".1"), so that a record outlives one restart.
LogRecord PrintLatestKeptRecord(const std::string& log, const std::string& name, bool printable,
                                FILE* out, size_t tail = SIZE_MAX);

}  // namespace plim

#endif  // PLIMD_CTL_LOG_RECORD_H_
