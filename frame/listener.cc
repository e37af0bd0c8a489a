#include "frame/listener.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include "frame/pair.h"
#include "joblist/config.h"
#include "joblist/inet_address.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "jobs/drain.h"

namespace plim {

namespace {

// On failure returns an invalid descriptor with errno set.
ScopedFd BindTriggerSocket(unsigned short port) {
  ScopedFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const struct sockaddr_in address = InetAddress(INADDR_ANY, port);
  if (!sock.valid() ||
      bind(sock.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == 0) {
    return sock;
  }
  const int error = errno;
  sock.Reset();
  errno = error;
  return sock;
}

struct Listener {
  ScopedFd pipe;  // the write end of the worker's pipe, or none while there is no worker
  Restarts restarts;
  unsigned short port = 0;
  ScopedFd sock;  // none until the port is bound
  // A port that another process holds, or that a listener just killed has not let go of yet,
  // is bound as soon as it is free, for as long as the service runs.
  Backoff binds{1000, 60000};
  int bind_error = 0;  // the failure last said on stderr, so that each is said once
  // The kernel marks it with POLLPRI whenever the mount table changes: the recordings disk
  // coming, going or turning read-only, which the worker learns of at once, with no timer.
  ScopedFd mounts{open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)};
};

// A worker's tool group outlives the worker only until here, before a new worker reruns the job.
void WorkerEnded(Listener* l) {
  l->pipe.Reset();
  const pid_t group = Pair().tool_group.exchange(0);
  if (group > 0) std::ignore = kill(-group, SIGKILL);
  ReportEnd("worker", Pair().worker, l->restarts.MsUntilAllowed());
}

// Passes one trigger byte on; a full pipe is waited for, as the worker catches up.
void Pass(Listener* l, char byte) {
  while (write(l->pipe.get(), &byte, 1) != 1) {
    if (errno == EINTR) continue;
    struct pollfd ready = {l->pipe.get(), POLLOUT, 0};
    if (errno != EAGAIN || (poll(&ready, 1, -1) == 1 && (ready.revents & POLLERR) != 0)) {
      return WorkerEnded(l);
    }
  }
}

// Starts a worker when the pause allows; returns how long to wait before trying again.
int LookAfterWorker(Listener* l) {
  if (l->pipe.valid()) return -1;
  const int wait_ms = l->restarts.MsUntilAllowed();
  if (wait_ms > 0) return wait_ms;
  l->restarts.Started();
  int write_end;
  if (StartWorker(&write_end) > 0) l->pipe = ScopedFd(write_end);
  return l->pipe.valid() ? -1 : 0;
}

// Binds the port when a try is due; returns how long to wait before the next one.
int LookAfterSocket(Listener* l) {
  if (l->sock.valid()) return -1;
  const int wait_ms = l->binds.MsUntilDue();
  if (wait_ms > 0) return wait_ms;
  l->sock = BindTriggerSocket(l->port);
  if (l->sock.valid()) {
    if (l->bind_error != 0)
      fprintf(stderr, "plimd: UDP port %u is bound; triggers are taken again\n", l->port);
    l->bind_error = 0;
    l->binds.Succeeded();
    return -1;
  }
  if (errno != l->bind_error) {
    fprintf(stderr, "plimd: cannot bind UDP port %u: %s; trying again until it can\n", l->port,
            strerror(errno));
  }
  l->bind_error = errno;
  l->binds.Failed();
  return l->binds.MsUntilDue();
}

}  // namespace

void RunListener(int pipe_write) {
  Listener listener;
  listener.port = PortNumber(ReadConfig(Conf));
  listener.pipe = ScopedFd(pipe_write);
  for (;;) {
    const int timeout_ms = Sooner(LookAfterWorker(&listener), LookAfterSocket(&listener));
    struct pollfd ready[3] = {{listener.sock.get(), POLLIN, 0},
                              {listener.pipe.get(), 0, 0},
                              {listener.mounts.get(), POLLPRI, 0}};
    if (poll(ready, 3, timeout_ms) <= 0) continue;
    if ((ready[1].revents & (POLLERR | POLLHUP)) != 0) WorkerEnded(&listener);
    // The poll itself takes the change in; a worker started later looks at the files anyway.
    if ((ready[2].revents & (POLLPRI | POLLERR)) != 0 && listener.pipe.valid())
      Pass(&listener, 'm');
    char byte;
    // Only a datagram that finds work wakes the worker: for one that finds nothing, the two
    // stats here cost a fraction of the worker's wake-up, which a flood would pay per datagram.
    // During a drain they can miss a line still in a replaced queue file, so the mark is read
    // first: a drain that ended after it had carried everything over.
    if ((ready[0].revents & POLLIN) != 0 &&
        recv(listener.sock.get(), &byte, 1, MSG_DONTWAIT) == 1 && byte == '1' &&
        listener.pipe.valid() &&
        (Pair().draining.load(std::memory_order_acquire) || !NothingToDrain())) {
      Pass(&listener, byte);
    }
  }
}

}  // namespace plim
