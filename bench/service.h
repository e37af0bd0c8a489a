// The service under test: its files on the scratch /hdd and /tmp/plim of the benchmark's
// namespaces, its start, and what /proc tells about its two processes.
#ifndef PLIMD_BENCH_SERVICE_H_
#define PLIMD_BENCH_SERVICE_H_

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "joblist/scoped_fd.h"

namespace bench {

// Where the stamping stand-in writes the time it started.
inline constexpr char kStampFifo[] = "/tmp/plim/stamp";

// Folders, configuration (index flag on, so that every step of a job runs) and the stand-in
// tools from `bindir`; the analysis tool stamps its start when `stamping` is set.
void PrepareTree(const std::string& bindir, bool stamping);

// The name of job `i`, 40 characters like a recording's title.
std::string JobName(int i);
// Queues `count` job names and returns the last.
std::string QueueJobs(int count);

// Opens the stamp FIFO for the stand-in to write to; ReadStamp waits for one stamp.
plim::ScopedFd OpenStamps();
int64_t ReadStamp(int fifo);

// Starts the production binary and returns once its launcher has returned.
void StartService(const std::string& bindir);

// Sends one-byte datagrams, "1" unless told otherwise, to the service's port.
class Trigger {
 public:
  Trigger();
  void Send(char byte = '1');

 private:
  plim::ScopedFd socket_;
};

// Watches the job files; Wait returns once `last` is done: queue and in-progress file empty
// and `last` the last line of the done list.
// Returns once the queue and the in-progress file are empty and `last` ends the done list.
void WaitUntilDone(const std::string& last);

struct ServicePids {
  pid_t listener = 0;
  pid_t worker = 0;
};

// Finds the listener and the worker, waiting for both to exist.
ServicePids FindService();
// Waits until both block: every datagram sent has been handed on and every byte drained.
void WaitIdle(const ServicePids& pids);

struct ProcessUsage {
  long ticks = 0;          // user and system clock ticks
  int64_t cpu_ns = 0;      // time on a CPU
  long runs = 0;           // times it was put on a CPU: each wake-up counts
  long write_calls = 0;    // write system calls
  long private_dirty = 0;  // KiB
};
ProcessUsage ReadUsage(pid_t pid);

}  // namespace bench

#endif  // PLIMD_BENCH_SERVICE_H_
