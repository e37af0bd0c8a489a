#include "ctl/trigger.h"

#include <errno.h>
#include <sys/socket.h>

#include "joblist/inet_address.h"
#include "joblist/scoped_fd.h"

namespace plim {

TriggerResult SendTrigger(unsigned short port) {
  ScopedFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return TriggerResult::kFailed;
  const struct sockaddr_in address = InetAddress(INADDR_LOOPBACK, port);
  // Only a connected socket is told of the loopback's "port unreachable", which arrives before
  // send returns, so a service that is not running shows up without any waiting.
  if (connect(sock.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof address) !=
      0) {
    return TriggerResult::kFailed;
  }
  if (send(sock.get(), "1", 1, 0) != 1) {
    return errno == ECONNREFUSED ? TriggerResult::kNobodyListens : TriggerResult::kFailed;
  }
  // The service never answers, so a receive finds either nothing or that pending error.
  char answer;
  if (recv(sock.get(), &answer, 1, MSG_DONTWAIT) < 0 && errno == ECONNREFUSED) {
    return TriggerResult::kNobodyListens;
  }
  return TriggerResult::kSent;
}

}  // namespace plim
