#include "jobs/kill_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <tuple>

#include "joblist/atomic_file.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

// The job that a request may end, while one runs.
std::optional<std::string> g_job;

}  // namespace

bool WriteKillRequest(const std::string& path, const std::string& name) {
  // The replacement never writes through what lies at `path`: its temporary file is made with
  // O_EXCL, and the rename replaces a link rather than following it.
  return WriteFileDurably(path, name, 0600);
}

bool KillRequestNames(const std::string& path, const std::string& name) {
  // Not blocking on a FIFO another user might have put there where /run is open to all.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
      info.st_size != static_cast<off_t>(name.size())) {
    return false;
  }
  std::string text;
  return ReadFrom(fd.get(), 0, &text, info.st_size) && text == name;
}

void AcceptKillRequests(const std::string& raw) {
  std::ignore = unlink(kKillRequest);
  g_job = raw;
}

void RefuseKillRequests() {
  g_job.reset();
  std::ignore = unlink(kKillRequest);
}

bool KillRequested() { return g_job && KillRequestNames(kKillRequest, *g_job); }

}  // namespace plim
