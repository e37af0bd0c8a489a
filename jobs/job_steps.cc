#include "jobs/job_steps.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
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

// Tries the folder itself first: for a job's work folder only the last one is ever missing, and
// its parents are made only when mkdir says one is.
bool CreateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  const size_t slash = path.rfind('/');
  if (errno != ENOENT || slash == 0 || slash == std::string::npos) return false;
  return CreateFolder(path.substr(0, slash)) && (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST);
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

ToolStatus RunTool(const std::vector<std::string>& argv, const JobLog& log, bool stderr_to_log,
                   int time_limit_seconds) {
  if (log.open_error() != 0) {
    Report("cannot open", log.path(), log.open_error());
    return ToolStatus();
  }
  return RunProgram(argv, nullptr, log.fd(), stderr_to_log ? log.fd() : -1, time_limit_seconds);
}

}  // namespace plim
