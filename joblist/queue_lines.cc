#include "joblist/queue_lines.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "joblist/atomic_file.h"
#include "joblist/late_appends.h"

namespace plim {

namespace {

constexpr off_t kPiece = 65536;

}  // namespace

LineReader::LineReader(int fd, off_t from, off_t to, size_t head_size)
    : fd_(fd), next_(from), read_at_(from), to_(to), head_size_(head_size) {}

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
    const size_t room = head_size_ - line->head.size();
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

bool OpenLines(const std::string& path, OpenedLines* file) {
  file->fd = ScopedFd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file->fd.valid() || fstat(file->fd.get(), &file->info) != 0) return false;
  file->end = EndOfWholeLines(file->fd.get(), file->info.st_size);
  return file->end >= 0;
}

namespace {

constexpr size_t kWriteSize = 65536;

// Writes the lines of `in` from `from` to `to` to `out` as `keep` says. Returns the offset up to
// which they were copied, or -1 on failure.
off_t CopyLines(int in, off_t from, off_t to, const std::function<Keep(const QueueLine&)>& keep,
                int out) {
  LineReader lines(in, from, to);
  std::string pending;
  for (QueueLine line; lines.Next(&line);) {
    const Keep what = keep(line);
    if (what == Keep::kNone) continue;
    if (line.TooLong()) {
      if (!WriteAll(out, pending) || !CopyRange(in, line.start, line.length, out)) return -1;
      pending.clear();
    } else {
      pending += what == Keep::kEntry ? line.entry() : line.head;
    }
    pending += '\n';
    if (pending.size() >= kWriteSize) {
      if (!WriteAll(out, pending)) return -1;
      pending.clear();
    }
  }
  return !lines.failed() && WriteAll(out, pending) ? lines.offset() : -1;
}

}  // namespace

bool RewriteQueue(const std::string& queue, OpenedLines old, off_t from, std::string_view first,
                  const std::function<Keep(const QueueLine&)>& keep, Rewriter rewriter) {
  off_t copied = -1;
  if (!ReplaceFileBy(queue, &old.info, [&](int out) {
        copied = WriteAll(out, first) ? CopyLines(old.fd.get(), from, old.end, keep, out) : -1;
        return copied >= 0;
      })) {
    return false;
  }
  if (rewriter == Rewriter::kService) {
    CarryOrKeepLateAppends(std::move(old.fd), copied, queue);
  } else {
    CarryLateAppends(old.fd.get(), copied, queue);
  }
  return true;
}

}  // namespace plim
