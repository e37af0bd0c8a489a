#include "joblist/scoped_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "joblist/lock_wait.h"

namespace plim {

ScopedFd& ScopedFd::operator=(ScopedFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int ScopedFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

bool ScopedFd::Reset() {
  if (fd_ < 0) return true;
  // Linux releases the descriptor even when close fails, so it is never retried.
  int rc = close(fd_);
  fd_ = -1;
  return rc == 0 || errno == EINTR;
}

ScopedFd OpenForLocking(const char* path) {
  return ScopedFd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

namespace {

// Opens `path` for reading, creating it as a file when `create` is set and it is missing.
ScopedFd OpenToLock(const char* path, bool create) {
  ScopedFd fd = OpenForLocking(path);
  // Created only when missing: a drain of an empty queue, run for every trigger, then asks
  // for nothing but reads.
  if (!fd.valid() && create && errno == ENOENT) {
    fd = ScopedFd(open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
  }
  return fd;
}

}  // namespace

ExclusiveLock::ExclusiveLock(const char* path, bool create) : fd_(OpenToLock(path, create)) {
  if (fd_.valid()) WaitForLock(fd_.get(), path);
}

ExclusiveLock::ExclusiveLock(const char* path, bool create, unsigned seconds)
    : fd_(OpenToLock(path, create)) {
  if (fd_.valid()) WaitForLockAtMost(fd_.get(), path, seconds);
}

}  // namespace plim
