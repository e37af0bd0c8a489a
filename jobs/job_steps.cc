#include "jobs/job_steps.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>
#include <utility>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

void Report(const char* what, const std::string& path, int error) {
  fprintf(stderr, "plimd: %s %s: %s\n", what, path.c_str(), strerror(error));
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  if (remove(path) != 0 && errno != ENOENT) Report("cannot remove", path, errno);
  return 0;
}

// What the worker hands the child that becomes a tool.
struct Launch {
  char* const* argv;
  char* const* envp;  // null: the worker's
  int stdout_fd;
  int stderr_fd;
  pid_t worker;
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

// Runs in the child, in the worker's memory and on its own stack, while the worker waits for
// it to exec or exit; so it makes system calls only and writes to no memory of the worker's.
// Not instrumented by ASan: the child never returns, so it would leave its frames marked in
// the shadow memory that it shares with the worker.
__attribute__((no_sanitize("address"))) int ExecTool(void* arg) {
  Launch* launch = static_cast<Launch*>(arg);
  // A tool left running after a worker is killed would work beside the next service's job.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != launch->worker) _exit(127);
  // A group of its own lets the time limit reach everything the tool starts.
  setpgid(0, 0);
  if (launch->stdout_fd != STDOUT_FILENO && dup2(launch->stdout_fd, STDOUT_FILENO) < 0) _exit(127);
  if (launch->stderr_fd != STDERR_FILENO && dup2(launch->stderr_fd, STDERR_FILENO) < 0) _exit(127);
  if (launch->envp != nullptr) {
    execve(launch->argv[0], launch->argv, launch->envp);
  } else {
    execv(launch->argv[0], launch->argv);
  }
  ReportExecFailure(launch->argv[0], errno);
  _exit(127);
}

// Starts the tool like vfork: the child borrows the worker's memory until it execs instead of
// copying the worker's page tables, which fork would do for every tool.
pid_t StartTool(Launch* launch) {
  alignas(64) static char stack[65536];
  return clone(ExecTool, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, launch);
}

// Tries the folder itself first: for a job's work folder only the last one is ever missing, and
// its parents are made only when mkdir says one is.
bool CreateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  const size_t slash = path.rfind('/');
  if (errno != ENOENT || slash == 0 || slash == std::string::npos) return false;
  return CreateFolder(path.substr(0, slash)) && (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST);
}

ToolStatus Reap(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return ToolStatus();
  }
  if (WIFSIGNALED(status)) return {ToolStatus::End::kSignaled, WTERMSIG(status)};
  return {ToolStatus::End::kExited, WEXITSTATUS(status)};
}

// Whether `child` ends within `milliseconds`; it stays unreaped, so that its process group
// cannot be taken by another process meanwhile. Where the kernel has no pidfd, waits for good.
bool EndsWithin(pid_t child, int milliseconds) {
  // Called through syscall: the C library's wrapper lacks C linkage in some releases.
  ScopedFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
  if (!pidfd.valid()) {
    Report("cannot apply the time limit to", std::to_string(child), errno);
    siginfo_t info;
    while (waitid(P_PID, child, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    return true;
  }
  struct pollfd ended = {pidfd.get(), POLLIN, 0};
  int rc;
  while ((rc = poll(&ended, 1, milliseconds)) < 0 && errno == EINTR) {
  }
  return rc != 0;
}

ToolStatus Collect(pid_t child, int time_limit_seconds) {
  if (time_limit_seconds <= 0 || EndsWithin(child, time_limit_seconds * 1000)) return Reap(child);
  kill(-child, SIGTERM);
  std::ignore = EndsWithin(child, 5000);
  kill(-child, SIGKILL);
  std::ignore = Reap(child);
  return {ToolStatus::End::kTimeLimit, 0};
}

}  // namespace

void RemoveTree(const std::string& path) {
  if (nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) != 0 && errno != ENOENT) {
    Report("cannot remove", path, errno);
  }
}

void MakeDirectories(const std::string& path) {
  if (!CreateFolder(path)) Report("cannot create directory", path, errno);
}

void Touch(const std::string& path) {
  ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666));
  const int rc =
      fd.valid() ? futimens(fd.get(), nullptr) : utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
  if (rc != 0) Report("cannot touch", path, errno);
}

void MakeSymlink(const std::string& target, const std::string& link) {
  if (symlink(target.c_str(), link.c_str()) != 0) {
    Report("cannot create symbolic link", link, errno);
  }
}

JobLog::JobLog(std::string path)
    : path_(std::move(path)),
      fd_(open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666)) {
  if (!fd_.valid()) open_error_ = errno;
}

void AppendLine(const JobLog& log, const std::string& line) {
  if (log.open_error() != 0) return Report("cannot write to", log.path(), log.open_error());
  if (!WriteAll(log.fd(), line + '\n')) Report("cannot write to", log.path(), errno);
}

ToolStatus RunProgram(const std::vector<std::string>& argv, char* const* envp, int stdout_fd,
                      int stderr_fd, int time_limit_seconds) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  Launch launch = {args.data(), envp, stdout_fd, stderr_fd, getpid()};
  const pid_t child = StartTool(&launch);
  if (child < 0) {
    Report("cannot start", argv[0], errno);
    return ToolStatus();
  }
  return Collect(child, time_limit_seconds);
}

ToolStatus RunTool(const std::vector<std::string>& argv, const JobLog& log, bool stderr_to_log,
                   int time_limit_seconds) {
  if (log.open_error() != 0) {
    Report("cannot open", log.path(), log.open_error());
    return ToolStatus();
  }
  return RunProgram(argv, nullptr, log.fd(), stderr_to_log ? log.fd() : STDERR_FILENO,
                    time_limit_seconds);
}

}  // namespace plim
