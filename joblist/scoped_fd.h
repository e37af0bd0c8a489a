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

// Opens a directory (or any path) for reading with close-on-exec, for fsync or flock.
ScopedFd OpenForLocking(const char* path);

// Holds an exclusive flock on a path for its lifetime; a path that cannot be opened is not
// locked, and the holder goes on unlocked.
class ExclusiveLock {
 public:
  // Opens `path` (creating it as a file when `create` is set) and waits for the lock, saying on
  // stderr which process holds it once the wait has lasted ten seconds (WaitForLock).
  ExclusiveLock(const char* path, bool create);
  // Waits at most `seconds` (WaitForLockAtMost), then goes on unlocked.
  ExclusiveLock(const char* path, bool create, unsigned seconds);
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  ScopedFd fd_;
};

}  // namespace plim

#endif  // PLIMD_JOBLIST_SCOPED_FD_H_
