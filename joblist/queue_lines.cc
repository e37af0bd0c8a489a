#include "joblist/queue_lines.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace plim {

namespace {

constexpr off_t kPiece = 65536;

}  // namespace

LineReader::LineReader(int fd, off_t from, off_t to)
    : fd_(fd), next_(from), read_at_(from), to_(to) {}

bool LineReader::Fill() {
  piece_.resize(static_cast<size_t>(std::min(kPiece, to_ - read_at_)));
  used_ = 0;
  if (piece_.empty()) return false;
  ssize_t n;
  do {
    n = pread(fd_, piece_.data(), piece_.size(), read_at_);
  } while (n < 0 && errno == EINTR);
  // A file cut shorter meanwhile ends where it now ends.
  piece_.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
  failed_ = n < 0;
  read_at_ = n > 0 ? read_at_ + n : to_;
  return n > 0;
}

bool LineReader::Next(QueueLine* line) {
  *line = QueueLine();
  line->start = next_;
  while (used_ < piece_.size() || Fill()) {
    const char* begin = piece_.data() + used_;
    const size_t left = piece_.size() - used_;
    const char* newline = static_cast<const char*>(memchr(begin, '\n', left));
    const size_t bytes = newline != nullptr ? static_cast<size_t>(newline - begin) : left;
    const size_t room = static_cast<size_t>(kLongestLine + 1) - line->head.size();
    line->head.append(begin, std::min(bytes, room));
    line->length += static_cast<off_t>(bytes);
    used_ += bytes;
    if (newline != nullptr) {
      ++used_;
      line->has_break = true;
      break;
    }
  }
  next_ = line->end();
  return !failed_ && (line->length > 0 || line->has_break);
}

}  // namespace plim
