// The end of the service's log, read backwards in pieces: a log may hold hundreds of MB, and
// `status` and `log --tail` want only its last lines.
#ifndef PLIMD_CTL_LOG_TAIL_H_
#define PLIMD_CTL_LOG_TAIL_H_

#include <sys/types.h>

#include <optional>
#include <string>

namespace plim {

// How much of each line a backward read keeps: the line's first bytes.
inline constexpr size_t kLineHead = 4096;

// The offset at which the last `count` lines of [begin, end) of `fd` start; `begin` when it holds
// no more lines than that. -1 on a read error.
off_t TailStart(int fd, off_t begin, off_t end, size_t count);

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

}  // namespace plim

#endif  // PLIMD_CTL_LOG_TAIL_H_
