#include "frame/pair.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <tuple>

#include "frame/listener.h"
#include "frame/worker.h"
#include "joblist/clock.h"
#include "joblist/paths.h"
#include "joblist/pid_file.h"
#include "jobs/history.h"

namespace plim {

namespace {

PairState* g_pair = nullptr;

// Closes [low, high]; close_range where the kernel has it (5.9), else the open ones one by one.
void CloseRange(int low, int high) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, low, high, 0) == 0) return;
#endif
  std::vector<int> open_fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    while (const struct dirent* entry = readdir(dir)) {
      const int fd = atoi(entry->d_name);
      if (fd >= low && fd <= high && fd != own) open_fds.push_back(fd);
    }
    closedir(dir);
  } else {
    struct rlimit limit;
    const int top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                        ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20))
                        : 1024;
    for (int fd = low; fd < top && fd <= high; ++fd) open_fds.push_back(fd);
  }
  for (int fd : open_fds) std::ignore = close(fd);
}

std::string HowItEnded(int status) {
  if (WIFSIGNALED(status)) return " (killed by signal " + std::to_string(WTERMSIG(status)) + ")";
  return " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
}

// Forks a child that runs `part` on `child_end` and ends; the parent keeps `parent_end`.
pid_t StartPart(int pipe_end_index, void (*part)(int), int* own_end) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    CloseDescriptorsExcept({Pair().lock_fd, ends[pipe_end_index]});
    part(ends[pipe_end_index]);
    _exit(0);
  }
  close(ends[pipe_end_index]);
  *own_end = ends[1 - pipe_end_index];
  if (child < 0) close(*own_end);
  return child;
}

// Rewrites the PID file from the shared state.
void PublishPids() {
  // A service run without root cannot write /run; the file is only for status tools.
  std::ignore = WritePidFile(kPidFile, Pair().listener.load(), Pair().worker.load(), Pair().started,
                             Pair().run);
}

// Notes the `role` just started as `child` in `slot`, or says why it could not be started.
pid_t Started(const char* role, pid_t child, std::atomic<pid_t>* slot) {
  if (child < 0) {
    fprintf(stderr, "plimd: cannot start a %s: %s\n", role, strerror(errno));
    return -1;
  }
  *slot = child;
  PublishPids();
  return child;
}

}  // namespace

void CloseDescriptorsExcept(std::vector<int> keep) {
  std::sort(keep.begin(), keep.end());
  int low = 3;
  for (int fd : keep) {
    if (fd < low) continue;
    if (fd > low) CloseRange(low, fd - 1);
    low = fd + 1;
  }
  CloseRange(low, ~0U >> 1);
}

bool MapPair(int lock_fd) {
  void* memory =
      mmap(nullptr, sizeof(PairState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  g_pair = new (memory) PairState;
  g_pair->lock_fd = lock_fd;
  g_pair->started = time(nullptr);
  snprintf(g_pair->run, sizeof g_pair->run, "%s", RunIdentity().c_str());
  SetHistoryRun(g_pair->run);
  return true;
}

PairState& Pair() { return *g_pair; }

Restarts::Restarts() : last_start_ms_(MonotonicMs()) {}

int Restarts::MsUntilAllowed() {
  const long long now = MonotonicMs();
  if (now - last_start_ms_ >= 60000) delay_ms_ = 1000;
  return static_cast<int>(std::max(0LL, last_start_ms_ + delay_ms_ - now));
}

void Restarts::Started() {
  last_start_ms_ = MonotonicMs();
  delay_ms_ = std::min(delay_ms_ * 2, 60000);
}

Backoff::Backoff(int first_ms, int max_ms)
    : first_ms_(first_ms), max_ms_(max_ms), delay_ms_(first_ms) {}

void Backoff::Failed() {
  due_ms_ = MonotonicMs() + delay_ms_;
  delay_ms_ = std::min(delay_ms_ * 2, max_ms_);
}

void Backoff::Succeeded() {
  due_ms_ = -1;
  delay_ms_ = first_ms_;
}

int Backoff::MsUntilDue() const {
  if (due_ms_ < 0) return -1;
  return static_cast<int>(std::max(0LL, due_ms_ - MonotonicMs()));
}

int Sooner(int a_ms, int b_ms) {
  if (a_ms < 0) return b_ms;
  if (b_ms < 0) return a_ms;
  return std::min(a_ms, b_ms);
}

void ReportEnd(const char* role, pid_t pid, int restart_in_ms) {
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  const std::string how = reaped == pid ? HowItEnded(status) : "";
  const std::string when =
      restart_in_ms > 0 ? " in " + std::to_string((restart_in_ms + 999) / 1000) + " s" : "";
  fprintf(stderr, "plimd: %s %d ended%s; starting a new one%s\n", role, pid, how.c_str(),
          when.c_str());
}

pid_t StartWorker(int* own_end) {
  const pid_t worker = Started("worker", StartPart(0, RunWorker, own_end), &Pair().worker);
  // The write end must never block the listener: a full pipe is waited for in poll.
  if (worker > 0) fcntl(*own_end, F_SETFL, O_NONBLOCK);
  return worker;
}

pid_t StartListener(int* own_end) {
  return Started("listener", StartPart(1, RunListener, own_end), &Pair().listener);
}

}  // namespace plim
