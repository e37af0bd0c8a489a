// RunProgram: a program of the job, in a session of its own, waited for without polling.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "joblist/atomic_file.h"
#include "joblist/clock.h"
#include "joblist/scoped_fd.h"
#include "jobs/job_steps.h"
#include "jobs/kill_request.h"

namespace plim {

namespace {

// ioprio_set's arguments; glibc has no wrapper and not every kernel header has the names.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioIdle = 3 << 13;  // the idle class (3) in the class bits, level 0

std::atomic<pid_t>* g_group = nullptr;
WaitCheck (*g_check)(bool hung_up) = nullptr;
// The descriptor ChildSignals reads SIGCHLD through; -1 until the first program.
int g_child_signals = -1;

// What the worker hands the child that becomes a program.
struct Launch {
  char* const* argv;
  char* const* envp;
  int stdout_fd;
  int stderr_fd;
  mode_t umask;
  int nice;
  char nice_text[4];  // for the session's share of the CPU, written where the child cannot
  bool idle_io;
  pid_t worker;
  sigset_t mask;  // the program's, not the worker's
  int report_fd;  // close-on-exec: why the program could not be started, or nothing once it runs
};

// Says on stderr, which is where the tool's stderr would have gone, that the tool cannot run,
// as a shell reports a command it cannot run. The child says it itself: where the clone runs as
// a plain fork (qemu-user, valgrind), nothing it writes to memory reaches the worker. One writev
// keeps the line whole, and strerrordesc_np only looks a text up, unlike strerror.
__attribute__((no_sanitize("address"))) void ReportExecFailure(const char* tool, int error) {
  static const char kPrefix[] = "plimd: cannot run ";
  const char* reason = strerrordesc_np(error);
  struct iovec parts[] = {{const_cast<char*>(kPrefix), sizeof kPrefix - 1},
                          {const_cast<char*>(tool), strlen(tool)},
                          {const_cast<char*>(": "), 2},
                          {const_cast<char*>(reason), reason == nullptr ? 0 : strlen(reason)},
                          {const_cast<char*>("\n"), 1}};
  std::ignore = writev(STDERR_FILENO, parts, 5);
}

// Tells the worker why the program could not be started and ends the child. An exit status
// cannot tell it: a tool may exit 127 itself.
__attribute__((no_sanitize("address"))) void NotStarted(const Launch* launch, int error) {
  std::ignore = write(launch->report_fd, &error, sizeof error);
  _exit(127);
}

// Runs in the child, in the worker's memory and on its own stack, while the worker waits for
// it to exec or exit; so it makes system calls only and writes to no memory of the worker's.
// Not instrumented by ASan: the child never returns, so it would leave its frames marked in
// the shadow memory that it shares with the worker.
__attribute__((no_sanitize("address"))) int ExecProgram(void* arg) {
  const Launch* launch = static_cast<const Launch*>(arg);
  // A group of its own lets the worker end everything the program started; the worker blocks
  // signals it reads through a descriptor, which the program must not inherit. A session of its
  // own, too: where the kernel shares the CPU out by session first (autogroup), a nice value
  // counts only against the own session's processes, and the recording runs in another one.
  if (setsid() < 0) _exit(127);
  sigprocmask(SIG_SETMASK, &launch->mask, nullptr);
  // A program left running after a worker is killed would work beside the next worker's job.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != launch->worker) _exit(127);
  if (launch->stdout_fd >= 0 && dup2(launch->stdout_fd, STDOUT_FILENO) < 0)
    NotStarted(launch, errno);
  if (launch->stderr_fd >= 0 && dup2(launch->stderr_fd, STDERR_FILENO) < 0)
    NotStarted(launch, errno);
  // The worker's own mask is 0 for the job files; what the program makes is not meant for all.
  umask(launch->umask);
  // The box records while jobs run: the program gets what the recording leaves of the CPU and
  // the disk. Where the kernel refuses (no ioprio, a container without the right) it runs as is.
  std::ignore = setpriority(PRIO_PROCESS, 0, launch->nice);
  const int autogroup = open("/proc/self/autogroup", O_WRONLY | O_CLOEXEC);
  if (autogroup >= 0) {
    std::ignore = write(autogroup, launch->nice_text, strlen(launch->nice_text));
    close(autogroup);
  }
#ifdef SYS_ioprio_set
  if (launch->idle_io) std::ignore = syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioIdle);
#endif
  execve(launch->argv[0], launch->argv, launch->envp != nullptr ? launch->envp : environ);
  const int error = errno;
  ReportExecFailure(launch->argv[0], error);
  NotStarted(launch, error);
  return 127;
}

// Starts the program like vfork: the child borrows the worker's memory until it execs instead of
// copying the worker's page tables, which fork would do for every tool.
pid_t StartProgram(Launch* launch) {
  alignas(64) static char stack[65536];
  return clone(ExecProgram, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, launch);
}

// The shortest of the timeouts that are set (>= 0), in ms from `now`; -1 when none is.
int Soonest(int check_ms, long long now, long long at1, long long at2) {
  long long soonest = check_ms;
  for (long long at : {at1, at2}) {
    if (at < 0) continue;
    const long long ms = std::max(0LL, at - now);
    soonest = soonest < 0 ? ms : std::min(soonest, ms);
  }
  return static_cast<int>(soonest);
}

bool HasEnded(pid_t child) {
  siginfo_t info = {};
  // WNOWAIT leaves the child a zombie, so its group ID cannot be reused before the group is
  // killed.
  return waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == child;
}

// SIGCHLD stays blocked in this process from the first program on and is read through one
// descriptor, so that the end of a quick program is never missed and a job does not pay for
// a new descriptor and two mask changes per tool. The same descriptor takes plimctl kill's
// signal, blocked since the service started: one sent between programs waits there for the
// next. -1 if the descriptor cannot be made.
int ChildSignals() {
  if (g_child_signals < 0) {
    sigset_t taken;
    sigemptyset(&taken);
    sigaddset(&taken, SIGCHLD);
    sigaddset(&taken, kKillSignal);
    sigprocmask(SIG_BLOCK, &taken, nullptr);
    g_child_signals = signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
    // What a program starts and leaves outside its group (setsid) becomes the worker's when its
    // parent ends, instead of init's, so that EndStrays can end it with the job.
    std::ignore = prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  return g_child_signals;
}

bool ReportsEndOf(const struct signalfd_siginfo& info, pid_t child) {
  return static_cast<pid_t>(info.ssi_pid) == child &&
         (info.ssi_code == CLD_EXITED || info.ssi_code == CLD_KILLED ||
          info.ssi_code == CLD_DUMPED);
}

// The program's output pipe while it is open, and where its content goes.
struct Pump {
  int fd;
  JobLog* log;
};

// What a wake-up of the wait brought.
struct Woken {
  bool hung_up = false;     // the check's descriptor hung up
  bool ended = false;       // a SIGCHLD said that the program has ended
  bool kill_asked = false;  // kKillSignal came
};

// Sleeps in poll until a signal, the check's descriptor, output in the pump's pipe or a deadline.
void Sleep(int signals, const WaitCheck& check, Pump* pump, int timeout_ms, pid_t child,
           Woken* woken) {
  // poll passes over an entry whose descriptor is negative.
  struct pollfd ready[3] = {{signals, POLLIN, 0}, {check.fd, 0, 0}, {pump->fd, POLLIN, 0}};
  std::ignore = poll(ready, 3, timeout_ms);
  // A pipe all writers have let go of stays readable at its end: no more polling it then.
  if (ready[2].revents != 0 && pump->log->Take(pump->fd) < 0) pump->fd = -1;
  // SIGCHLD does not queue, so one read takes whatever is pending; a short read means no more.
  struct signalfd_siginfo info[4];
  ssize_t n;
  while ((n = read(signals, info, sizeof info)) > 0) {
    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof info[0]); ++i) {
      woken->ended = woken->ended || ReportsEndOf(info[i], child);
      woken->kill_asked = woken->kill_asked || info[i].ssi_signo == kKillSignal;
    }
    if (n < static_cast<ssize_t>(sizeof info)) break;
  }
  woken->hung_up = (ready[1].revents & (POLLHUP | POLLERR)) != 0;
}

