#include "jobs/drain.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <string>

#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "jobs/convert.h"
#include "jobs/history_writer.h"
#include "jobs/hook.h"
#include "jobs/job_runner.h"
#include "jobs/settings.h"

namespace plim {

namespace {

std::string UtcNow() {
  const time_t now = time(nullptr);
  struct tm utc;
  char text[32];
  gmtime_r(&now, &utc);
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The in-progress file already names `raw`; it is emptied only once the done list holds it.
// The history record comes first, so that a name that has left the in-progress file always
// has the record of its run (plimctl wait relies on that).
void RunJob(const std::string& raw, bool rerun) {
  const Settings settings = ReadSettings(kSettings);
  HistoryRecord record;
  record.name = raw;
  record.start = UtcNow();
  record.rerun = rerun;
  const auto begun = std::chrono::steady_clock::now();
  const JobResult result = StartPlim(Convert(raw), settings.tool_time_limit);
  record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  record.analysis = result.analysis;
  record.mark = result.mark;
  static HistoryWriter history(kHistory);
  if (!history.Append(record))
    fprintf(stderr, "plimd: cannot write to %s: %s\n", kHistory, strerror(errno));
  Save(raw);
  SetActive(nullptr);
  if (!settings.on_job_done.empty())
    RunHook(settings.on_job_done, record, settings.tool_time_limit);
}

bool Paused() {
  struct stat info;
  return stat(kPausedMark, &info) == 0;
}

}  // namespace

void Recover() {
  // Temporary files exist only while a drain writes them, and the instance lock lets no other
  // worker drain, so before the first drain they are stale.
  RemoveStaleTemporaries();
}

void Start() {
  // While paused, even the job a stop cut short waits: the operator asked for no new start.
  if (Paused()) return;
  const std::string active = GetActive();
  if (active != kSentinel) RunJob(active, /*rerun=*/true);
  for (std::string head; !Paused() && (head = Get()) != kSentinel;) RunJob(head, /*rerun=*/false);
}

}  // namespace plim
