#include "joblist/queue_append.h"

#include <fcntl.h>

#include "joblist/atomic_file.h"
#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"

namespace plim {

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
