// Test client for the trigger port.
//   udp_send PORT [PAYLOAD...]  sends each PAYLOAD as one datagram to 127.0.0.1:PORT; an empty
//                               argument sends a datagram without bytes.
//   udp_send -l PORT            binds PORT on every IPv4 address and holds it until killed, so
//                               that a test can take the port away from the service.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The address of `port_text` on the loopback, or on every address to `hold` it; false for a
// text that is not a port number.
bool Address(const char* port_text, bool hold, struct sockaddr_in* address) {
  char* end = nullptr;
  const long port = strtol(port_text, &end, 10);
  if (*port_text == '\0' || *end != '\0' || port < 1 || port > 65535) return false;
  *address = {};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(hold ? INADDR_ANY : INADDR_LOOPBACK);
  address->sin_port = htons(static_cast<unsigned short>(port));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool hold = argc == 3 && strcmp(argv[1], "-l") == 0;
  struct sockaddr_in address;
  if (argc < 2 || !Address(argv[hold ? 2 : 1], hold, &address)) {
    fprintf(stderr, "usage: udp_send PORT [PAYLOAD...] | udp_send -l PORT\n");
    return 2;
  }
  const auto* to = reinterpret_cast<const struct sockaddr*>(&address);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0 || (hold && bind(sock, to, sizeof address) != 0)) {
    perror("udp_send");
    return 1;
  }
  while (hold) pause();
  for (int i = 2; i < argc; ++i) {
    const char* payload = argv[i];
    if (sendto(sock, payload, strlen(payload), 0, to, sizeof address) < 0) {
      perror("udp_send: sendto");
      return 1;
    }
  }
  return 0;
}
