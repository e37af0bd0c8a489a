// An owned file descriptor, closed when it goes out of scope.
#ifndef PLIMD_JOBLIST_SCOPED_FD_H_
#define PLIMD_JOBLIST_SCOPED_FD_H_

namespace plim {

class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.Release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept;
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();
  // Closes the descriptor; returns false if close reported an error (a lost write).
  bool Reset();

 private:
  int fd_ = -1;
};

// Holds an exclusive flock on a path for its lifetime; a path that cannot be opened is not
// locked, and the holder goes on unlocked.
class ExclusiveLock {
 public:
  // Opens `path` read-only and waits for the lock. With `seconds`, waits at most that long, then
  // says on stderr which process holds it and goes on unlocked. Without, says so once the wait
  // has lasted ten seconds and goes on waiting. A flock that fails for any other reason than
  // the lock being held leaves the holder unlocked at once.
  explicit ExclusiveLock(const char* path, unsigned seconds = 0);
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  ScopedFd fd_;
};

}  // namespace plim

#endif  // PLIMD_JOBLIST_SCOPED_FD_H_