// Waits for `child` to end. Past the limit, or on an operator's request for this job, its group
// gets SIGTERM and, 5 s later, SIGKILL; returns kTimeLimit or kKilled then, else kNotRun.
// A program that has ended before the first poll left its SIGCHLD pending, so the poll returns
// at once; the signal that tells of its end spares the call that would ask for it. No timer is
// set for a kill until one is asked for.
ToolStatus::End WaitWithLimit(pid_t child, int signals, Pump* pump, int time_limit_seconds) {
  long long now = MonotonicMs();
  long long term_at = time_limit_seconds > 0 ? now + time_limit_seconds * 1000LL : -1;
  long long kill_at = -1;
  ToolStatus::End ended_by = ToolStatus::End::kNotRun;
  Woken woken;
  do {
    const WaitCheck check = g_check != nullptr ? g_check(woken.hung_up) : WaitCheck();
    woken.kill_asked = false;
    Sleep(signals, check, pump, Soonest(check.timeout_ms, now, term_at, kill_at), child, &woken);
    now = MonotonicMs();
    // A program that ended by itself in the meantime keeps its own end.
    const bool killed =
        woken.kill_asked && !woken.ended && ended_by == ToolStatus::End::kNotRun && KillRequested();
    if ((term_at >= 0 && now >= term_at) || killed) {
      std::ignore = kill(-child, SIGTERM);
      ended_by = killed ? ToolStatus::End::kKilled : ToolStatus::End::kTimeLimit;
      term_at = -1;
      kill_at = now + 5000;
    } else if (kill_at >= 0 && now >= kill_at) {
      std::ignore = kill(-child, SIGKILL);
      kill_at = -1;
    }
  } while (!woken.ended && !HasEnded(child));
  return ended_by;
}

ToolStatus Reap(pid_t child, ToolStatus::End ended_by) {
  std::ignore = kill(-child, SIGKILL);
  if (g_group != nullptr) g_group->store(0);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (ended_by != ToolStatus::End::kNotRun) return {ended_by};
  if (WIFSIGNALED(status)) return {ToolStatus::End::kSignaled, WTERMSIG(status)};
  return {ToolStatus::End::kExited, WEXITSTATUS(status)};
}

