// The listener process: turns UDP datagrams into trigger bytes for the worker, and starts a new
// worker when its worker ends.
#ifndef PLIMD_FRAME_LISTENER_H_
#define PLIMD_FRAME_LISTENER_H_

namespace plim {

// Binds a UDP socket on the configured port on every IPv4 address and, for each datagram
// received, writes its first byte to `pipe_write`. A datagram without bytes is passed on as
// nothing. When the pipe reports an error, the worker has ended: the listener kills the process
// group of the tool it ran and starts a new worker on a fresh pipe; datagrams that arrive while
// there is none are dropped, since a new worker drains at start. Returns only when the socket
// cannot be created or bound, having said so on stderr and marked that it gave up.
void RunListener(int pipe_write);

}  // namespace plim

#endif  // PLIMD_FRAME_LISTENER_H_
