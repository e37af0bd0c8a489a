#include "frame/instance.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace plim
