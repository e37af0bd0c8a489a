#include "joblist/late_appends.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include "joblist/atomic_file.h"

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

}  // namespace

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

namespace {

constexpr long kFirstWaitNs = 1000000;     // 1 ms
constexpr long kLongestWaitNs = 50000000;  // 50 ms
constexpr double kPatienceSeconds = 10.0;

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Pause(long* wait_ns) {
  struct timespec ts = {0, *wait_ns};
  nanosleep(&ts, nullptr);
  *wait_ns = *wait_ns * 2 > kLongestWaitNs ? kLongestWaitNs : *wait_ns * 2;
}

}  // namespace

size_t WholeLength(const std::string& text, Writers writers) {
  if (writers != Writers::kPresent) return text.size();
  size_t last_break = text.rfind('\n');
  return last_break == std::string::npos ? 0 : last_break + 1;
}

void CarryLateAppends(int old_fd, off_t offset, const std::string& path) {
  const double give_up = Now() + kPatienceSeconds;
  long wait_ns = kFirstWaitNs;
  for (;;) {
    // Probe before reading: once no writer is left, everything written is there to read.
    const Writers writers = ProbeWriters(old_fd);
    std::string late;
    if (!ReadFrom(old_fd, offset, &late)) return;
    const size_t length = WholeLength(late, writers);
    if (length > 0) {
      late.resize(length);
      if (late.back() != '\n') late += '\n';
      if (!AppendDurably(path, late)) {
        fprintf(stderr, "plimd: cannot carry late lines over to %s\n", path.c_str());
        return;
      }
      offset += static_cast<off_t>(length);
    }
    if (writers != Writers::kPresent) return;
    if (Now() > give_up) {
      fprintf(stderr, "plimd: a writer still holds the replaced %s open\n", path.c_str());
      return;
    }
    Pause(&wait_ns);
  }
}

}  // namespace plim
