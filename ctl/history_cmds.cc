// The commands that tell how jobs ended from the history: history, wait and kill.
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <thread>

#include "ctl/command_line.h"
#include "ctl/status.h"
#include "joblist/clock.h"
#include "joblist/job_files.h"
#include "joblist/scoped_fd.h"
#include "jobs/history.h"
#include "jobs/kill_request.h"

namespace plim {

namespace {

// How long `kill` waits for the job to end: the tool's 5 s between SIGTERM and SIGKILL, and
// the job's records after it.
constexpr int kKillWaitSeconds = 10;

// The newest of `records` for `name` (as queued), if any.
std::optional<HistoryRecord> Latest(const std::vector<HistoryRecord>& records,
                                    const std::string& name) {
  const std::string recorded = RecordedName(name);
  const auto latest =
      std::find_if(records.rbegin(), records.rend(),
                   [&recorded](const HistoryRecord& r) { return r.name == recorded; });
  if (latest == records.rend()) return std::nullopt;
  return *latest;
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

bool SameRecord(const std::optional<HistoryRecord>& a, const std::optional<HistoryRecord>& b) {
  if (!a || !b) return !a && !b;
  return a->start == b->start && a->seconds == b->seconds && a->run == b->run;
}

// Waits for the job's end: a record of `name` other than `before`, or its name gone from the
// in-progress file, which the service empties only after it wrote the record. Returns the
// newest record then; none when the time ran out or the job left no record.
std::optional<HistoryRecord> AwaitRecord(const CtlFiles& files, const std::string& name,
                                         const std::optional<HistoryRecord>& before) {
  const long long deadline = MonotonicMs() + kKillWaitSeconds * 1000LL;
  do {
    const bool running = GetActiveFrom(files.in_progress) == name;
    std::optional<HistoryRecord> latest = Latest(ReadHistory(files.history), name);
    if (!SameRecord(latest, before) || !running) return latest;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (MonotonicMs() < deadline);
  return std::nullopt;
}

}  // namespace

int LatestOutcome(const std::string& name, const std::vector<HistoryRecord>& records,
                  const char* absent, FILE* err) {
  const std::optional<HistoryRecord> latest = Latest(records, name);
  if (!latest) {
    fprintf(err, "plimctl: \"%s\" %s\n", Printable(name).c_str(), absent);
    return kExitFailed;
  }
  if (std::string(Outcome(*latest)) == "ok") return kExitOk;
  fprintf(err, "plimctl: %s", FormatHistoryLine(*latest).c_str());
  return kExitFailed;
}

int History(const Invocation& call) {
  const bool json = call.Has("json");
  std::set<std::string> names;
  for (const std::string& name : call.operands) names.insert(RecordedName(name));
  std::set<std::string> unseen = names;
  std::string shown = json ? "[" : "";
  for (const HistoryRecord& record : ReadHistory(call.files.history)) {
    if (!names.empty() && names.count(record.name) == 0) continue;
    unseen.erase(record.name);
    if (!json) {
      shown += FormatHistoryLine(record);
    } else {
      std::string object = FormatRecord(record);
      object.pop_back();
      shown += (shown.size() > 1 ? "," : "") + object;
    }
  }
  fputs((json ? shown + "]\n" : shown).c_str(), call.out);
  const int status = unseen.empty() ? kExitOk : kExitFailed;
  for (const std::string& name : call.operands) {
    if (unseen.erase(RecordedName(name)) == 0) continue;  // each name once
    fprintf(call.err, "plimctl: history: no record of \"%s\"\n", Printable(name).c_str());
  }
  return status;
}

int Wait(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* err = call.err;
  double timeout = -1;  // seconds; < 0: none
  if (const auto given = call.values.find("timeout"); given != call.values.end()) {
    const std::string& text = given->second;
    char* end = nullptr;
    timeout = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(timeout >= 0) || isinf(timeout)) {
      return UsageError(err, "wait: --timeout takes a number of seconds, not " + Printable(text));
    }
  }
  const long long deadline =
      MonotonicMs() + static_cast<long long>(ceil(std::min(timeout, 1e9) * 1000));
  // Milliseconds left until the deadline, for poll; -1 without one.
  const auto remaining = [timeout, deadline]() {
    if (timeout < 0) return -1;
    return static_cast<int>(std::clamp<long long>(deadline - MonotonicMs(), 0, INT_MAX));
  };
  // Watching starts before the first look, so that no change between the two is missed.
  const ScopedFd inotify =
      WatchFolders({files.history}, IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY, err);
  if (!inotify.valid()) return kExitFailed;
  for (bool changed = true, first = true;; changed = ReadEvents(inotify.get(), files)) {
    if (changed) {
      const WaitResult result = Check(call.operands, files, err);
      if (result != WaitResult::kWaiting) return result == WaitResult::kOk ? kExitOk : kExitFailed;
      // Once: a service that starts or resumes later takes the names all the same.
      if (first) WarnIfHeldBack(files, err);
      first = false;
    }
    struct pollfd ready = {inotify.get(), POLLIN, 0};
    const int left = remaining();
    if (left == 0 || (poll(&ready, 1, left) == 0 && remaining() == 0)) {
      fprintf(err, "plimctl: wait: timed out\n");
      return kExitTimeout;
    }
  }
}

int KillJob(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* err = call.err;
  const std::string& name = call.operands[0];
  const std::string shown = Printable(name);
  if (geteuid() != 0) {
    fprintf(err, "plimctl: kill: only root can end a job (plimd runs as root)\n");
    return kExitFailed;
  }
  // Read before the in-progress file: a record the job writes after the look is a new one.
  const std::optional<HistoryRecord> before = Latest(ReadHistory(files.history), name);
  if (GetActiveFrom(files.in_progress) != name) {
    fprintf(err, "plimctl: kill: \"%s\" is not the job in progress\n", shown.c_str());
    return kExitFailed;
  }
  const pid_t worker = ReadServiceProcesses(files.pid_file).worker;
  if (worker == 0) {
    fprintf(err, "plimctl: kill: plimd's worker is not running\n");
    return kExitFailed;
  }
  // The worker compares the request with the job it runs when the signal reaches it, so a job
  // that ended meanwhile is never mistaken for this one.
  if (!WriteKillRequest(files.kill_request, name) || kill(worker, kKillSignal) != 0) {
    fprintf(err, "plimctl: kill: cannot ask plimd's worker: %s\n", strerror(errno));
    return kExitFailed;
  }
  const std::optional<HistoryRecord> record = AwaitRecord(files, name, before);
  if (!record && GetActiveFrom(files.in_progress) != name) {
    fprintf(err, "plimctl: kill: \"%s\" ended without a record\n", shown.c_str());
    return kExitFailed;
  }
  if (!record) {
    fprintf(err, "plimctl: kill: \"%s\" has not ended within %d s\n", shown.c_str(),
            kKillWaitSeconds);
    return kExitTimeout;
  }
  fputs(FormatHistoryLine(*record).c_str(), call.out);
  if (std::string(Outcome(*record)) == "killed") return kExitOk;
  fprintf(err, "plimctl: kill: \"%s\" ended before it could be killed\n", shown.c_str());
  return kExitFailed;
}

}  // namespace plim
