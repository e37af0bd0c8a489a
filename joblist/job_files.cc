#include "joblist/job_files.h"

#include <unistd.h>

#include <tuple>
#include <utility>

#include "joblist/atomic_file.h"
#include "joblist/line_file.h"
#include "joblist/lock_wait.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "joblist/string_array.h"

namespace plim {

ExclusiveLock LockQueue(const std::string& queue) {
  return ExclusiveLock(DirectoryOf(queue).c_str(), /*create=*/false);
}

std::string GetFrom(const std::string& queue, const std::string& in_progress,
                    const SetAside& set_aside) {
  // Producers that take the same lock append only before or after this whole rewrite. One
  // that holds it too long is treated like one that takes none: a line it has not finished
  // stays, and what it writes into the replaced file is carried over.
  const ExclusiveLock lock(DirectoryOf(queue).c_str(), /*create=*/false, kServiceLockPatience);
  return PrintQueue(
      queue, [&in_progress](const std::string* name) { return SetActiveIn(in_progress, name); },
      set_aside);
}

bool SaveTo(const std::string& done_list, std::string name) {
  StringArray entries(done_list);
  entries.Add(std::move(name));
  return entries.PrintFertig();
}

std::string GetActiveFrom(const std::string& in_progress) {
  // World-writable like the queue, it may hold a line of any length, which names no job.
  FileSnapshot snapshot = ReadSnapshot(in_progress, LongLines::kSkip);
  std::string active = kSentinel;
  ForEachEntry(std::string_view(snapshot.text).substr(0, snapshot.complete),
               [&active](std::string entry) { active = std::move(entry); });
  return active;
}

bool SetActiveIn(const std::string& in_progress, const std::string* name) {
  return UpdateFile(in_progress, ReadSnapshot(in_progress, LongLines::kSkip),
                    name == nullptr ? std::string() : *name + '\n') != Update::kFailed;
}

std::string Get(const SetAside& set_aside) { return GetFrom(Queue, InBearbeitung, set_aside); }

bool Save(std::string name) { return SaveTo(Fertig, std::move(name)); }

std::string GetActive() { return GetActiveFrom(InBearbeitung); }

void RemoveStaleTemporaries() {
  for (const char* path : {Queue, InBearbeitung, Fertig}) {
    std::ignore = unlink(TemporaryPath(path).c_str());
  }
}

}  // namespace plim
