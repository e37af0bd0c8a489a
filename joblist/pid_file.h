// The file naming the service's two processes, which the service writes and plimctl reads.
#ifndef PLIMD_JOBLIST_PID_FILE_H_
#define PLIMD_JOBLIST_PID_FILE_H_

#include <sys/types.h>
#include <time.h>

#include <string>

namespace plim {

// Replaces `path` by "LISTENER WORKER STARTED LISTENER_TICKS WORKER_TICKS RUN\n" (0 for a
// process that is missing; STARTED is when the service started, in seconds since the epoch; the
// ticks are each process's start time as /proc has it; RUN is the run's identity, left out when
// empty), through a rename, so a reader sees the old or the new line whole. A PID alone may be
// another process's by the time it is read; with its start time it names one process for good.
// Returns false on failure.
bool WritePidFile(const char* path, pid_t listener, pid_t worker, time_t started,
                  const std::string& run = "");

struct PidFileLine {
  pid_t listener = 0;
  pid_t worker = 0;
  time_t started = 0;
  unsigned long long listener_ticks = 0;  // 0 in a file written without the start times
  unsigned long long worker_ticks = 0;
  std::string run;  // empty in a file of an older service
};

// Reads the line back. Returns false if the file is missing or malformed.
bool ReadPidFile(const char* path, PidFileLine* line);

// A name for this run of the service that no other run shares, across boots and whatever the
// wall clock reads: the first 16 hex digits of the kernel's boot id (16 random ones where that
// cannot be read), "-", and the time since the boot in microseconds, in hex. No blanks.
std::string RunIdentity();

// The start time in a line of /proc/PID/stat: its field 22, in clock ticks since boot; 0 for a
// line that is not one.
unsigned long long StartTicks(const std::string& stat);

}  // namespace plim

#endif  // PLIMD_JOBLIST_PID_FILE_H_
