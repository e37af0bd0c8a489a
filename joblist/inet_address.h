// The IPv4 address of the service's trigger port, as bind and connect take it.
#ifndef PLIMD_JOBLIST_INET_ADDRESS_H_
#define PLIMD_JOBLIST_INET_ADDRESS_H_

#include <arpa/inet.h>
#include <netinet/in.h>

namespace plim {

// `host` (INADDR_ANY, INADDR_LOOPBACK, in host byte order) and `port`.
inline struct sockaddr_in InetAddress(in_addr_t host, unsigned short port) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return address;
}

}  // namespace plim

#endif  // PLIMD_JOBLIST_INET_ADDRESS_H_
