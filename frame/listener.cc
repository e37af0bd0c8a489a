#include "frame/listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include "frame/config.h"
#include "joblist/atomic_file.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"

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

}  // namespace

void rpcwrite(int& pipe_write) {
  ScopedFd sock = BindTriggerSocket(PortNumber(ReadConfig(Conf)));
  if (!sock.valid()) return;
  for (;;) {
    char byte;
    struct sockaddr_in sender;
    socklen_t sender_size = sizeof sender;
    const ssize_t n = recvfrom(sock.get(), &byte, 1, 0, reinterpret_cast<struct sockaddr*>(&sender),
                               &sender_size);
    if (n != 1) continue;
    // A full pipe blocks here until the worker catches up; nothing else is worth doing.
    std::ignore = WriteAll(pipe_write, std::string_view(&byte, 1));
  }
}

}  // namespace plim
