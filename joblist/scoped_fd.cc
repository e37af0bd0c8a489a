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

ExclusiveLock* g_innermost_lock = nullptr;

}  // namespace

ExclusiveLock::ExclusiveLock(const char* path, bool create)
    : path_(path), outer_(g_innermost_lock) {
  g_innermost_lock = this;
  fd_ = OpenForLocking(path);
  // Created only when missing: a drain of an empty queue, run for every trigger, then asks
  // for nothing but reads.
  if (!fd_.valid() && create && errno == ENOENT) {
    fd_ = ScopedFd(open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
  }
  if (!fd_.valid()) return;
  locked_ = WaitForLock(fd_.get(), path);
}

ExclusiveLock::~ExclusiveLock() { g_innermost_lock = outer_; }

int ExclusiveLock::HeldOpen(const std::string& path) {
  for (const ExclusiveLock* lock = g_innermost_lock; lock != nullptr; lock = lock->outer_) {
    if (lock->path_ == path && lock->fd_.valid()) return lock->fd_.get();
  }
  return -1;
}

}  // namespace plim
