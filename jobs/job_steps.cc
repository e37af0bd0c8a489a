#include "jobs/job_steps.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <tuple>
#include <utility>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

void Report(const char* what, const std::string& path, int error) {
  fprintf(stderr, "plimd: %s %s: %s\n", what, path.c_str(), strerror(error));
}

}  // namespace

// A folder left over from before, of another user or open to others, could be changed under
// the tools running as root, so it is not used.
void MakeJobFolder(JobFolder* job, const std::string& name, const std::string& shown) {
  if (job->root < 0) return;
  struct stat st;
  const bool made = mkdirat(job->root, name.c_str(), 0755) == 0;
  if (!made && errno != EEXIST) {
    job->folder_error = errno;
    return Report("cannot create directory", shown, errno);
  }
  job->folder =
      ScopedFd(openat(job->root, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // Only root can change the entries of the checked work folder, so a folder just made there is
  // still the one made, with the mode it was made with.
  if (job->folder.valid() && made) return;
  if (job->folder.valid() && fstat(job->folder.get(), &st) == 0 && st.st_uid == geteuid() &&
      (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
    return;
  }
  job->folder.Reset();
  job->unsafe = shown + " is not a folder of the service's own";
}

void LinkInJobFolder(JobFolder* job, const std::string& target, const char* name,
                     const std::string& shown) {
  if (job->folder_error != 0) {
    return Report("cannot create symbolic link", shown, job->folder_error);
  }
  if (!job->folder.valid()) return;
  if (symlinkat(target.c_str(), job->folder.get(), name) != 0) {
    return Report("cannot create symbolic link", shown, errno);
  }
  if (job->link_count < static_cast<int>(std::size(job->links)))
    job->links[job->link_count++] = name;
}

void Touch(const std::string& path) {
  // The job has just removed the file, so mostly it is created here, with the time of now.
  const int flags = O_WRONLY | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  if (ScopedFd(open(path.c_str(), flags | O_EXCL, 0666)).valid()) return;
  ScopedFd fd(open(path.c_str(), flags, 0666));
  const int rc =
      fd.valid() ? futimens(fd.get(), nullptr) : utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
  if (rc != 0) Report("cannot touch", path, errno);
}

JobLog::JobLog(std::string path)
    : path_(std::move(path)),
      // Not open to all like the job list files: under the job's umask of 0 anyone could
      // forge records in a log the worker created.
      fd_(open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644)) {
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
