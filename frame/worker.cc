#include "frame/worker.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "frame/pair.h"
#include "joblist/scoped_fd.h"
#include "jobs/drain.h"
#include "jobs/job_steps.h"

namespace plim {

namespace {

struct Worker {
  ScopedFd trigger;  // the read end of the listener's pipe
  bool hung_up = false;
  int pending = 0;              // triggers taken from a dead listener's pipe, not yet drained for
  bool mounts_changed = false;  // the listener saw the mount table change ('m')
  Restarts restarts;
  // A drain that stopped short for something that may mend by itself is tried again: 10 s
  // later, the pause doubling up to five minutes; a trigger or a change of the mount table
  // tries again at once.
  Backoff retries{10000, 300000};
};
Worker* g_worker = nullptr;

// Takes in what the listener passed: a "1" per trigger, an "m" per change of the mount table.
void TakeBytes(Worker* w, const char* bytes, ssize_t n) {
  const char* end = bytes + std::max<ssize_t>(n, 0);
  w->pending += static_cast<int>(std::count(bytes, end, '1'));
  w->mounts_changed = w->mounts_changed || std::find(bytes, end, 'm') != end;
}

// The writer is gone, so what is left in the pipe can be read without blocking.
void ListenerEnded(Worker* w) {
  char bytes[256];
  for (ssize_t n; (n = read(w->trigger.get(), bytes, sizeof bytes)) > 0;) {
    TakeBytes(w, bytes, n);
  }
  w->trigger.Reset();
  w->hung_up = false;
  ReportEnd("listener", Pair().listener, w->restarts.MsUntilAllowed());
}

// Called while idle and while a tool runs: notices a dead listener and starts a new one when the
// pause allows.
WaitCheck LookAfterListener(bool hung_up) {
  Worker* w = g_worker;
  if (w->trigger.valid() && !hung_up && !w->hung_up) return {w->trigger.get(), -1};
  if (w->trigger.valid()) ListenerEnded(w);
  const int wait_ms = w->restarts.MsUntilAllowed();
  if (wait_ms > 0) return {-1, wait_ms};
  w->restarts.Started();
  int read_end;
  if (StartListener(&read_end) > 0) w->trigger = ScopedFd(read_end);
  return {w->trigger.get(), w->trigger.valid() ? -1 : 0};
}

// The listener passes every trigger on while the mark is set; it is cleared only after the
// drain's last write, so a trigger it drops found everything carried over.
void Drain(Worker* w) {
  Pair().draining.store(true);
  Start();
  Pair().draining.store(AwaitsLateLines(), std::memory_order_release);
  if (StoppedShort()) return w->retries.Failed();
  w->retries.Succeeded();
}

void Interrupt(int) {}

// A SIGALRM that interrupts a read instead of restarting it. Only the worker's own blocking
// read arms the timer; the programs it runs inherit neither the timer nor the handler.
void CatchAlarms() {
  struct sigaction action = {};
  action.sa_handler = Interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
}

// Sets the alarm `timeout_ms` from now (-1: turns it off). It repeats every 0.1 s after the
// first, in case the first fires before the read begins.
void SetAlarm(int timeout_ms) {
  struct itimerval timer = {};
  if (timeout_ms >= 0) {
    timer.it_value.tv_sec = timeout_ms / 1000;
    timer.it_value.tv_usec = (timeout_ms % 1000) * 1000 + 1;
    timer.it_interval.tv_usec = 100000;
  }
  setitimer(ITIMER_REAL, &timer, nullptr);
}

// Waits for trigger bytes on `fd`, for at most `timeout_ms` (-1: no limit). The worker waits in
// the read itself, also while a retry is due later, so that waiting looks the same either way.
void ReadTriggers(Worker* w, int fd, int timeout_ms) {
  if (timeout_ms >= 0) SetAlarm(timeout_ms);
  char bytes[64];
  const ssize_t n = read(fd, bytes, sizeof bytes);
  const int error = errno;
  if (timeout_ms >= 0) SetAlarm(-1);
  errno = error;
  if (n > 0) {
    TakeBytes(w, bytes, n);
  } else if (n == 0 || errno != EINTR) {
    w->hung_up = true;
  }
}

}  // namespace

void RunWorker(int pipe_read) {
  Worker worker;
  worker.trigger = ScopedFd(pipe_read);
  g_worker = &worker;
  CatchAlarms();
  WatchWhileWaiting(&Pair().tool_group, LookAfterListener);
  Recover();
  Drain(&worker);
  for (;;) {
    // A disk that came, went or became writable again: what a retry waits for may have mended.
    if (worker.mounts_changed) {
      worker.mounts_changed = false;
      ForgetFiles();
      worker.retries.Succeeded();
      Drain(&worker);
    }
    for (; worker.pending > 0; --worker.pending) Drain(&worker);
    if (worker.retries.MsUntilDue() == 0) Drain(&worker);
    const WaitCheck check = LookAfterListener(false);
    const int timeout_ms = Sooner(check.timeout_ms, worker.retries.MsUntilDue());
    if (check.fd < 0) {
      std::ignore = poll(nullptr, 0, timeout_ms);
    } else {
      ReadTriggers(&worker, check.fd, timeout_ms);
    }
  }
}

}  // namespace plim
