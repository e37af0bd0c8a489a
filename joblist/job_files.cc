#include "joblist/job_files.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <tuple>
#include <utility>
#include <vector>

#include "joblist/atomic_file.h"
#include "joblist/line_file.h"
#include "joblist/paths.h"
#include "joblist/queue_lines.h"
#include "joblist/scoped_fd.h"
#include "joblist/string_array.h"

namespace plim {

namespace {

// Seconds the service waits for the folder lock before it goes on without it.
constexpr unsigned kServiceLockPatience = 3;

std::string ReportError(const std::string& queue) {
  printf("Error: %s\n", queue.c_str());
  // stdout may be a file or a pipe, and the worker never exits to flush it.
  fflush(stdout);
  return kSentinel;
}

struct Head {
  std::string name = kSentinel;
  off_t rest = 0;  // where the lines behind the head begin; 0 when nothing is taken off
  std::vector<SetAsideLine> set_aside;
  bool failed = false;
};

Head FindHead(int fd, off_t end) {
  Head head;
  LineReader lines(fd, 0, end);
  for (QueueLine line; lines.Next(&line);) {
    head.rest = line.end();
    if (line.TooLong()) {
      head.set_aside.push_back({line.length, std::string(line.entry().substr(0, kSetAsideStart))});
    } else if (line.entry() != kSentinel) {
      head.name = std::string(line.entry());
      break;
    }
  }
  head.failed = lines.failed();
  return head;
}

}  // namespace

ExclusiveLock LockQueue(const std::string& queue) {
  return ExclusiveLock(DirectoryOf(queue).c_str());
}

std::string GetFrom(const std::string& queue, const std::string& in_progress,
                    const SetAside& set_aside) {
  // Producers that take the same lock append only before or after this whole rewrite. One
  // that holds it too long is treated like one that takes none: a line it has not finished
  // stays, and what it writes into the replaced file is carried over.
  const ExclusiveLock lock(DirectoryOf(queue).c_str(), kServiceLockPatience);
  OpenedLines old;
  if (!OpenLines(queue, &old)) {
    if (errno != ENOENT) return ReportError(queue);
    std::ignore = CreateOpenToAll(queue);
    return kSentinel;
  }
  const Head head = FindHead(old.fd.get(), old.end);
  if (head.failed) return ReportError(queue);
  if (head.rest == 0) return kSentinel;
  const bool has_head = head.name != kSentinel;
  // The in-progress file names the entry before the queue loses it: a crash in between runs
  // the job once more instead of losing the name.
  if (has_head && !SetActiveIn(in_progress, &head.name)) return ReportError(queue);
  if (!RewriteQueue(
          queue, std::move(old), head.rest, "", [](const QueueLine&) { return Keep::kEntry; },
          Rewriter::kService)) {
    if (has_head) std::ignore = SetActiveIn(in_progress, nullptr);
    return ReportError(queue);
  }
  for (const SetAsideLine& line : head.set_aside) set_aside(line);
  return head.name;
}

bool SaveTo(const std::string& done_list, std::string name) {
  StringArray entries(done_list);
  entries.Add(std::move(name));
  return entries.PrintFertig();
}

std::string GetActiveFrom(const std::string& in_progress) {
  // World-writable like the queue, it may hold a line of any length, which names no job.
  std::string active = kSentinel;
  ForEachEntry(ReadSnapshot(in_progress).text,
               [&active](std::string entry) { active = std::move(entry); });
  return active;
}

bool SetActiveIn(const std::string& in_progress, const std::string* name) {
  return UpdateFile(in_progress, ReadSnapshot(in_progress),
                    name == nullptr ? std::string() : *name + '\n');
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
