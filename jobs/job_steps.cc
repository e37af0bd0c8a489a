#include "jobs/job_steps.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

// What the worker hands the child that becomes a tool.
struct Launch {
  char* const* argv;
  int log_fd;
  bool stderr_to_log;
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
  if (dup2(launch->log_fd, STDOUT_FILENO) < 0) _exit(127);
  if (launch->stderr_to_log && dup2(launch->log_fd, STDERR_FILENO) < 0) _exit(127);
  execv(launch->argv[0], launch->argv);
  ReportExecFailure(launch->argv[0], errno);
  _exit(127);
}

// Starts the tool like vfork: the child borrows the worker's memory until it execs instead of
// copying the worker's page tables, which fork would do for every tool.
pid_t StartTool(Launch* launch) {
  alignas(64) static char stack[65536];
  return clone(ExecTool, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, launch);
}

void WaitFor(pid_t child) {
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

// A folder left over from before, of another user or open to others, could be changed under
// the tools running as root, so it is not used.
void MakeJobFolder(JobFolder* job, const std::string& name, const std::string& shown) {
  if (!job->root.valid()) return;
  struct stat st;
  if (mkdirat(job->root.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
    job->folder_error = errno;
    return Report("cannot create directory", shown, errno);
  }
  job->folder = ScopedFd(
      openat(job->root.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (job->folder.valid() && fstat(job->folder.get(), &st) == 0 && st.st_uid == geteuid() &&
      (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
    return;
  }
  job->folder.Reset();
  job->unsafe = shown + " is not a folder of the service's own";
}

void LinkInJobFolder(const JobFolder& job, const std::string& target, const std::string& name,
                     const std::string& shown) {
  if (job.folder_error != 0) return Report("cannot create symbolic link", shown, job.folder_error);
  if (!job.folder.valid()) return;
  if (symlinkat(target.c_str(), job.folder.get(), name.c_str()) != 0) {
    Report("cannot create symbolic link", shown, errno);
  }
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

void RunTool(const std::vector<std::string>& argv, const JobLog& log, bool stderr_to_log) {
  if (log.open_error() != 0) return Report("cannot open", log.path(), log.open_error());
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  Launch launch = {args.data(), log.fd(), stderr_to_log, getpid()};
  const pid_t child = StartTool(&launch);
  if (child < 0) return Report("cannot start", argv[0], errno);
  WaitFor(child);
}

}  // namespace plim
