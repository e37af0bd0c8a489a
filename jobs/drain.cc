#include "jobs/drain.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <tuple>

#include "joblist/atomic_file.h"
#include "joblist/clock.h"
#include "joblist/job_files.h"
#include "joblist/late_appends.h"
#include "joblist/paths.h"
#include "joblist/queue_lines.h"
#include "joblist/scoped_fd.h"
#include "jobs/convert.h"
#include "jobs/history.h"
#include "jobs/hook.h"
#include "jobs/job_runner.h"
#include "jobs/job_steps.h"
#include "jobs/kill_request.h"
#include "jobs/settings.h"
#include "jobs/work_dir.h"

namespace plim {

namespace {

// A job that ran and reached the done list, but whose name the in-progress file still holds
// because emptying it failed. Kept in memory only: after a restart the job runs once more, which
// the promise of at most one extra run per interruption allows.
std::string done_but_listed;
// The file system of the job files when done_but_listed was set: a change of the mount table
// that puts them on another one (another disk, or none) makes the name one of files this
// worker never wrote, so it is forgotten and the job runs, rather than being lost.
dev_t done_but_listed_on = 0;

// The last Start stopped short; see StoppedShort.
bool stopped_short = false;

// Why the work folder was last found unsafe, said once until the reason changes.
std::string unsafe_said;

// The file system that holds the job files, or 0 while their folder is missing (no disk).
dev_t FilesDevice() {
  struct stat info;
  return stat(kFilesDir, &info) == 0 ? info.st_dev : 0;
}

// Returns false, with a message, when the in-progress file still names `raw`.
bool EmptyActive(const std::string& raw) {
  if (SetActiveIn(InBearbeitung, nullptr)) {
    done_but_listed.clear();
    return true;
  }
  const int error = errno;
  done_but_listed = raw;
  done_but_listed_on = FilesDevice();
  stopped_short = true;
  fprintf(stderr, "plimd: cannot empty %s after the job %s: %s; trying again later\n",
          InBearbeitung, raw.c_str(), strerror(error));
  return false;
}

// A job without a safe work folder could only be recorded as not run: its name stays where it
// is, to be tried again later. The folder, open, is what the next job works in.
ScopedFd SafeWorkFolder() {
  std::string why;
  ScopedFd root = OpenWorkRoot(kWorkRoot, kWorkRootOwnComponents, &why);
  if (root.valid()) {
    unsafe_said.clear();
    return root;
  }
  if (why != unsafe_said) {
    fprintf(stderr, "plimd: %s; no job runs until it can be made safe, tried again later\n",
            why.c_str());
  }
  unsafe_said = why;
  stopped_short = true;
  return root;
}

bool CannotWrite(const char* path) {
  fprintf(stderr, "plimd: cannot write to %s: %s\n", path, strerror(errno));
  return false;
}

// Both records, the history first, then the done list; false (said on stderr) if one failed.
bool Record(const HistoryRecord& record) {
  if (!AppendHistory(kHistory, record)) return CannotWrite(kHistory);
  return Save(record.name) || CannotWrite(Fertig);
}

// plimctl status takes the in-progress file's time for the job's start: a job run again after a
// restart finds the file as an earlier run wrote it. The history's start is the same second.
void MarkStart(time_t now) {
  const struct timespec times[2] = {{now, 0}, {now, 0}};
  std::ignore = utimensat(AT_FDCWD, InBearbeitung, times, AT_SYMLINK_NOFOLLOW);
}

// The in-progress file already names `raw`; it is emptied only once the done list holds it.
// The history record comes first, so that a name that has left the in-progress file always
// has the record of its run (plimctl wait relies on that).
bool RunJob(const std::string& raw, bool rerun, int work_root) {
  const Settings settings = ReadSettings(kSettings);
  HistoryRecord record;
  record.name = raw;
  const time_t now = time(nullptr);
  MarkStart(now);
  record.start = UtcTime(now);
  record.rerun = rerun;
  const double begun = MonotonicSeconds();
  AcceptKillRequests(raw);
  const JobResult result = StartPlim(Convert(raw), settings, work_root);
  RefuseKillRequests();
  record.seconds = MonotonicSeconds() - begun;
  record.analysis = result.analysis;
  record.mark = result.mark;
  record.output_dropped = result.output_dropped;
  record.error = result.error;
  if (!Record(record)) {
    // Not done: a job that left the in-progress file without its records would be lost.
    fprintf(stderr, "plimd: the job %s stays in %s and runs again later\n", raw.c_str(),
            InBearbeitung);
    stopped_short = true;
    return false;
  }
  const bool emptied = EmptyActive(raw);
  if (!settings.on_job_done.empty()) RunHook(settings.on_job_done, record, settings);
  return emptied;
}

// A line too long to be a name leaves the queue with a record of its own, so that the
// operator finds out where it went; the record names it by its first bytes.
void RecordSetAside(const SetAsideLine& line) {
  const std::string error = "a queue line of " + std::to_string(line.length) +
                            " bytes is longer than " + std::to_string(kLongestLine) + "; set aside";
  fprintf(stderr, "plimd: %s\n", error.c_str());
  HistoryRecord record;
  record.name = line.start;
  record.start = UtcTime(time(nullptr));
  record.error = error;
  if (!AppendHistory(kHistory, record)) CannotWrite(kHistory);
}

bool Paused() {
  struct stat info;
  return stat(kPausedMark, &info) == 0;
}

bool EmptyOrAbsent(const char* path, bool absent_is_empty) {
  struct stat info;
  if (stat(path, &info) != 0) return absent_is_empty && errno == ENOENT;
  return info.st_size == 0;
}

}  // namespace

void Recover() {
  // A worker that a listener forks may have the memory of the worker that forked that listener,
  // as it was then: a finished job it knew of is out of date, and its descriptors are closed.
  done_but_listed.clear();
  unsafe_said.clear();
  ForgetStragglers();
  ForgetChildSignals();
  // Temporary files exist only while a drain writes them, and the instance lock lets no other
  // worker drain, so before the first drain they are stale.
  RemoveStaleTemporaries();
}

bool NothingToDrain() {
  return EmptyOrAbsent(Queue, /*absent_is_empty=*/false) &&
         EmptyOrAbsent(InBearbeitung, /*absent_is_empty=*/true);
}

// Without the job files' folder (no disk), a retry could not mend anything: only a mount, or
// a producer who made the folder and then triggers, brings it back, and both drain.
bool StoppedShort() { return stopped_short && FilesDevice() != 0; }

bool AwaitsLateLines() { return KeepsStragglers(); }

void Start() {
  stopped_short = false;
  // A replaced queue that a writer still held when it was replaced may have received lines.
  CarryStragglers();
  // A producer appends before it triggers, so an empty queue seen after a trigger holds nothing
  // for it.
  if (NothingToDrain()) return;
  // While paused, even the job a stop cut short waits: the operator asked for no new start.
  if (Paused()) return;
  ScopedFd root = SafeWorkFolder();
  if (!root.valid()) return;
  const std::string active = GetActive();
  if (active != kSentinel) {
    const bool finished = active == done_but_listed ? EmptyActive(active)
                                                    : RunJob(active, /*rerun=*/true, root.get());
    if (!finished) return;
  }
  done_but_listed.clear();
  std::string head;
  while (!Paused() && (root = SafeWorkFolder()).valid() &&
         (head = Get(RecordSetAside)) != kSentinel) {
    if (!RunJob(head, /*rerun=*/false, root.get())) return;
  }
  if (head != kSentinel) return;
  // Get returns the sentinel also when it could not take from the queue (a disk gone, read-only
  // or full): only a queue file left empty means that nothing is left.
  if (!EmptyOrAbsent(Queue, /*absent_is_empty=*/false)) stopped_short = true;
}

void ForgetFiles() {
  const dev_t device = FilesDevice();
  if (device != done_but_listed_on) done_but_listed.clear();
  DropStragglersOff(device);
}

}  // namespace plim
