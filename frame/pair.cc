#include "frame/pair.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <tuple>

#include "frame/descriptors.h"
#include "frame/listener.h"
#include "frame/worker.h"
#include "joblist/clock.h"
#include "joblist/paths.h"
#include "joblist/pid_file.h"
#include "jobs/history_writer.h"

namespace plim {

namespace {

PairState* g_pair = nullptr;

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

}  // namespace

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

namespace {

// Rewrites the PID file from the shared state.
void PublishPids() {
  // A service run without root cannot write /run; the file is only for status tools.
  std::ignore = WritePidFile(kPidFile, Pair().listener.load(), Pair().worker.load(), Pair().started,
                             Pair().run);
}

}  // namespace

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
  if (role == nullptr) return;
  const std::string how = reaped == pid ? HowItEnded(status) : "";
  const std::string when =
      restart_in_ms > 0 ? " in " + std::to_string((restart_in_ms + 999) / 1000) + " s" : "";
  fprintf(stderr, "plimd: %s %d ended%s; starting a new one%s\n", role, pid, how.c_str(),
          when.c_str());
}

pid_t StartWorker(int* own_end) {
  const pid_t worker = StartPart(0, RunWorker, own_end);
  if (worker < 0) fprintf(stderr, "plimd: cannot start a worker: %s\n", strerror(errno));
  if (worker < 0) return -1;
  // The write end must never block the listener: a full pipe is waited for in poll.
  fcntl(*own_end, F_SETFL, O_NONBLOCK);
  Pair().worker = worker;
  PublishPids();
  return worker;
}

pid_t StartListener(int* own_end) {
  const pid_t listener = StartPart(1, RunListener, own_end);
  if (listener < 0) fprintf(stderr, "plimd: cannot start a listener: %s\n", strerror(errno));
  if (listener < 0) return -1;
  Pair().listener = listener;
  PublishPids();
  return listener;
}

}  // namespace plim
