// Who holds the service's UDP port, from /proc: the listener keeps trying to bind it while
// another socket has it, and status says so.
#ifndef PLIMD_CTL_UDP_PORT_H_
#define PLIMD_CTL_UDP_PORT_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace plim {

// One line of /proc/net/udp or /proc/net/udp6.
struct UdpSocket {
  unsigned short port = 0;  // the local one
  uid_t uid = 0;
  unsigned long long inode = 0;
};

// The sockets that the text of /proc/net/udp or udp6 lists; lines that are not one are skipped.
std::vector<UdpSocket> ParseProcNetUdp(const std::string& text);

struct PortHolder {
  bool waiting = false;  // the listener has no socket on the port
  pid_t pid = 0;         // a process with a socket on it, 0 when none is found
  std::string comm;      // its name
  bool uid_known = false;
  uid_t uid = 0;  // the owner of a socket on it, where `uid_known`
};

// Whether the process `listener` lacks a socket on UDP `port`, and who has one. Where its
// descriptors cannot be read (a user other than the service's), a socket on the port owned by
// root is taken for the listener's and one of another user for another's. `proc` is where the
// proc file system is.
PortHolder CheckListenerPort(pid_t listener, unsigned short port,
                             const std::string& proc = "/proc");

}  // namespace plim

#endif  // PLIMD_CTL_UDP_PORT_H_
