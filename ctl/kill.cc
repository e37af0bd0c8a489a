#include "ctl/kill.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "ctl/command_line.h"
#include "ctl/history_cmds.h"
#include "ctl/status.h"
#include "joblist/clock.h"
#include "joblist/job_files.h"
#include "jobs/history.h"
#include "jobs/kill_request.h"

namespace plim {

namespace {

// The newest record of `name`, if any.
std::optional<HistoryRecord> Latest(const CtlFiles& files, const std::string& name) {
  const std::string recorded = RecordedName(name);
  const std::vector<HistoryRecord> records = ReadHistory(files.history);
  const auto latest =
      std::find_if(records.rbegin(), records.rend(),
                   [&recorded](const HistoryRecord& r) { return r.name == recorded; });
  if (latest == records.rend()) return std::nullopt;
  return *latest;
}

bool SameRecord(const std::optional<HistoryRecord>& a, const std::optional<HistoryRecord>& b) {
  if (!a || !b) return !a && !b;
  return a->start == b->start && a->seconds == b->seconds && a->run == b->run;
}

// Checks what can be checked before asking: the job in progress and the worker. Returns the
// worker's PID, or 0 having said why on `err`.
pid_t WorkerToAsk(const std::string& name, const CtlFiles& files, FILE* err) {
  const std::string shown = Printable(name);
  if (GetActiveFrom(files.in_progress) != name) {
    fprintf(err, "plimctl: kill: \"%s\" is not the job in progress\n", shown.c_str());
    return 0;
  }
  const pid_t worker = ReadServiceProcesses(files.pid_file).worker;
  if (worker == 0) fprintf(err, "plimctl: kill: plimd's worker is not running\n");
  return worker;
}

// Waits for the job's end: a record of `name` other than `before`, or its name gone from the
// in-progress file, which the service empties only after it wrote the record. Returns the
// newest record then; none when the time ran out or the job left no record.
std::optional<HistoryRecord> AwaitRecord(const CtlFiles& files, const std::string& name,
                                         const std::optional<HistoryRecord>& before) {
  const long long deadline = MonotonicMs() + kKillWaitSeconds * 1000LL;
  do {
    const bool running = GetActiveFrom(files.in_progress) == name;
    std::optional<HistoryRecord> latest = Latest(files, name);
    if (!SameRecord(latest, before) || !running) return latest;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (MonotonicMs() < deadline);
  return std::nullopt;
}

}  // namespace

int KillJob(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* out = call.out;
  FILE* err = call.err;
  const std::string& name = call.operands[0];
  if (geteuid() != 0) {
    fprintf(err, "plimctl: kill: only root can end a job (plimd runs as root)\n");
    return kExitFailed;
  }
  // Read before the in-progress file: a record the job writes after the look is a new one.
  const std::optional<HistoryRecord> before = Latest(files, name);
  const pid_t worker = WorkerToAsk(name, files, err);
  if (worker == 0) return kExitFailed;
  // The worker compares the request with the job it runs when the signal reaches it, so a job
  // that ended meanwhile is never mistaken for this one.
  if (!WriteKillRequest(files.kill_request, name) || kill(worker, kKillSignal) != 0) {
    fprintf(err, "plimctl: kill: cannot ask plimd's worker: %s\n", strerror(errno));
    return kExitFailed;
  }
  const std::optional<HistoryRecord> record = AwaitRecord(files, name, before);
  if (!record && GetActiveFrom(files.in_progress) != name) {
    fprintf(err, "plimctl: kill: \"%s\" ended without a record\n", Printable(name).c_str());
    return kExitFailed;
  }
  if (!record) {
    fprintf(err, "plimctl: kill: \"%s\" has not ended within %d s\n", Printable(name).c_str(),
            kKillWaitSeconds);
    return kExitTimeout;
  }
  fputs(FormatHistoryLine(*record).c_str(), out);
  if (std::string(Outcome(*record)) == "killed") return kExitOk;
  fprintf(err, "plimctl: kill: \"%s\" ended before it could be killed\n", Printable(name).c_str());
  return kExitFailed;
}

}  // namespace plim
