#include <errno.h>
#include <limits.h>
#include <math.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>

#include "ctl/command_line.h"
#include "ctl/held_back.h"
#include "ctl/history_cmds.h"
#include "ctl/status.h"
#include "joblist/atomic_file.h"
#include "joblist/clock.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

struct WaitArgs {
  double timeout = -1;  // seconds; < 0: none
  std::vector<std::string> names;
};

bool ParseWaitArgs(const Invocation& call, WaitArgs* parsed, std::string* problem) {
  if (const auto timeout = call.values.find("timeout"); timeout != call.values.end()) {
    const std::string& text = timeout->second;
    char* end = nullptr;
    parsed->timeout = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(parsed->timeout >= 0) || isinf(parsed->timeout)) {
      *problem = "wait: --timeout takes a number of seconds, not " + Printable(text);
      return false;
    }
  }
  parsed->names = call.operands;
  return true;
}

enum class WaitResult { kWaiting, kOk, kFailed };

// Looks at the files once. A NAME neither queued nor in progress is done, and its latest record
// tells how; one without any record was never queued here, or its record was lost.
WaitResult Check(const std::vector<std::string>& names, const CtlFiles& files, FILE* err) {
  const JobLists lists = ReadJobLists(files.queue, files.in_progress, files.done);
  // Read after the lists: the service appends a job's record before its name leaves the
  // in-progress file, so a name seen in neither list has its record here.
  const std::vector<HistoryRecord> records = ReadHistory(files.history);
  WaitResult result = WaitResult::kOk;
  for (const std::string& name : names) {
    if (lists.in_progress == name ||
        std::find(lists.queued.begin(), lists.queued.end(), name) != lists.queued.end()) {
      return WaitResult::kWaiting;
    }
  }
  for (const std::string& name : names) {
    if (LatestOutcome(name, records, "is not queued, not in progress and has no record", err) !=
        kExitOk) {
      result = WaitResult::kFailed;
    }
  }
  return result;
}

// Whether the events waiting on `inotify` touch one of the files that Check reads.
bool ReadEvents(int inotify, const CtlFiles& files) {
  alignas(struct inotify_event) char buffer[4096];
  bool relevant = false;
  for (ssize_t n; (n = read(inotify, buffer, sizeof buffer)) > 0;) {
    for (char* p = buffer; p < buffer + n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(p);
      const std::string name = event->len > 0 ? event->name : "";
      for (const std::string* path : {&files.history, &files.queue, &files.in_progress}) {
        relevant = relevant || (event->mask & IN_Q_OVERFLOW) != 0 ||
                   path->substr(path->rfind('/') + 1) == name;
      }
      p += sizeof *event + event->len;
    }
  }
  return relevant;
}

// Milliseconds left until `deadline`, for poll; -1 without one.
int Remaining(const WaitArgs& args, long long deadline_ms) {
  if (args.timeout < 0) return -1;
  return static_cast<int>(std::clamp<long long>(deadline_ms - MonotonicMs(), 0, INT_MAX));
}

}  // namespace

int LatestOutcome(const std::string& name, const std::vector<HistoryRecord>& records,
                  const char* absent, FILE* err) {
  const std::string recorded = RecordedName(name);
  auto latest = std::find_if(records.rbegin(), records.rend(),
                             [&recorded](const HistoryRecord& r) { return r.name == recorded; });
  if (latest == records.rend()) {
    fprintf(err, "plimctl: \"%s\" %s\n", Printable(name).c_str(), absent);
    return kExitFailed;
  }
  if (std::string(Outcome(*latest)) == "ok") return kExitOk;
  fprintf(err, "plimctl: %s", FormatHistoryLine(*latest).c_str());
  return kExitFailed;
}

int Wait(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* err = call.err;
  WaitArgs parsed;
  std::string problem;
  if (!ParseWaitArgs(call, &parsed, &problem)) return UsageError(err, problem);
  const long long deadline =
      MonotonicMs() + static_cast<long long>(ceil(std::min(parsed.timeout, 1e9) * 1000));
  // Watching starts before the first look, so that no change between the two is missed.
  ScopedFd inotify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  const std::string folder = DirectoryOf(files.history);
  if (!inotify.valid() || inotify_add_watch(inotify.get(), folder.c_str(),
                                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY) < 0) {
    fprintf(err, "plimctl: cannot watch %s: %s\n", folder.c_str(), strerror(errno));
    return kExitFailed;
  }
  for (bool changed = true, first = true;; changed = ReadEvents(inotify.get(), files)) {
    if (changed) {
      const WaitResult result = Check(parsed.names, files, err);
      if (result != WaitResult::kWaiting) return result == WaitResult::kOk ? kExitOk : kExitFailed;
      // Once: a service that starts or resumes later takes the names all the same.
      if (first) WarnIfHeldBack(files, err);
      first = false;
    }
    struct pollfd ready = {inotify.get(), POLLIN, 0};
    const int timeout = Remaining(parsed, deadline);
    if (timeout == 0 || (poll(&ready, 1, timeout) == 0 && Remaining(parsed, deadline) == 0)) {
      fprintf(err, "plimctl: wait: timed out\n");
      return kExitTimeout;
    }
  }
}

}  // namespace plim
