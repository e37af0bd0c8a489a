#include "frame/kept_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

bool IsRegularFile(int folder, const std::string& name) {
  struct stat info;
  return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

// Only a regular file is the log to keep. The rename replaces a file or link at the kept name
// without following it; where it fails (a folder there, say), the log is emptied in place.
void KeepOld(int folder, const std::string& name, const std::string& shown) {
  if (!IsRegularFile(folder, name)) return;
  const std::string kept = name + ".1";
  if (renameat(folder, name.c_str(), folder, kept.c_str()) != 0)
    fprintf(stderr, "plimd: cannot keep %s as %s.1: %s\n", shown.c_str(), shown.c_str(),
            strerror(errno));
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

}  // namespace plim
