#include "joblist/queue_append.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "joblist/atomic_file.h"
#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

// fsync of the file flushes its bytes but not its name, which lives in the folder: without the
// folder's flush a power cut may lose a queue file created here, names and all.
bool CreateDurably(const std::string& path) {
  ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, kOpenToAll));
  if (!fd.valid()) return errno == EEXIST;
  // Producers without root append to it too, whatever umask plimctl ran under.
  return fchmod(fd.get(), kOpenToAll) == 0 && fd.Reset() && SyncFolderOf(path);
}

}  // namespace

const char* NameProblem(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name.find('\n') != std::string::npos) return "contains a line break";
  if (name.find('\0') != std::string::npos) return "contains a NUL byte";
  if (name == kSentinel) return "is the text that stands for no entry, which the service drops";
  return nullptr;
}

bool AppendToQueue(const std::string& queue, const std::vector<std::string>& names) {
  // Like Get, go on without the lock where the folder cannot be locked: the service still
  // carries over lines that reach a queue file it has just replaced.
  const ExclusiveLock lock = LockQueue(queue);
  if (!CreateDurably(queue)) return false;
  std::string line_break;
  if (const ScopedFd fd(open(queue.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
      EndsMidLine(fd.get())) {
    line_break = "\n";
  }
  for (const std::string& name : names) {
    if (!AppendDurably(queue, line_break + name + '\n')) return false;
    line_break.clear();
  }
  return true;
}

}  // namespace plim
