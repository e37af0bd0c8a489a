// The pair of processes that make the service, the listener and the worker, and how each one
// starts the other again when it ends.
#ifndef PLIMD_FRAME_PAIR_H_
#define PLIMD_FRAME_PAIR_H_

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

namespace plim {

// Shared by every process of the service through one MAP_SHARED mapping made before the first
// fork.
struct PairState {
  std::atomic<pid_t> listener{0};
  std::atomic<pid_t> worker{0};
  std::atomic<pid_t> tool_group{0};  // the process group of the program the worker runs, or 0
  // Set by the worker for the whole of a drain and while it awaits late lines: the queue the
  // listener looks at may then lack a line that the worker is still to carry over.
  std::atomic<bool> draining{false};
  int lock_fd = -1;    // the instance lock, which every process keeps open
  time_t started = 0;  // when the launcher's child mapped this; a restarted partner keeps it
  // This run's identity (RunIdentity), which its history records and the PID file name: the
  // records of this run are told by it, not by their times, which a clock set after a boot
  // puts anywhere.
  char run[48] = {};
};

// Maps the shared state (once, in the first child) and notes the service's start time.
// Returns false on failure.
bool MapPair(int lock_fd);
PairState& Pair();

// How often a partner that keeps ending is started again: at once the first time, then at most
// once a second, the pause doubling with each start up to a minute; a partner that ran a minute
// or more is started again at once.
class Restarts {
 public:
  Restarts();
  int MsUntilAllowed();
  void Started();

 private:
  long long last_start_ms_;
  int delay_ms_ = 1000;
};

// When to try again something that failed and may mend by itself (a port another process holds,
// a work folder that cannot be made safe, a record that cannot be written): `first_ms` after the
// first failure, the pause doubling with each further failure up to `max_ms`. A success ends
// the tries, so that nothing is timed while all is well.
class Backoff {
 public:
  Backoff(int first_ms, int max_ms);
  void Failed();
  void Succeeded();
  // -1 while no try is due, else the milliseconds until the next one (0: now).
  int MsUntilDue() const;

 private:
  int first_ms_;
  int max_ms_;
  int delay_ms_;
  long long due_ms_ = -1;
};

// The shorter of two poll timeouts, where -1 is none.
int Sooner(int a_ms, int b_ms);

// Reaps `pid` if it is this process's child and says on stderr that the `role` ended and when it
// is started again.
void ReportEnd(const char* role, pid_t pid, int restart_in_ms);

// Closes every descriptor above 2 but those in `keep`, so that nothing the process that started
// the service had open reaches the service's processes or the tools they run.
void CloseDescriptorsExcept(std::vector<int> keep);

// Starts a new worker (in the listener) or a new listener (in the worker) on a fresh pipe, whose
// end for this process is returned in `*own_end`. The child keeps only its end and the instance
// lock, and runs its part until it ends. Returns the child's PID, or -1 (reported on stderr).
pid_t StartWorker(int* own_end);
pid_t StartListener(int* own_end);

}  // namespace plim

#endif  // PLIMD_FRAME_PAIR_H_
