#include "ctl/log.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string_view>
#include <utility>

#include "ctl/command_line.h"
#include "ctl/status.h"
#include "joblist/job_files.h"
#include "joblist/scoped_fd.h"
#include "jobs/convert.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

constexpr size_t kChunk = 65536;
// Lines that may be frame lines are held until their line break; one this long is none.
constexpr size_t kLongestFrame = 2 * kLineHead + 64;

ScopedFd OpenLog(const std::string& log) {
  return ScopedFd(open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

// pread, again where a signal interrupted it.
ssize_t ReadAt(int fd, char* buffer, size_t size, off_t at) {
  for (;;) {
    const ssize_t n = pread(fd, buffer, size, at);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Writes `bytes`, one piece of a record, to `out`; with `printable`, escaped as far as they end
// on a whole character, the rest kept in `pending` for the next piece.
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
    const ssize_t n = ReadAt(fd, &chunk[0], kChunk, base + static_cast<off_t>(window.size()));
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

// Finds the latest record of `name` in the log open as `fd`: [*begin, *end), *end -1 where it
// runs to the log's end. Returns kPrinted when found, though it prints nothing.
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

bool Copy(int fd, off_t begin, off_t end, bool printable, FILE* out) {
  std::string chunk(kChunk, '\0');
  std::string pending;
  while (end < 0 || begin < end) {
    const size_t want = end < 0 ? kChunk : std::min(kChunk, static_cast<size_t>(end - begin));
    const ssize_t n = ReadAt(fd, &chunk[0], want, begin);
    if (n < 0) return false;
    if (n == 0) break;
    WritePiece(std::string_view(chunk).substr(0, static_cast<size_t>(n)), printable, &pending, out);
    begin += n;
  }
  fputs(Printable(pending).c_str(), out);
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

// Calls `visit(start, head)` for each line of the bytes [begin, end) of `fd`, the last line
// first, until it returns false: `start` is the line's offset, `head` its first kLineHead bytes
// at most, without its line break. A last line without its line break is a line. Returns false
// on a read error.
using LineVisitor = std::function<bool(off_t start, std::string_view head)>;
bool ForEachLineBackward(int fd, off_t begin, off_t end, const LineVisitor& visit) {
  std::string piece;
  std::string head;
  bool last = true;  // the log's last line break ends its last line; no empty line follows it
  for (off_t at = end; at > begin;) {
    const size_t size = static_cast<size_t>(std::min<off_t>(kChunk, at - begin));
    piece.resize(size);
    at -= static_cast<off_t>(size);
    // A short read means the log was cut meanwhile: the caller reads again from the end.
    if (ReadAt(fd, &piece[0], size, at) != static_cast<ssize_t>(size)) return false;
    size_t rest = size;
    if (last && piece[rest - 1] == '\n') --rest;
    last = false;
    for (const void* found; (found = memrchr(piece.data(), '\n', rest)) != nullptr;) {
      const size_t brk = static_cast<size_t>(static_cast<const char*>(found) - piece.data());
      Prepend(std::string_view(piece).substr(brk + 1, rest - brk - 1), &head);
      if (!visit(at + static_cast<off_t>(brk) + 1, head)) return true;
      head.clear();
      rest = brk;
    }
    Prepend(std::string_view(piece).substr(0, rest), &head);
  }
  if (end > begin) visit(begin, head);
  return true;
}

// The offset at which the last `count` lines of [begin, end) of `fd` start; `begin` when it holds
// no more lines than that. -1 on a read error.
off_t TailStart(int fd, off_t begin, off_t end, size_t count) {
  off_t tail = begin;
  size_t seen = 0;
  if (count == 0) return end;
  const bool read = ForEachLineBackward(fd, begin, end, [&](off_t start, std::string_view) {
    tail = start;
    return ++seen < count;
  });
  return read ? tail : -1;
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

// Reads the log from where it left off and prints the lines of the followed job's records.
class Follower {
 public:
  // Starts at `offset` of `log`, open as `fd`, within a record of `name` or before one.
  Follower(const std::string& log, const std::string& name, bool printable, FILE* out, ScopedFd fd,
           off_t offset, bool in_record)
      : log_(log),
        start_(Fill(kRecordStart, name)),
        stop_(Fill(kRecordStop, name)),
        printable_(printable),
        out_(out),
        fd_(std::move(fd)),
        offset_(offset),
        in_record_(in_record),
        printed_(in_record) {}

  // Reads what was added since the last call, starting over on a log that was cut or replaced.
  void ReadNew() {
    struct stat now, held;
    if (stat(log_.c_str(), &now) != 0) return;
    if (!fd_.valid() || fstat(fd_.get(), &held) != 0 || held.st_ino != now.st_ino ||
        held.st_dev != now.st_dev || now.st_size < offset_) {
      fd_ = OpenLog(log_);
      offset_ = 0;
      if (streaming_) Print("\n");  // the new log's lines start on a line of their own
      EndLine();
    }
    std::string piece(kChunk, '\0');
    for (ssize_t n; fd_.valid() && (n = ReadAt(fd_.get(), &piece[0], kChunk, offset_)) > 0;) {
      offset_ += n;
      Take(std::string_view(piece).substr(0, static_cast<size_t>(n)));
    }
  }

  // Prints a last line without its line break, once nothing more comes.
  void Finish() {
    if (in_record_ && !line_.empty()) Print(line_);
    fputs(Printable(pending_).c_str(), out_);
    fflush(out_);
  }

  bool printed() const { return printed_; }

 private:
  void Take(std::string_view bytes) {
    while (!bytes.empty()) {
      const size_t brk = bytes.find('\n');
      const std::string_view part = bytes.substr(0, brk);
      if (streaming_) {
        Print(part);
      } else if (!skipping_) {
        line_ += part;
        Decide();
      }
      if (brk == std::string_view::npos) break;
      if (!streaming_ && !skipping_) Whole(line_);
      if (streaming_) Print("\n");
      EndLine();
      bytes.remove_prefix(brk + 1);
    }
    fflush(out_);
  }

  // A line that cannot be a frame line is printed as it comes, or skipped outside a record.
  void Decide() {
    const size_t known = std::min(line_.size(), kFramePrefix.size());
    if (line_.compare(0, known, kFramePrefix.data(), known) == 0 && line_.size() < kLongestFrame)
      return;
    streaming_ = in_record_;
    skipping_ = !in_record_;
    if (streaming_) Print(line_);
    line_.clear();
  }

  // A whole line that may be a frame line: a record of the job starts or ends with it.
  void Whole(const std::string& line) {
    if (line == start_) {
      in_record_ = true;
    } else if (StartsWith(line, kRecordStart)) {
      in_record_ = false;  // another job's record: the followed one was cut short
    }
    if (in_record_) Print(line + "\n");
    if (line == stop_) in_record_ = false;
  }

  void EndLine() {
    line_.clear();
    streaming_ = skipping_ = false;
  }

  void Print(std::string_view bytes) {
    WritePiece(bytes, printable_, &pending_, out_);
    printed_ = true;
  }

  const std::string log_;
  const std::string start_;
  const std::string stop_;
  const bool printable_;
  FILE* const out_;
  ScopedFd fd_;
  off_t offset_;
  bool in_record_;
  bool printed_;
  std::string line_;  // the current line while it may be a frame line
  bool streaming_ = false;
  bool skipping_ = false;
  std::string pending_;  // bytes of a character cut off between two reads
};

// Sleeps until something changes in the watched folders, and takes the events.
void AwaitChange(int inotify) {
  struct pollfd ready = {inotify, POLLIN, 0};
  if (poll(&ready, 1, -1) <= 0) return;
  alignas(struct inotify_event) char events[4096];
  while (read(inotify, events, sizeof events) > 0) {
  }
}

int Outcome(const CtlFiles& files, const std::string& name, FILE* err) {
  return LatestOutcome(name, ReadHistory(files.history), "has no record in the history", err);
}

// A job not in progress: its latest record, and how it ended.
int PrintEnded(const CtlFiles& files, const std::string& name, size_t tail, bool printable,
               FILE* out, FILE* err) {
  if (PrintLatestRecord(files.log, Convert(name), printable, out, tail) != LogRecord::kPrinted) {
    fprintf(err, "plimctl: log: %s holds no record of \"%s\"\n", files.log.c_str(),
            Printable(name).c_str());
  }
  fflush(out);
  return Outcome(files, name, err);
}

// Follows the log from within the job's record where the log ends in it, else from its end.
Follower StartFollowing(const std::string& log, const std::string& file_name, size_t tail,
                        bool printable, FILE* out) {
  ScopedFd fd = OpenLog(log);
  off_t begin = -1, end = -1;
  const off_t size = fd.valid() ? lseek(fd.get(), 0, SEEK_END) : 0;
  const bool running = fd.valid() &&
                       FindLatestRecord(fd.get(), file_name, &begin, &end) == LogRecord::kPrinted &&
                       end < 0;
  if (running && tail != SIZE_MAX) {
    begin = std::max<off_t>(TailStart(fd.get(), begin, size, tail), begin);
  }
  const off_t offset = running ? begin : std::max<off_t>(size, 0);
  return Follower(log, file_name, printable, out, std::move(fd), offset, running);
}

// The value of `log --tail`, SIZE_MAX without one; false for one that is no count of lines.
bool TailCount(const Invocation& call, size_t* tail, std::string* problem) {
  const auto given = call.values.find("tail");
  if (given == call.values.end()) return true;
  const std::string& text = given->second;
  char* end = nullptr;
  errno = 0;
  const unsigned long long count = strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0) {
    *problem = "log: --tail takes a number of lines, not " + Printable(text);
    return false;
  }
  *tail = static_cast<size_t>(std::min<unsigned long long>(count, SIZE_MAX - 1));
  return true;
}

}  // namespace

ToolOutput ReadToolOutput(const std::string& log) {
  ToolOutput output;
  ScopedFd fd = OpenLog(log);
  const off_t end = fd.valid() ? lseek(fd.get(), 0, SEEK_END) : -1;
  if (end <= 0) return output;
  std::optional<std::string> last_line;
  ForEachLineBackward(fd.get(), 0, end, [&](off_t, std::string_view line) {
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

LogRecord PrintLatestRecord(const std::string& log, const std::string& name, bool printable,
                            FILE* out, size_t tail) {
  ScopedFd fd = OpenLog(log);
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

int FollowLog(const CtlFiles& files, const std::string& name, size_t tail, bool printable,
              FILE* out, FILE* err) {
  // Watching starts before the first read, so that no line written in between is missed.
  const ScopedFd inotify = WatchFolders({files.log, files.in_progress, files.history},
                                        IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE, err);
  if (!inotify.valid()) return kExitFailed;
  if (GetActiveFrom(files.in_progress) != name) {
    return PrintEnded(files, name, tail, printable, out, err);
  }
  Follower follower = StartFollowing(files.log, Convert(name), tail, printable, out);
  for (;;) {
    // The service writes a job's last line before its name leaves the in-progress file.
    const bool ended = GetActiveFrom(files.in_progress) != name;
    follower.ReadNew();
    if (ended) break;
    AwaitChange(inotify.get());
  }
  follower.Finish();
  // A job that ended before its record was found is shown whole.
  if (!follower.printed()) return PrintEnded(files, name, tail, printable, out, err);
  return Outcome(files, name, err);
}

int ShowLog(const Invocation& call) {
  const CtlFiles& files = call.files;
  std::string problem = BadName("log", call.operands);
  size_t tail = SIZE_MAX;
  if (!problem.empty() || !TailCount(call, &tail, &problem)) return UsageError(call.err, problem);
  const std::string& name = call.operands[0];
  // A record holds what the tools printed, and a name may hold escape sequences: a terminal
  // gets them escaped, a file or pipe the record as the log holds it.
  const bool terminal = isatty(fileno(call.out)) == 1;
  if (call.Has("follow")) return FollowLog(files, name, tail, terminal, call.out, call.err);
  LogRecord found = PrintLatestRecord(files.log, Convert(name), terminal, call.out, tail);
  // The log the service's last start kept, so that a record outlives one restart.
  if (found == LogRecord::kNone) {
    found = PrintLatestRecord(files.log + ".1", Convert(name), terminal, call.out, tail);
  }
  switch (found) {
    case LogRecord::kPrinted:
      return kExitOk;
    case LogRecord::kNone:
      fprintf(call.err, "plimctl: log: %s and %s.1 hold no record of \"%s\"\n", files.log.c_str(),
              files.log.c_str(), Printable(name).c_str());
      return kExitFailed;
    case LogRecord::kUnreadable:
      break;
  }
  fprintf(call.err, "plimctl: cannot read %s: %s\n", files.log.c_str(), strerror(errno));
  return kExitFailed;
}

}  // namespace plim
