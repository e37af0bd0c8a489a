#include "jobs/drain.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "jobs/convert.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

// A job that ran and reached the done list, but whose name the in-progress file still holds
// because emptying it failed. Kept in memory only: after a restart the job runs once more, which
// the promise of at most one extra run per interruption allows.
std::string done_but_listed;

// Returns false, with a message, when the in-progress file still names `raw`.
bool EmptyActive(const std::string& raw) {
  if (SetActiveIn(InBearbeitung, nullptr)) {
    done_but_listed.clear();
    return true;
  }
  done_but_listed = raw;
  fprintf(stderr, "plimd: cannot empty %s after the job %s: %s; trying again at the next trigger\n",
          InBearbeitung, raw.c_str(), strerror(errno));
  return false;
}

// The in-progress file already names `raw`; it is emptied only once the done list holds it.
bool RunJob(const std::string& raw) {
  StartPlim(Convert(raw));
  Save(raw);
  return EmptyActive(raw);
}

bool EmptyOrAbsent(const char* path, bool absent_is_empty) {
  struct stat info;
  if (stat(path, &info) != 0) return absent_is_empty && errno == ENOENT;
  return info.st_size == 0;
}

// A producer appends before it triggers, so an empty queue seen after a trigger holds nothing
// for it. Anything else, a missing queue file included, takes the whole path.
bool NothingToDo() {
  return EmptyOrAbsent(Queue, /*absent_is_empty=*/false) &&
         EmptyOrAbsent(InBearbeitung, /*absent_is_empty=*/true);
}

}  // namespace

void Recover() {
  // Temporary files exist only while a drain writes them, so under the lock they are stale.
  ExclusiveLock lock(kDrainLock, /*create=*/true);
  RemoveStaleTemporaries();
}

void Start() {
  if (NothingToDo()) return;
  ExclusiveLock lock(kDrainLock, /*create=*/true);
  const std::string active = GetActive();
  if (active != kSentinel) {
    const bool finished = active == done_but_listed ? EmptyActive(active) : RunJob(active);
    if (!finished) return;
  }
  done_but_listed.clear();
  for (std::string head = Get(); head != kSentinel; head = Get()) {
    if (!RunJob(head)) return;
  }
}

}  // namespace plim
