#include "joblist/late_appends.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <tuple>
#include <utility>

#include "joblist/atomic_file.h"
#include "joblist/clock.h"

namespace plim {

namespace {

// A writer that opens the file while a lease is held breaks it with SIGIO, whose default action
// ends the process. Blocked once for the process's life, it is never delivered, and a probe
// needs no change of handler around its lease. Programs the worker starts get their own mask.
bool BlockLeaseBreaks() {
  sigset_t io;
  sigemptyset(&io);
  sigaddset(&io, SIGIO);
  return sigprocmask(SIG_BLOCK, &io, nullptr) == 0;
}

enum class Writers {
  kNone,     // no other process has the file open for writing
  kPresent,  // some process does; its last line may still be incomplete
  kUnknown,  // the kernel cannot tell (no lease support or no right to take one)
};

// Tells whether another process has `fd`'s file open for writing. `fd` must be open read-only.
Writers ProbeWriters(int fd) {
  // The kernel grants a read lease only while nobody has the file open for writing.
  static const bool blocked = BlockLeaseBreaks();
  if (!blocked) return Writers::kUnknown;
  const int rc = fcntl(fd, F_SETLEASE, F_RDLCK);
  const int error = errno;
  if (rc == 0) fcntl(fd, F_SETLEASE, F_UNLCK);
  if (rc == 0) return Writers::kNone;
  return error == EAGAIN ? Writers::kPresent : Writers::kUnknown;
}

constexpr long kFirstWaitNs = 1000000;     // 1 ms
constexpr long kLongestWaitNs = 50000000;  // 50 ms
constexpr double kPatienceSeconds = 10.0;
constexpr double kStragglerPatienceSeconds = 1.0;

void WaitLonger(long* wait_ns) {
  struct timespec ts = {0, *wait_ns};
  nanosleep(&ts, nullptr);
  *wait_ns = *wait_ns * 2 > kLongestWaitNs ? kLongestWaitNs : *wait_ns * 2;
}

// The offset just after the last "\n" of `fd`'s file between `from` and `to`, or `from`; -1
// when a read fails, which must not pass for a file without a break.
off_t AfterLastBreak(int fd, off_t from, off_t to) {
  char piece[65536];
  while (to > from) {
    const off_t start = std::max<off_t>(from, to - static_cast<off_t>(sizeof piece));
    const ssize_t n = pread(fd, piece, static_cast<size_t>(to - start), start);
    if (n <= 0) return -1;
    const void* last = memrchr(piece, '\n', static_cast<size_t>(n));
    if (last != nullptr) return start + (static_cast<const char*>(last) - piece) + 1;
    to = start;
  }
  return from;
}

// Carries what has arrived in `old_fd` since `*offset` over to `path` once. Returns whether a
// writer may still add to it, or kNone when carrying failed (with a message): the lines then
// stay only in the old file.
Writers CarryOnce(int old_fd, off_t* offset, const std::string& path) {
  // Probe before looking: once no writer is left, everything written is there to read.
  const Writers writers = ProbeWriters(old_fd);
  struct stat info;
  if (fstat(old_fd, &info) != 0) return Writers::kNone;
  const off_t end = writers == Writers::kPresent ? AfterLastBreak(old_fd, *offset, info.st_size)
                                                 : std::max(info.st_size, *offset);
  if (end == *offset) return writers;
  // Copied in pieces: a writer may have added a line of any length.
  if (end < 0 || !AppendRange(old_fd, *offset, end - *offset, path)) {
    fprintf(stderr, "plimd: cannot carry late lines over to %s\n", path.c_str());
    return Writers::kNone;
  }
  *offset = end;
  return writers;
}

// Carries until no writer is left or `seconds` have passed; returns whether one is left.
bool CarryFor(int old_fd, off_t* offset, const std::string& path, double seconds) {
  const double give_up = MonotonicSeconds() + seconds;
  for (long wait_ns = kFirstWaitNs;; WaitLonger(&wait_ns)) {
    if (CarryOnce(old_fd, offset, path) != Writers::kPresent) return false;
    if (MonotonicSeconds() >= give_up) return true;
  }
}

struct Straggler {
  ScopedFd fd;
  off_t offset;
  std::string path;
};

std::deque<Straggler>& Stragglers() {
  static std::deque<Straggler>* kept = new std::deque<Straggler>;
  return *kept;
}

// Drops the kept files for which `drop` is true, looking at them oldest first.
template <typename DropFn>
void DropStragglersIf(DropFn&& drop) {
  std::deque<Straggler>& kept = Stragglers();
  for (auto it = kept.begin(); it != kept.end();) it = drop(*it) ? kept.erase(it) : it + 1;
}

}  // namespace

off_t EndOfWholeLines(int fd, off_t size) {
  // Only a file whose last line lacks its break is worth asking the kernel about writers.
  char last = '\n';
  if (size > 0 && pread(fd, &last, 1, size - 1) != 1) return -1;
  if (last == '\n' || ProbeWriters(fd) != Writers::kPresent) return size;
  return AfterLastBreak(fd, 0, size);
}

void CarryLateAppends(int old_fd, off_t offset, const std::string& path) {
  if (CarryFor(old_fd, &offset, path, kPatienceSeconds)) {
    fprintf(stderr, "plimd: a writer still holds the replaced %s open\n", path.c_str());
  }
}

void CarryOrKeepLateAppends(ScopedFd old_fd, off_t offset, const std::string& path) {
  // One writer that keeps every new file open would otherwise cost each job the wait.
  const double seconds = KeepsStragglers() ? 0 : kStragglerPatienceSeconds;
  if (!CarryFor(old_fd.get(), &offset, path, seconds)) return;
  std::deque<Straggler>& kept = Stragglers();
  if (kept.size() >= kMostStragglers) {
    fprintf(stderr, "plimd: no longer watching a replaced %s that a writer still holds open\n",
            kept.front().path.c_str());
    kept.pop_front();
  }
  kept.push_back({std::move(old_fd), offset, path});
}

void CarryStragglers() {
  DropStragglersIf([](Straggler& kept) {
    return CarryOnce(kept.fd.get(), &kept.offset, kept.path) != Writers::kPresent;
  });
}

bool KeepsStragglers() { return !Stragglers().empty(); }

void ForgetStragglers() {
  for (Straggler& straggler : Stragglers()) std::ignore = straggler.fd.Release();
  Stragglers().clear();
}

void DropStragglersOff(dev_t device) {
  DropStragglersIf([device](const Straggler& kept) {
    struct stat info;
    return device == 0 || fstat(kept.fd.get(), &info) != 0 || info.st_dev != device;
  });
}

}  // namespace plim
