#include "ctl/log_follow.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "ctl/history_cmds.h"
#include "ctl/log_record.h"
#include "ctl/log_tail.h"
#include "ctl/status.h"
#include "joblist/atomic_file.h"
#include "joblist/job_files.h"
#include "joblist/scoped_fd.h"
#include "jobs/convert.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

constexpr size_t kPiece = 65536;
// Lines that may be frame lines are held until their line break; one this long is none.
constexpr size_t kLongestFrame = 2 * kLineHead + 64;

// Reads the log from where it left off and prints the lines of the followed job's records.
class Follower {
 public:
  Follower(const std::string& log, const std::string& name, bool printable, FILE* out)
      : log_(log),
        start_(Fill(kRecordStart, name)),
        stop_(Fill(kRecordStop, name)),
        printable_(printable),
        out_(out) {}

  // Starts at `offset` of the log open as `fd`, within a record or before one.
  void Begin(ScopedFd fd, off_t offset, bool in_record) {
    fd_ = std::move(fd);
    offset_ = offset;
    in_record_ = in_record;
    printed_ = in_record;
  }

  // Reads what was added since the last call, starting over on a log that was cut or replaced.
  void ReadNew() {
    struct stat now, held;
    if (stat(log_.c_str(), &now) != 0) return;
    if (!fd_.valid() || fstat(fd_.get(), &held) != 0 || held.st_ino != now.st_ino ||
        held.st_dev != now.st_dev || now.st_size < offset_) {
      fd_ = ScopedFd(open(log_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
      offset_ = 0;
      if (streaming_) Print("\n");  // the new log's lines start on a line of their own
      EndLine();
    }
    std::string piece(kPiece, '\0');
    for (ssize_t n; fd_.valid() && (n = pread(fd_.get(), &piece[0], kPiece, offset_)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return;
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
    const std::string_view any_start(kRecordStart, strlen(kRecordStart) - 2);
    if (line == start_) {
      in_record_ = true;
    } else if (line.compare(0, any_start.size(), any_start) == 0) {
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
  off_t offset_ = 0;
  bool in_record_ = false;
  bool printed_ = false;
  std::string line_;  // the current line while it may be a frame line
  bool streaming_ = false;
  bool skipping_ = false;
  std::string pending_;  // bytes of a character cut off between two reads
};

bool Watch(int inotify, const std::string& path) {
  return inotify_add_watch(inotify, DirectoryOf(path).c_str(),
                           IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) >= 0;
}

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

// Where following starts: within the job's record where the log ends in it, else at the end.
void Start(const std::string& log, const std::string& file_name, size_t tail, Follower* follower) {
  ScopedFd fd(open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  off_t begin = -1, end = -1;
  const off_t size = fd.valid() ? lseek(fd.get(), 0, SEEK_END) : 0;
  const bool running = fd.valid() &&
                       FindLatestRecord(fd.get(), file_name, &begin, &end) == LogRecord::kPrinted &&
                       end < 0;
  if (running && tail != SIZE_MAX) {
    begin = std::max<off_t>(TailStart(fd.get(), begin, size, tail), begin);
  }
  follower->Begin(std::move(fd), running ? begin : std::max<off_t>(size, 0), running);
}

}  // namespace

int FollowLog(const CtlFiles& files, const std::string& name, size_t tail, bool printable,
              FILE* out, FILE* err) {
  // Watching starts before the first read, so that no line written in between is missed.
  ScopedFd inotify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!inotify.valid() || !Watch(inotify.get(), files.log) ||
      !Watch(inotify.get(), files.in_progress) || !Watch(inotify.get(), files.history)) {
    fprintf(err, "plimctl: cannot watch %s: %s\n", DirectoryOf(files.log).c_str(), strerror(errno));
    return kExitFailed;
  }
  if (GetActiveFrom(files.in_progress) != name) {
    return PrintEnded(files, name, tail, printable, out, err);
  }
  Follower follower(files.log, Convert(name), printable, out);
  Start(files.log, Convert(name), tail, &follower);
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

}  // namespace plim
