#include "jobs/job_steps.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

ScopedFd OpenForAppend(const std::string& path) {
  return ScopedFd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
}

// In the forked child: never returns.
[[noreturn]] void ExecTool(char* const* argv, int log_fd, bool stderr_to_log, pid_t worker) {
  // A tool left running after a worker is killed would work beside the next service's job.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != worker) _exit(127);
  if (dup2(log_fd, STDOUT_FILENO) < 0) _exit(127);
  if (stderr_to_log && dup2(log_fd, STDERR_FILENO) < 0) _exit(127);
  execv(argv[0], argv);
  dprintf(STDERR_FILENO, "plimd: cannot run %s: %s\n", argv[0], strerror(errno));
  _exit(127);
}

void WaitFor(pid_t child) {
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void RemoveTree(const std::string& path) {
  if (nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) != 0 && errno != ENOENT) {
    Report("cannot remove", path, errno);
  }
}

void MakeDirectories(const std::string& path) {
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    const std::string prefix = path.substr(0, end);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      Report("cannot create directory", prefix, errno);
      return;
    }
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

void AppendLine(const std::string& path, const std::string& line) {
  ScopedFd fd = OpenForAppend(path);
  if (!fd.valid() || !WriteAll(fd.get(), line + '\n')) Report("cannot write to", path, errno);
}

void RunTool(const std::vector<std::string>& argv, const std::string& log, bool stderr_to_log) {
  ScopedFd log_fd = OpenForAppend(log);
  if (!log_fd.valid()) {
    Report("cannot open", log, errno);
    return;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t worker = getpid();
  const pid_t child = fork();
  if (child < 0) {
    Report("cannot start", argv[0], errno);
    return;
  }
  if (child == 0) ExecTool(args.data(), log_fd.get(), stderr_to_log, worker);
  WaitFor(child);
}

}  // namespace plim