// The parent of process `pid`, from the field after its name; -1 when it is gone.
pid_t ParentOf(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::string stat;
  if (!ReadWholeFile(path, &stat, nullptr)) return -1;
  const size_t name_end = stat.rfind(") ");
  if (name_end == std::string::npos) return -1;
  int parent = -1;
  return sscanf(stat.c_str() + name_end + 2, "%*c %d", &parent) == 1 ? parent : -1;
}

// The worker's children, from the kernel's list of them, or, where it keeps none, by a look
// through all of /proc.
std::vector<pid_t> Children() {
  const pid_t self = getpid();
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(self));
  std::string text;
  std::vector<pid_t> children;
  if (ReadWholeFile(path, &text, nullptr)) {
    // strtol, not a string stream: one use of iostreams would link the whole locale machinery
    // into the static binary and dirty its memory in the idle worker.
    char* end;
    for (const char* at = text.c_str();; at = end) {
      const long pid = strtol(at, &end, 10);
      if (end == at) break;
      children.push_back(static_cast<pid_t>(pid));
    }
    return children;
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (const struct dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid > 0 && ParentOf(pid) == self) children.push_back(pid);
  }
  closedir(proc);
  return children;
}

// The partner process, if the worker started it, shares the worker's process group and
// executable, as it was forked without exec; a program's descendant has neither.
bool IsPartner(pid_t pid) {
  if (getpgid(pid) != getpgrp()) return false;
  char path[64], own[PATH_MAX], theirs[PATH_MAX];
  const ssize_t own_size = readlink("/proc/self/exe", own, sizeof own);
  snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
  const ssize_t their_size = readlink(path, theirs, sizeof theirs);
  return own_size > 0 && own_size == their_size && memcmp(own, theirs, own_size) == 0;
}

// Kills and reaps every child of the worker but its partner: with the program reaped, those are
// what the program started outside its group and left to the worker as their subreaper. Each
// one killed may hand the worker its own children, so it looks again until none is left.
void EndStrays() {
  for (int round = 0; round < 100; ++round) {
    std::vector<pid_t> strays;
    for (const pid_t pid : Children()) {
      if (!IsPartner(pid)) strays.push_back(pid);
    }
    if (strays.empty()) return;
    for (const pid_t pid : strays) std::ignore = kill(pid, SIGKILL);
    for (const pid_t pid : strays) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
}

// Empties the pipe of what the program and its group wrote before they were killed. What a
// writer that somehow lives on keeps adding is not waited for: a bounded number of reads only.
void DrainPump(Pump* pump) {
  for (int reads = 0; pump->fd >= 0 && reads < 64 && pump->log->Take(pump->fd) > 0; ++reads) {
  }
}

// Why the child that wrote to `report` (its write end closed here) could not start its program,
// or 0 once the program runs: the write end closes on exec. Read after a clone that returned
// once the child exec'd or ended, or, where it ran as a plain fork, blocking until then.
int StartError(int report) {
  int error = 0;
  ssize_t n;
  while ((n = read(report, &error, sizeof error)) < 0 && errno == EINTR) {
  }
  return n == sizeof error ? error : 0;
}

}  // namespace

void ForgetChildSignals() { g_child_signals = -1; }

void WatchWhileWaiting(std::atomic<pid_t>* group, WaitCheck (*check)(bool hung_up)) {
  g_group = group;
  g_check = check;
}

ToolStatus RunProgram(const std::vector<std::string>& argv, char* const* envp, const ProgramIo& io,
                      int time_limit_seconds) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int report[2] = {-1, -1};
  const bool reports = pipe2(report, O_CLOEXEC) == 0;
  ScopedFd report_read(report[0]), report_write(report[1]);
  Launch launch = {args.data(), envp,       io.stdout_fd, io.stderr_fd, io.umask, io.nice,
                   {},          io.idle_io, getpid(),     {},           report[1]};
  snprintf(launch.nice_text, sizeof launch.nice_text, "%d", io.nice);
  sigemptyset(&launch.mask);
  const int signals = ChildSignals();
  const pid_t child = signals >= 0 && reports ? StartProgram(&launch) : -1;
  ToolStatus result;
  if (child < 0) {
    result.start_error = errno;
    fprintf(stderr, "plimd: cannot start %s: %s\n", argv[0].c_str(), strerror(errno));
  }
  if (io.pipe_write_end != nullptr) io.pipe_write_end->Reset();
  if (child >= 0) {
    report_write.Reset();
    const int start_error = StartError(report_read.get());
    if (g_group != nullptr) g_group->store(child);
    Pump pump = {io.log != nullptr ? io.pipe_fd : -1, io.log};
    result = Reap(child, WaitWithLimit(child, signals, &pump, time_limit_seconds));
    EndStrays();
    DrainPump(&pump);
    if (start_error != 0) result = {ToolStatus::End::kNotRun, 0, start_error};
  }
  return result;
}

}  // namespace plim
