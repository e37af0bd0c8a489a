#include "joblist/scoped_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <tuple>

#include "joblist/atomic_file.h"
#include "joblist/text_lines.h"

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

namespace {

// Seconds of waiting for a lock before a holder that waits on says who holds it.
constexpr unsigned kLockPatience = 10;

volatile sig_atomic_t rang = 0;

void Ring(int) { rang = 1; }

std::string ProcessName(long pid) {
  std::string command = ReadText("/proc/" + std::to_string(pid) + "/comm");
  if (!command.empty() && command.back() == '\n') command.pop_back();
  return "process " + std::to_string(pid) + " (" + (command.empty() ? "?" : command) + ")";
}

// Blocks until the lock is taken, through other signals, and when `until_rung` only until the
// alarm has rung; returns flock's result.
int BlockForLock(int fd, bool until_rung) {
  int rc;
  do {
    rc = flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR && !(until_rung && rang));
  return rc;
}

// The process that holds a flock on the file `fd` is open on, as "process PID (COMMAND)", found
// in /proc/locks by the file's device and inode; "an unknown process" where none is listed
// (it let go meanwhile, or it lives outside this process's PID namespace).
std::string LockHolder(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return "an unknown process";
  char key[64];
  snprintf(key, sizeof key, " %02x:%02x:%lu ", major(info.st_dev), minor(info.st_dev),
           static_cast<unsigned long>(info.st_ino));
  const std::string locks = ReadText("/proc/locks");
  std::string_view text = locks;
  for (std::string_view view; TakeLine(&text, &view);) {
    const std::string line(view);
    const size_t at = line.find(key);
    // Waiters are listed with "->"; the holder's PID is the field before the device.
    if (at == std::string::npos || line.find("->") != std::string::npos) continue;
    const long pid = atol(line.c_str() + line.rfind(' ', at - 1) + 1);
    if (pid > 0) return ProcessName(pid);
  }
  return "an unknown process";
}

// Takes the lock, waiting at most `seconds`; returns whether another process still holds it
// then. A flock that fails for another reason than the lock being held gives up at once.
bool StillHeldAfter(int fd, unsigned seconds) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return false;
  if (errno != EWOULDBLOCK && errno != EINTR) return false;
  // Installed without SA_RESTART, the alarm's handler makes flock return EINTR instead of
  // waiting on. Nothing else of the process changes.
  struct sigaction ring = {}, old = {};
  ring.sa_handler = Ring;
  sigemptyset(&ring.sa_mask);
  rang = 0;
  sigaction(SIGALRM, &ring, &old);
  alarm(seconds);
  const bool held = BlockForLock(fd, /*until_rung=*/true) != 0 && errno == EINTR;
  alarm(0);
  sigaction(SIGALRM, &old, nullptr);
  return held;
}

}  // namespace

ExclusiveLock::ExclusiveLock(const char* path, unsigned seconds)
    : fd_(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY)) {
  const unsigned patience = seconds != 0 ? seconds : kLockPatience;
  if (!fd_.valid() || !StillHeldAfter(fd_.get(), patience)) return;
  fprintf(stderr, "%s: waited %u s for the lock on %s, held by %s; %s\n",
          program_invocation_short_name, patience, path, LockHolder(fd_.get()).c_str(),
          seconds != 0 ? "going on without it" : "waiting on");
  if (seconds == 0) std::ignore = BlockForLock(fd_.get(), /*until_rung=*/false);
}

}  // namespace plim
