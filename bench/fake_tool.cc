// Stand-in for both tools in the benchmarks. It exits at once, so that what is measured is the
// cost of starting it. Built with PLIMD_BENCH_STAMP it first writes the time it started (the
// monotonic clock in nanoseconds) to a FIFO that the benchmark reads.
#include <fcntl.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

int main() {
#ifdef PLIMD_BENCH_STAMP
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  const int fd = open("/tmp/plim/stamp", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    if (write(fd, &ns, sizeof ns) != sizeof ns) return 1;
    close(fd);
  }
#endif
  return 0;
}
