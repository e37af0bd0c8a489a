// A CPU-bound process for the priority figure. "bench_spin SECONDS" counts rounds of a busy
// loop for that long and prints the rounds per second and the CPU time it got, in ns; without a
// positive SECONDS (as the analysis tool, whose first argument is "-") it spins until killed.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace {

double Now(clockid_t clock = CLOCK_MONOTONIC) {
  struct timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One round: work enough that reading the clock costs nothing next to it.
void Round() {
  static volatile unsigned long sink;
  for (int i = 0; i < 100000; ++i) sink = sink + 1;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 0;
  if (seconds <= 0) {
    for (;;) Round();
  }
  const double cpu_start = Now(CLOCK_PROCESS_CPUTIME_ID);
  const double start = Now();
  long long rounds = 0;
  while (Now() - start < seconds) {
    Round();
    ++rounds;
  }
  printf("%.0f %.0f\n", static_cast<double>(rounds) / (Now() - start),
         (Now(CLOCK_PROCESS_CPUTIME_ID) - cpu_start) * 1e9);
  return 0;
}
