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

HeldOpen* g_innermost_held = nullptr;

}  // namespace

HeldOpen::HeldOpen(const char* path, bool create) : path_(path), outer_(g_innermost_held) {
  g_innermost_held = this;
  fd_ = OpenForLocking(path);
  // Created only when missing: a drain of an empty queue, run for every trigger, then asks
  // for nothing but reads.
  if (!fd_.valid() && create && errno == ENOENT) {
    fd_ = ScopedFd(open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
  }
}

HeldOpen::~HeldOpen() { g_innermost_held = outer_; }

int HeldOpen::Find(const std::string& path) {
  for (const HeldOpen* held = g_innermost_held; held != nullptr; held = held->outer_) {
    if (held->path_ == path && held->fd_.valid()) return held->fd_.get();
  }
  return -1;
}

ExclusiveLock::ExclusiveLock(const char* path, bool create) : held_(path, create) {
  if (held_.fd() >= 0) WaitForLock(held_.fd(), path);
}

ExclusiveLock::ExclusiveLock(const char* path, bool create, unsigned seconds)
    : held_(path, create) {
  if (held_.fd() >= 0) WaitForLockAtMost(held_.fd(), path, seconds);
}

}  // namespace plim
