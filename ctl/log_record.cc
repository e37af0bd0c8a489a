#include "ctl/log_record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <algorithm>

#include "ctl/log_tail.h"
#include "ctl/status.h"
#include "joblist/scoped_fd.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

constexpr size_t kChunk = 65536;

// Calls `found` with the offset of each line of the file `fd`, from the line start `from` on,
// that begins with `line` (which ends at a line break when a whole line is meant), until
// `found` returns false. The log may be far larger than memory, so it is read in chunks, and
// the tail of each chunk is kept that may hold the start of a match. Returns false on a read
// error.
template <typename FoundFn>
bool ScanLines(int fd, off_t from, const std::string& line, FoundFn&& found) {
  const std::string pattern = "\n" + line;
  std::string window = "\n";  // the line break before `from`, or the start of the file
  off_t base = from - 1;      // the offset of window[0]
  std::string chunk(kChunk, '\0');
  for (;;) {
    const ssize_t n = pread(fd, &chunk[0], kChunk, base + static_cast<off_t>(window.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    window.append(chunk, 0, static_cast<size_t>(n));
    for (size_t at = window.find(pattern); at != std::string::npos;
         at = window.find(pattern, at + 1)) {
      if (!found(base + static_cast<off_t>(at) + 1)) return true;
    }
    const size_t keep = std::min(window.size(), pattern.size() - 1);
    base += static_cast<off_t>(window.size() - keep);
    window.erase(0, window.size() - keep);
  }
}

// The offset of the first line from `from` on that begins with `line`, or -1.
off_t FirstLine(int fd, off_t from, const std::string& line) {
  off_t first = -1;
  ScanLines(fd, from, line, [&first](off_t at) {
    first = at;
    return false;
  });
  return first;
}

bool Copy(int fd, off_t begin, off_t end, bool printable, FILE* out) {
  std::string chunk(kChunk, '\0');
  std::string pending;
  while (end < 0 || begin < end) {
    const size_t want = end < 0 ? kChunk : std::min(kChunk, static_cast<size_t>(end - begin));
    const ssize_t n = pread(fd, &chunk[0], want, begin);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    WritePiece(std::string_view(chunk).substr(0, static_cast<size_t>(n)), printable, &pending, out);
    begin += n;
  }
  fputs(Printable(pending).c_str(), out);
  return true;
}

}  // namespace

void WritePiece(std::string_view bytes, bool printable, std::string* pending, FILE* out) {
  if (!printable) {
    fwrite(bytes.data(), 1, bytes.size(), out);
    return;
  }
  *pending += bytes;
  const size_t whole = WholeCharacters(*pending);
  fputs(Printable(std::string_view(*pending).substr(0, whole), /*keep_lines=*/true).c_str(), out);
  pending->erase(0, whole);
}

LogRecord FindLatestRecord(int fd, const std::string& name, off_t* begin, off_t* end) {
  const std::string start_line = Fill(kRecordStart, name) + "\n";
  *begin = -1;
  if (!ScanLines(fd, 0, start_line, [begin](off_t at) {
        *begin = at;
        return true;
      })) {
    return LogRecord::kUnreadable;
  }
  if (*begin < 0) return LogRecord::kNone;
  const std::string stop_line = Fill(kRecordStop, name) + "\n";
  *end = FirstLine(fd, *begin, stop_line);
  if (*end >= 0) *end += static_cast<off_t>(stop_line.size());
  // A record cut short by a crash is followed by the next job's record, not by its stop line.
  const off_t next =
      FirstLine(fd, *begin + static_cast<off_t>(start_line.size()), Fill(kRecordStart, ""));
  if (next >= 0 && (*end < 0 || next < *end)) *end = next;
  return LogRecord::kPrinted;
}

LogRecord PrintLatestRecord(const std::string& log, const std::string& name, bool printable,
                            FILE* out, size_t tail) {
  ScopedFd fd(open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return errno == ENOENT ? LogRecord::kNone : LogRecord::kUnreadable;
  off_t begin, end;
  const LogRecord found = FindLatestRecord(fd.get(), name, &begin, &end);
  if (found != LogRecord::kPrinted) return found;
  if (tail != SIZE_MAX) {
    // The end is fixed first, so that the lines counted are the lines printed.
    if (end < 0) end = lseek(fd.get(), 0, SEEK_END);
    begin = end < 0 ? -1 : TailStart(fd.get(), begin, end, tail);
    if (begin < 0) return LogRecord::kUnreadable;
  }
  return Copy(fd.get(), begin, end, printable, out) ? LogRecord::kPrinted : LogRecord::kUnreadable;
}

LogRecord PrintLatestKeptRecord(const std::string& log, const std::string& name, bool printable,
                                FILE* out, size_t tail) {
  const LogRecord found = PrintLatestRecord(log, name, printable, out, tail);
  return found == LogRecord::kNone ? PrintLatestRecord(log + ".1", name, printable, out, tail)
                                   : found;
}

}  // namespace plim
