#include "ctl/log_tail.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string_view>

#include "joblist/scoped_fd.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

constexpr size_t kPiece = 65536;

bool ReadAt(int fd, char* buffer, size_t size, off_t at) {
  while (size > 0) {
    const ssize_t n = pread(fd, buffer, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // cut short while read: the caller reads again from the end
    buffer += n;
    size -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

// Puts `piece`, read just before the line's bytes seen so far, in front of `head`, keeping the
// first kLineHead bytes: once the line's start is reached, they are its first bytes.
void Prepend(std::string_view piece, std::string* head) {
  if (piece.size() >= kLineHead) {
    head->assign(piece.substr(0, kLineHead));
    return;
  }
  head->insert(0, piece);
  if (head->size() > kLineHead) head->resize(kLineHead);
}

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r\v\f") == std::string_view::npos;
}

// What a terminal shows of a line that moves its cursor back with carriage returns.
std::string Shown(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t last_return = line.rfind('\r');
  return std::string(last_return == std::string_view::npos ? line : line.substr(last_return + 1));
}

// Whether `line` starts as the frame line `pattern` does, before its name.
bool StartsWith(std::string_view line, std::string_view pattern) {
  const std::string_view prefix = pattern.substr(0, pattern.find("%s"));
  return line.substr(0, prefix.size()) == prefix;
}

// Calls `visit(start, head, length)` for each line of the bytes [begin, end) of `fd`, the last
// line first, until it returns false: `start` is the line's offset, `length` its length without
// its line break, `head` its first kLineHead bytes at most. A last line without its line break
// is a line. Returns false on a read error.
using LineVisitor = std::function<bool(off_t start, std::string_view head, off_t length)>;
bool ForEachLineBackward(int fd, off_t begin, off_t end, const LineVisitor& visit) {
  std::string piece;
  std::string head;
  off_t line_end = end;
  for (off_t at = end; at > begin;) {
    const size_t size = static_cast<size_t>(std::min<off_t>(kPiece, at - begin));
    piece.resize(size);
    if (!ReadAt(fd, &piece[0], size, at - static_cast<off_t>(size))) return false;
    at -= static_cast<off_t>(size);
    size_t rest = size;
    // The log's last line break ends its last line; no empty line follows it.
    if (line_end == end && at + static_cast<off_t>(rest) == end && piece[rest - 1] == '\n') {
      line_end = end - 1;
      --rest;
    }
    for (const void* found; (found = memrchr(piece.data(), '\n', rest)) != nullptr;) {
      const size_t brk = static_cast<size_t>(static_cast<const char*>(found) - piece.data());
      Prepend(std::string_view(piece).substr(brk + 1, rest - brk - 1), &head);
      const off_t start = at + static_cast<off_t>(brk) + 1;
      if (!visit(start, head, line_end - start)) return true;
      head.clear();
      line_end = start - 1;
      rest = brk;
    }
    Prepend(std::string_view(piece).substr(0, rest), &head);
  }
  if (end > begin) visit(begin, head, line_end - begin);
  return true;
}

}  // namespace

off_t TailStart(int fd, off_t begin, off_t end, size_t count) {
  off_t tail = begin;
  size_t seen = 0;
  if (count == 0) return end;
  const bool read = ForEachLineBackward(fd, begin, end, [&](off_t start, std::string_view, off_t) {
    tail = start;
    return ++seen < count;
  });
  return read ? tail : -1;
}

ToolOutput ReadToolOutput(const std::string& log) {
  ToolOutput output;
  ScopedFd fd(open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  const off_t end = fd.valid() ? lseek(fd.get(), 0, SEEK_END) : -1;
  if (end <= 0) return output;
  std::optional<std::string> last_line;
  ForEachLineBackward(fd.get(), 0, end, [&](off_t, std::string_view line, off_t) {
    if (line == kAnalysisHeader || line == kMarkHeader || StartsWith(line, kRecordStart)) {
      output.in_record = true;
      output.tool = line == kAnalysisHeader ? "plim" : line == kMarkHeader ? "plim_mark" : "";
      if (!output.tool.empty()) output.last_line = last_line;
      return false;
    }
    if (StartsWith(line, kRecordStop)) return false;
    if (!last_line && !IsBlank(Shown(line))) last_line = Shown(line);
    return true;
  });
  return output;
}

}  // namespace plim
