// The queue file's lines, read in bounded pieces so that no line, however long, is held whole,
// and the one rewrite of the queue that Get and the operator's commands share.
#ifndef PLIMD_JOBLIST_QUEUE_LINES_H_
#define PLIMD_JOBLIST_QUEUE_LINES_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "joblist/scoped_fd.h"

namespace plim {

// The longest queue line that is a name, in bytes without its "\n". A longer one is set aside
// unread.
inline constexpr off_t kLongestLine = 4096;

struct QueueLine {
  off_t start = 0;         // the offset of its first byte
  off_t length = 0;        // its bytes before the "\n" or the end of the file
  bool has_break = false;  // it ends with "\n"
  std::string head;        // its first bytes: kLongestLine + 1 at most, unless asked for more

  bool TooLong() const { return length > kLongestLine; }
  off_t end() const { return start + length + (has_break ? 1 : 0); }
  // The entry the line reads as: names end at a NUL byte wherever they are used.
  std::string_view entry() const { return std::string_view(head).substr(0, head.find('\0')); }
};

// The lines of `fd`'s file between two offsets, read with pread in pieces of 64 KiB, each with
// its first `head_size` bytes.
class LineReader {
 public:
  LineReader(int fd, off_t from, off_t to, size_t head_size = kLongestLine + 1);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads the next line into `line`. Returns false at the end, and on a read error.
  bool Next(QueueLine* line);
  bool failed() const { return failed_; }
  // Where the next line begins: after the last one read.
  off_t offset() const { return next_; }

 private:
  bool Fill();

  int fd_;
  off_t next_;     // where the next line begins
  off_t read_at_;  // where the next piece begins
  off_t to_;
  size_t head_size_;
  std::string piece_;
  size_t used_ = 0;  // bytes of piece_ already given out
  bool failed_ = false;
};

// A line file opened for reading: its owner, group and mode, and where its whole lines end,
// before a last line that a producer may still be writing (EndOfWholeLines).
struct OpenedLines {
  ScopedFd fd;
  struct stat info = {};
  off_t end = 0;
};

// Opens the file at `path` read-only. Returns false with errno set when it cannot be opened.
bool OpenLines(const std::string& path, OpenedLines* file);

// What a rewrite of the queue makes of one of its lines.
enum class Keep {
  kEntry,  // the entry it reads as, with "\n"; a line longer than kLongestLine byte for byte
  kBytes,  // the line byte for byte, with "\n"
  kNone,   // nothing: the line goes
};

// Who rewrites the queue, which decides how long a producer still writing into the replaced
// file may hold the rewrite up.
enum class Rewriter {
  kService,   // CarryOrKeepLateAppends: a second at most
  kOperator,  // CarryLateAppends: ten seconds at most
};

// Replaces the queue file at `queue`, opened as `old`, by `first` followed by its whole lines
// from `from` on, each as `keep` says, read and written in pieces. The new file takes the old
// one's owner, group and mode, and is in place durably (ReplaceFileBy). Then the lines that
// producers append to the old file meanwhile are carried into the new one.
// On failure returns false with errno set, leaving the file as it was.
bool RewriteQueue(const std::string& queue, OpenedLines old, off_t from, std::string_view first,
                  const std::function<Keep(const QueueLine&)>& keep, Rewriter rewriter);

}  // namespace plim

#endif  // PLIMD_JOBLIST_QUEUE_LINES_H_
