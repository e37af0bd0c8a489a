// The listener process: turns UDP datagrams into trigger bytes for the worker, and starts a new
// worker when its worker ends.
#ifndef PLIMD_FRAME_LISTENER_H_
#define PLIMD_FRAME_LISTENER_H_

namespace plim {

// Binds a UDP socket on the configured port on every IPv4 address and, for each datagram
// received, writes its first byte to `pipe_write`. A datagram without bytes is passed on as
// nothing. When the pipe reports an error, the worker has ended: the listener kills the process
// group of the tool it ran and starts a new worker on a fresh pipe; datagrams that arrive while
// there is none are dropped, since a new worker drains at start. A port that cannot be bound is
// tried again (1 s after the first failure, the pause doubling up to a minute) for as long as
// the service runs, each new reason said once on stderr; meanwhile no trigger comes, but the
// worker is looked after as ever. Never returns.
void RunListener(int pipe_write);

}  // namespace plim

#endif  // PLIMD_FRAME_LISTENER_H_
