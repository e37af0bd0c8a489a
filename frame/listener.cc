#include "frame/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include "frame/pair.h"
#include "joblist/config.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "jobs/drain.h"

namespace plim {

namespace {

ScopedFd BindTriggerSocket(unsigned short port) {
  ScopedFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return sock;
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(sock.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof address) != 0) {
    return ScopedFd();
  }
  return sock;
}

struct Listener {
  ScopedFd pipe;  // the write end of the worker's pipe, or none while there is no worker
  Restarts restarts;
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

}  // namespace

void RunListener(int pipe_write) {
  const unsigned short port = PortNumber(ReadConfig(Conf));
  ScopedFd sock = BindTriggerSocket(port);
  if (!sock.valid()) {
    fprintf(stderr, "plimd: cannot bind UDP port %u: %s\n", port, strerror(errno));
    Pair().listener_gave_up = true;
    return;
  }
  Listener listener;
  listener.pipe = ScopedFd(pipe_write);
  for (;;) {
    const int timeout_ms = LookAfterWorker(&listener);
    struct pollfd ready[2] = {{sock.get(), POLLIN, 0}, {listener.pipe.get(), 0, 0}};
    if (poll(ready, 2, timeout_ms) <= 0) continue;
    if ((ready[1].revents & (POLLERR | POLLHUP)) != 0) WorkerEnded(&listener);
    char byte;
    // Only a datagram that finds work wakes the worker: for one that finds nothing, the two
    // stats here cost a fraction of the worker's wake-up, which a flood would pay per datagram.
    // During a drain they can miss a line still in a replaced queue file, so the mark is read
    // first: a drain that ended after it had carried everything over.
    if ((ready[0].revents & POLLIN) != 0 && recv(sock.get(), &byte, 1, MSG_DONTWAIT) == 1 &&
        byte == '1' && listener.pipe.valid() &&
        (Pair().draining.load(std::memory_order_acquire) || !NothingToDrain())) {
      Pass(&listener, byte);
    }
  }
}

}  // namespace plim
