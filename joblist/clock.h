// One reading of the monotonic clock for the service and plimctl.
#ifndef PLIMD_JOBLIST_CLOCK_H_
#define PLIMD_JOBLIST_CLOCK_H_

#include <time.h>

namespace plim {

// The monotonic clock, for deadlines and durations that a change of the wall clock must not bend.
inline long long MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

inline double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace plim

#endif  // PLIMD_JOBLIST_CLOCK_H_
