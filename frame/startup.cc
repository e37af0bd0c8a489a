#include "frame/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "frame/listener.h"
#include "frame/pair.h"
#include "joblist/atomic_file.h"
#include "joblist/paths.h"
#include "joblist/pid_file.h"
#include "joblist/scoped_fd.h"
#include "jobs/kill_request.h"
#include "jobs/work_dir.h"

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

// Opens the lock file `path` without following a link (creating it 0600), makes it the caller's
// alone (owner and mode 0600) and takes an exclusive flock on it without waiting. The lock lasts
// as long as some process holds the returned descriptor or a copy of it.
// On failure returns an invalid descriptor and says why in `problem`; `*held` tells that
// another process holds the lock.
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

// Only a regular file is the log to keep. The rename replaces a file or link at the kept name
// without following it; where it fails (a folder there, say), the log is emptied in place.
void KeepOld(int folder, const std::string& name, const std::string& shown) {
  struct stat info;
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
    return;
  const std::string kept = name + ".1";
  if (renameat(folder, name.c_str(), folder, kept.c_str()) != 0)
    fprintf(stderr, "plimd: cannot keep %s as %s.1: %s\n", shown.c_str(), shown.c_str(),
            strerror(errno));
}

int RefuseStart(bool held, const std::string& problem) {
  PidFileLine line;
  if (!held) {
    fprintf(stderr, "plimd: %s\n", problem.c_str());
  } else if (ReadPidFile(kPidFile, &line)) {
    fprintf(stderr, "plimd: already running (listener %d, worker %d)\n", line.listener,
            line.worker);
  } else {
    fprintf(stderr, "plimd: already running\n");
  }
  return 1;
}

// The work folders under the world-writable /tmp are the service's before any job: made where
// missing, and what another user made or planted in their place moved aside. The worker checks
// them again before each job and waits while they cannot be made safe.
void PrepareWorkRoot() {
  std::string why;
  if (!OpenWorkRoot(kWorkRoot, kWorkRootOwnComponents, &why).valid())
    fprintf(stderr, "plimd: %s; no job runs until it can be made safe\n", why.c_str());
}

// A write to the pipe of a worker that has just died must fail, not kill the listener. The kill
// signal, whose default action would end the worker, waits for the worker's descriptor; it is
// blocked before the worker exists, as plimctl kill may signal it as soon as the PID file names
// it. The tools get an empty mask of their own.
void BlockSignals() {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  sigaddset(&blocked, kKillSignal);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

}  // namespace

void StartNewLog(const std::string& log) {
  ScopedFd folder(open(DirectoryOf(log).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return;
  const std::string name = log.substr(log.rfind('/') + 1);
  KeepOld(folder.get(), name, log);
  // O_NONBLOCK: a FIFO planted there would hold the start up.
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  ScopedFd fresh(openat(folder.get(), name.c_str(), flags, 0644));
  if (!fresh.valid() && errno != ELOOP && errno != EISDIR && errno != ENXIO) {
    fprintf(stderr, "plimd: cannot empty %s: %s\n", log.c_str(), strerror(errno));
    return;
  }
  struct stat info;
  if (!fresh.valid() || fstat(fresh.get(), &info) != 0 || !S_ISREG(info.st_mode))
    fprintf(stderr, "plimd: not emptying %s: it is no regular file; left alone\n", log.c_str());
}

int RunService() {
  CloseDescriptorsExcept({});
  // A working folder on the recordings disk, where the launcher may be run from, would keep it
  // busy for as long as the service runs: it could not be unmounted while idle.
  std::ignore = chdir("/");
  bool held = false;
  std::string problem;
  ScopedFd lock = TakeInstanceLock(kInstanceLock, &held, &problem);
  if (!lock.valid()) return RefuseStart(held, problem);
  PrepareWorkRoot();
  StartNewLog(Log);
  const pid_t child = fork();
  if (child < 0) perror("plimd: cannot start");
  if (child != 0) return child < 0 ? 1 : 0;
  // A session of its own: no terminal's signals, and one process group for the pair that the
  // init script can kill at once.
  setsid();
  BlockSignals();
  if (!MapPair(lock.Release())) return 0;
  Pair().listener = getpid();
  int pipe_write;
  if (StartWorker(&pipe_write) < 0) return 0;
  RunListener(pipe_write);
  return 0;
}

}  // namespace plim
