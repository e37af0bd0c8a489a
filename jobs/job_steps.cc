#include "jobs/job_steps.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <tuple>
#include <utility>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

void ReportStepError(const char* what, const std::string& path, int error) {
  fprintf(stderr, "plimd: %s %s: %s\n", what, path.c_str(), strerror(error));
}

// How often an entry that keeps changing between folder and link is tried again.
constexpr int kAttempts = 4;

bool EmptyFolder(DIR* folder, const std::string& shown) {
  bool emptied = true;
  while (const struct dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    emptied = RemoveTreeAt(dirfd(folder), name, shown + "/" + name) && emptied;
  }
  return emptied;
}

// Empties the folder `name` and removes it. Returns false with errno set when the entry is worth
// another attempt, and reports nothing then; returns true once it is gone.
bool RemoveFolder(int dir, const char* name, const std::string& shown, bool* reported) {
  const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) {
    ReportStepError("cannot remove", shown, errno);
    *reported = true;
    close(fd);
    return false;
  }
  const bool emptied = EmptyFolder(folder, shown);
  closedir(folder);
  // What could not be removed inside has been reported; its folder cannot go either.
  if (!emptied) {
    *reported = true;
    return false;
  }
  return unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
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
    job->unsafe = "cannot create directory " + shown + ": " + strerror(job->folder_error);
    return ReportStepError("cannot create directory", shown, job->folder_error);
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
    return ReportStepError("cannot create symbolic link", shown, job->folder_error);
  }
  if (!job->folder.valid()) return;
  if (symlinkat(target.c_str(), job->folder.get(), name) != 0) {
    const int error = errno;
    // The tools would work on a folder without the recording.
    if (job->unsafe.empty())
      job->unsafe = "cannot create symbolic link " + shown + ": " + strerror(error);
    return ReportStepError("cannot create symbolic link", shown, error);
  }
}

bool RemoveTreeAt(int dir, const std::string& name, const std::string& shown) {
  bool reported = false;
  for (int attempt = 0; attempt < kAttempts && !reported; ++attempt) {
    if (unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR) break;
    if (RemoveFolder(dir, name.c_str(), shown, &reported)) return true;
    // A link or file now where the folder was (ELOOP, ENOTDIR), or a folder refilled in the
    // meantime (ENOTEMPTY): start over with what is there now.
    if (errno != ELOOP && errno != ENOTDIR && errno != ENOTEMPTY) break;
  }
  if (!reported) ReportStepError("cannot remove", shown, errno);
  return false;
}

ScopedFd OpenFolderOf(const std::string& path) {
  return ScopedFd(open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void TouchAt(int dir, const std::string& name, const std::string& shown) {
  if (dir < 0) return ReportStepError("cannot touch", shown, errno);
  // The job has just removed the entry, so mostly it is created here, with the time of now.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  if (ScopedFd(openat(dir, name.c_str(), flags, 0666)).valid()) return;
  if (errno != EEXIST) return ReportStepError("cannot touch", shown, errno);
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    fprintf(stderr, "plimd: not touching %s: it is a symbolic link; left alone\n", shown.c_str());
    return;
  }
  // Should a link take the file's place after the look, it is the link's own times that change.
  if (utimensat(dir, name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0)
    ReportStepError("cannot touch", shown, errno);
}

JobLog::JobLog(std::string path, int limit_mb)
    : path_(std::move(path)),
      // Not open to all like the job list files: under the job's umask of 0 anyone could
      // forge records in a log the worker created.
      fd_(open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644)),
      limit_mb_(limit_mb),
      left_(static_cast<long long>(limit_mb) << 20) {
  if (!fd_.valid()) open_error_ = errno;
}

int JobLog::Take(int from) {
  // The worker runs one program at a time on one thread. Not splice: it refuses a file opened
  // for appending, and the log must stay so for logrotate's copytruncate.
  static char buffer[65536];
  const ssize_t n = read(from, buffer, sizeof buffer);
  if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
  if (n == 0) return -1;
  const long long kept = std::min<long long>(n, left_);
  if (kept > 0 && !WriteAll(fd_.get(), std::string_view(buffer, kept)))
    ReportStepError("cannot write to", path_, errno);
  left_ -= kept;
  dropped_ += n - kept;
  dropped_total_ += n - kept;
  return 1;
}

void JobLog::AppendLine(const std::string& line) {
  if (open_error_ != 0) return ReportStepError("cannot write to", path_, open_error_);
  std::string lines;
  if (const long long dropped = std::exchange(dropped_, 0)) {
    lines = "plimd: " + std::to_string(dropped) +
            " bytes of output left out (log_limit_mb = " + std::to_string(limit_mb_) + ")\n";
  }
  if (!WriteAll(fd_.get(), lines + line + '\n')) ReportStepError("cannot write to", path_, errno);
}

ProgramIo ToolIo(const Settings& settings) {
  ProgramIo io;
  io.umask = settings.tool_umask;
  io.nice = settings.tool_nice;
  io.idle_io = settings.tool_io_idle;
  return io;
}

ToolStatus RunTool(const std::vector<std::string>& argv, JobLog& log, bool stderr_to_log,
                   const Settings& settings) {
  if (log.open_error() != 0) {
    ReportStepError("cannot open", log.path(), log.open_error());
    return ToolStatus();
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    ReportStepError("cannot make a pipe for", argv[0], errno);
    return ToolStatus();
  }
  const ScopedFd read_end(ends[0]);
  ScopedFd write_end(ends[1]);
  // Never blocks the worker: it reads only what is there, also after the tool has ended.
  std::ignore = fcntl(read_end.get(), F_SETFL, O_NONBLOCK);
  ProgramIo io = ToolIo(settings);
  io.stdout_fd = write_end.get();
  io.stderr_fd = stderr_to_log ? write_end.get() : -1;
  io.pipe_fd = read_end.get();
  io.log = &log;
  // The worker's copy of the write end goes once the tool holds its own, so that the pipe ends
  // when the tool and all it started have let go of it.
  io.pipe_write_end = &write_end;
  return RunProgram(argv, nullptr, io, settings.tool_time_limit);
}

}  // namespace plim
