#include "frame/instance.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "joblist/atomic_file.h"

namespace plim {

namespace {

// A file another user may have made, or a second name of a file, is not changed.
bool MakeOwn(int fd, const char* path, std::string* problem) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *problem = std::string("cannot examine ") + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
    *problem = std::string(path) + " is not a plain file with one name; remove it";
    return false;
  }
  if ((info.st_uid != geteuid() && fchown(fd, geteuid(), getegid()) != 0) ||
      ((info.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0)) {
    *problem = std::string("cannot make ") + path + " 0600: " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

ScopedFd TakeInstanceLock(const char* path, bool* held, std::string* problem) {
  *held = false;
  // O_NONBLOCK: a FIFO planted there must not hold up the start.
  ScopedFd fd(
      open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
  if (!fd.valid()) {
    *problem = std::string("cannot open ") + path + ": " + strerror(errno);
    return fd;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    *held = errno == EWOULDBLOCK;
    *problem = std::string("cannot lock ") + path + ": " + strerror(errno);
    return ScopedFd();
  }
  if (!MakeOwn(fd.get(), path, problem)) return ScopedFd();
  return fd;
}

bool WritePidFile(const char* path, pid_t listener, pid_t worker, time_t started) {
  const std::string temporary = std::string(path) + ".new";
  std::ignore = unlink(temporary.c_str());
  ScopedFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  const std::string line = std::to_string(listener) + " " + std::to_string(worker) + " " +
                           std::to_string(static_cast<long long>(started)) + "\n";
  // The service's umask may be 0; the file must not be writable by others.
  const bool written = fchmod(fd.get(), 0644) == 0 && WriteAll(fd.get(), line) && fd.Reset();
  if (written && rename(temporary.c_str(), path) == 0) return true;
  std::ignore = unlink(temporary.c_str());
  return false;
}

bool ReadPidFile(const char* path, pid_t* listener, pid_t* worker, time_t* started) {
  FILE* in = fopen(path, "re");
  if (in == nullptr) return false;
  long long seconds = 0;
  // A service started before the start time was written leaves two fields.
  const int fields = fscanf(in, "%d %d %lld", listener, worker, &seconds);
  fclose(in);
  *started = fields == 3 ? static_cast<time_t>(seconds) : 0;
  return fields >= 2;
}

}  // namespace plim
