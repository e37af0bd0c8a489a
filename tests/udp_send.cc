// Test client for the trigger port.
//   udp_send PORT [PAYLOAD...]  sends each PAYLOAD as one datagram to 127.0.0.1:PORT; an empty
//                               argument sends a datagram without bytes.
//   udp_send -n COUNT PORT PAYLOAD...  sends COUNT datagrams, taking the PAYLOADs in turn.
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

bool ParsePort(const char* text, unsigned short* port) {
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 65535) return false;
  *port = static_cast<unsigned short>(value);
  return true;
}

int Hold(int sock, unsigned short port) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(sock, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) != 0) {
    perror("udp_send: bind");
    return 1;
  }
  for (;;) pause();
}

int Send(int sock, unsigned short port, char** payloads, int count, long total) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  for (long i = 0; i < total; ++i) {
    const char* payload = payloads[i % count];
    if (sendto(sock, payload, strlen(payload), 0,
               reinterpret_cast<const struct sockaddr*>(&address), sizeof address) < 0) {
      perror("udp_send: sendto");
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  long total = -1;
  if (argc > 4 && strcmp(argv[1], "-n") == 0) {
    total = atol(argv[2]);
    argc -= 2;
    argv += 2;
  }
  const bool hold = argc == 3 && strcmp(argv[1], "-l") == 0;
  unsigned short port;
  if (argc < 2 || !ParsePort(argv[hold ? 2 : 1], &port)) {
    fprintf(stderr, "usage: udp_send [-n COUNT] PORT [PAYLOAD...] | udp_send -l PORT\n");
    return 2;
  }
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    perror("udp_send: socket");
    return 1;
  }
  const int count = argc - 2;
  const int rc =
      hold ? Hold(sock, port) : Send(sock, port, argv + 2, count, total < 0 ? count : total);
  close(sock);
  return rc;
}
