#include "frame/worker.h"

#include <errno.h>
#include <poll.h>
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
  int pending = 0;  // triggers taken from a dead listener's pipe, not yet drained for
  Restarts restarts;
};
Worker* g_worker = nullptr;

int CountTriggers(const char* bytes, ssize_t n) {
  return static_cast<int>(std::count(bytes, bytes + std::max<ssize_t>(n, 0), '1'));
}

// The writer is gone, so what is left in the pipe can be read without blocking.
void ListenerEnded(Worker* w) {
  char bytes[256];
  for (ssize_t n; (n = read(w->trigger.get(), bytes, sizeof bytes)) > 0;) {
    w->pending += CountTriggers(bytes, n);
  }
  w->trigger.Reset();
  w->hung_up = false;
  const pid_t listener = Pair().listener;
  if (Pair().listener_gave_up) {
    Pair().listener = 0;
    PublishPids();
  }
  ReportEnd(Pair().listener_gave_up ? nullptr : "listener", listener, w->restarts.MsUntilAllowed());
}

// Called while idle and while a tool runs: notices a dead listener and starts a new one when the
// pause allows.
WaitCheck LookAfterListener(bool hung_up) {
  Worker* w = g_worker;
  if (w->trigger.valid() && !hung_up && !w->hung_up) return {w->trigger.get(), -1};
  if (w->trigger.valid()) ListenerEnded(w);
  if (Pair().listener_gave_up) return {-1, -1};
  const int wait_ms = w->restarts.MsUntilAllowed();
  if (wait_ms > 0) return {-1, wait_ms};
  w->restarts.Started();
  int read_end;
  if (StartListener(&read_end) > 0) w->trigger = ScopedFd(read_end);
  return {w->trigger.get(), w->trigger.valid() ? -1 : 0};
}

// The listener passes every trigger on while the mark is set; it is cleared only after the
// drain's last write, so a trigger it drops found everything carried over.
void Drain() {
  Pair().draining.store(true);
  Start();
  Pair().draining.store(AwaitsLateLines(), std::memory_order_release);
}

}  // namespace

void RunWorker(int pipe_read) {
  Worker worker;
  worker.trigger = ScopedFd(pipe_read);
  g_worker = &worker;
  WatchWhileWaiting(&Pair().tool_group, LookAfterListener);
  Recover();
  Drain();
  for (;;) {
    for (; worker.pending > 0; --worker.pending) Drain();
    const WaitCheck check = LookAfterListener(false);
    if (check.fd < 0) {
      std::ignore = poll(nullptr, 0, check.timeout_ms);
      continue;
    }
    char bytes[64];
    const ssize_t n = read(check.fd, bytes, sizeof bytes);
    if (n > 0) {
      worker.pending += CountTriggers(bytes, n);
    } else if (n == 0 || errno != EINTR) {
      worker.hung_up = true;
    }
  }
}

}  // namespace plim
