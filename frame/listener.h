// The listener process: turns UDP datagrams into trigger bytes for the worker.
#ifndef PLIMD_FRAME_LISTENER_H_
#define PLIMD_FRAME_LISTENER_H_

namespace plim {

// Binds a UDP socket on the configured port on every IPv4 address and, for each datagram
// received, writes its first byte to `pipe_write`. A datagram without bytes is passed on as
// nothing. Returns only when the socket cannot be created or bound (the port is taken).
void rpcwrite(int& pipe_write);

}  // namespace plim

#endif  // PLIMD_FRAME_LISTENER_H_
