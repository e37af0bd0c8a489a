// Reading a queue's lines in bounded pieces, so that no line, however long, is held whole.
#ifndef PLIMD_JOBLIST_QUEUE_LINES_H_
#define PLIMD_JOBLIST_QUEUE_LINES_H_

#include <sys/types.h>

#include <string>

namespace plim {

// The longest queue line that is a name, in bytes without its "\n". A longer one is set aside
// unread.
inline constexpr off_t kLongestLine = 4096;

struct QueueLine {
  off_t start = 0;         // the offset of its first byte
  off_t length = 0;        // its bytes before the "\n" or the end of the file
  bool has_break = false;  // it ends with "\n"
  std::string head;        // its first kLongestLine + 1 bytes at most

  bool TooLong() const { return length > kLongestLine; }
  off_t end() const { return start + length + (has_break ? 1 : 0); }
};

// The lines of `fd`'s file between two offsets, read with pread in pieces of 64 KiB.
class LineReader {
 public:
  LineReader(int fd, off_t from, off_t to);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads the next line into `line`. Returns false at the end, and on a read error.
  bool Next(QueueLine* line);
  bool failed() const { return failed_; }

 private:
  bool Fill();

  int fd_;
  off_t next_;     // where the next line begins
  off_t read_at_;  // where the next piece begins
  off_t to_;
  std::string piece_;
  size_t used_ = 0;  // bytes of piece_ already given out
  bool failed_ = false;
};

}  // namespace plim

#endif  // PLIMD_JOBLIST_QUEUE_LINES_H_
