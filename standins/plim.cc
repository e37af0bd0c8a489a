// Stand-in for the package's analysis tool, for machines that lack the real one: reports what
// it finds through the work folder, as "plim - <work folder>" is called.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

constexpr size_t kPacketSize = 188;
constexpr int kSyncByte = 0x47;

void DescribeStream(const std::string& link) {
  FILE* stream = fopen(link.c_str(), "rb");
  if (stream == nullptr) {
    printf("001.ts: cannot open: %s\n", strerror(errno));
    return;
  }
  unsigned long long bytes = 0, packets = 0;
  unsigned char packet[kPacketSize];
  size_t n;
  while ((n = fread(packet, 1, kPacketSize, stream)) > 0) {
    bytes += n;
    if (n == kPacketSize && packet[0] == kSyncByte) ++packets;
  }
  fclose(stream);
  printf("001.ts: %llu bytes, %llu packets\n", bytes, packets);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "-") != 0) {
    fprintf(stderr, "usage: plim - WORK_FOLDER\n");
    return 2;
  }
  const std::string folder = argv[2];
  const std::string link = folder + "/001.ts";
  char target[4096];
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  struct stat info;
  if (length < 0) {
    printf("001.ts: missing\n");
  } else if (stat(link.c_str(), &info) != 0) {
    printf("001.ts: dangling link to %.*s\n", static_cast<int>(length), target);
  } else {
    DescribeStream(link);
  }
  if (lstat((folder + "/001.idx").c_str(), &info) == 0) printf("001.idx: linked\n");
  fprintf(stderr, "plim: stand-in analysis of %s done\n", folder.c_str());
  return 0;
}
