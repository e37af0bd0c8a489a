// What the job list files say, read without changing them, and shown to people or scripts.
#ifndef PLIMD_CTL_STATUS_H_
#define PLIMD_CTL_STATUS_H_

#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/ctl.h"
#include "ctl/log.h"
#include "jobs/history.h"
#include "jobs/settings.h"

namespace plim {

// Who holds the service's UDP port, from /proc: the listener keeps trying to bind it while
// another socket has it, and status says so.
struct PortHolder {
  bool waiting = false;  // the listener has no socket on the port
  pid_t pid = 0;         // a process with a socket on it, 0 when none is found
  std::string comm;      // its name
  bool uid_known = false;
  uid_t uid = 0;  // the owner of a socket on it, where `uid_known`
};

// Whether the process `listener` lacks a socket on UDP `port`, and who has one. Where its
// descriptors cannot be read (a user other than the service's), a socket on the port owned by
// root is taken for the listener's and one of another user for another's. `proc` is where the
// proc file system is.
PortHolder CheckListenerPort(pid_t listener, unsigned short port,
                             const std::string& proc = "/proc");

struct JobLists {
  std::vector<std::string> queued;         // in the order the service takes them
  std::optional<std::string> in_progress;  // the raw name of the job running, if any
  std::vector<std::string> done;           // oldest first
};

// The service's two processes as its PID file names them; 0 for one that does not run.
struct ServiceProcesses {
  pid_t listener = 0;
  pid_t worker = 0;
  time_t started = 0;  // when the service started; 0 when unknown or neither process runs
  std::string run;     // the run's identity; empty from an older service or when none runs
};

// How the jobs recorded since the service started ended.
struct Outcomes {
  int ok = 0;
  int failed = 0;
  int time_limit = 0;
  int killed = 0;  // ended by plimctl kill
};

// The job the worker runs: its start is the in-progress file's time, which the worker sets when
// the job starts (also when it runs again after a restart), and its tools' output the log's end.
struct RunningJob {
  time_t started = 0;
  long long elapsed = 0;  // seconds since then
  ToolOutput output;
};

// LSB status codes of `plimctl status`, as init scripts report them.
inline constexpr int kExitProcessMissing = 1;  // one of the two processes runs
inline constexpr int kExitNotRunning = 3;

// How many queued names `status` lists without --all.
inline constexpr size_t kQueuedShown = 10;

// Everything `plimctl status` shows.
struct StatusReport {
  ServiceProcesses service;
  unsigned short port = 0;           // the UDP port of the configuration
  std::optional<PortHolder> holder;  // none when the listener does not run
  JobLists jobs;
  bool paused = false;                  // the pause mark exists
  std::optional<Outcomes> since_start;  // none when the service's start is not known
  std::optional<HistoryRecord> last;    // the newest record of the history
  std::string settings_path;            // the service's settings file
  SettingsFile settings;                // what the service makes of it, as LoadSettings says
  std::optional<RunningJob> running;    // none unless a job is in progress and the worker runs
};

// Reads `pid_file` (see WritePidFile) and keeps each PID only while a live process called
// "plimd" has it, which started when the file says, where it says, and whose executable, where
// `proc` (the /proc file system) shows it, is called "plimd". A missing file means no process
// runs.
ServiceProcesses ReadServiceProcesses(const std::string& pid_file,
                                      const std::string& proc = "/proc");

// kExitOk while both processes run, kExitProcessMissing when one of them does,
// kExitNotRunning when neither does.
int ServiceStatusCode(const ServiceProcesses& service);

// Writes a warning to `err` for each thing that keeps queued names from being taken: the pause
// mark, or a service (or one of its processes) that does not run. Reads the PID file and the
// mark as `status` does; writes nothing else.
void WarnIfHeldBack(const CtlFiles& files, FILE* err);

// How the records of the service's run ended: those that name `run`, or, where the service does
// not publish one (an older version), those that started at `started` or later.
Outcomes CountSince(const std::vector<HistoryRecord>& records, time_t started,
                    const std::string& run);

// Reads all that `status` shows from `files`, the history in one pass; changes no file.
// Missing files count as empty.
StatusReport ReadStatus(const CtlFiles& files);

// Reads the three files without the flock on the queue's folder, which a producer may hold for
// as long as it likes: the service replaces each file whole, so each read is of one version.
// The queue is read first: the service names a job in the in-progress file before the queue
// loses it, so a name taken meanwhile is seen in progress (or both queued and in progress),
// never in neither. Missing or unreadable files count as empty; entries the service would drop
// (the sentinel) are left out. Writes nothing.
JobLists ReadJobLists(const std::string& queue, const std::string& in_progress,
                      const std::string& done);

// `text` with its control characters (C0, DEL, C1) and every byte that is not part of valid
// UTF-8 shown as "\xNN" for each byte, so that it cannot rewrite a terminal and shows as what
// it is; with `keep_lines`, line breaks and tabs stay. Valid UTF-8 otherwise stays as it is.
std::string Printable(std::string_view text, bool keep_lines = false);

// How much of `text` ends on a whole UTF-8 character, so that text read in pieces is escaped
// character by character: all of it unless it ends with a character cut off.
size_t WholeCharacters(std::string_view text);

// One history record for people: start (marked "(clock unset)" when it is no time), duration,
// outcome (marked "(rerun)"), both tools and the name.
std::string FormatHistoryLine(const HistoryRecord& record);

// For people: a line "service: running (listener L, worker W)", "service: not running" or
// "service: listener L running, worker missing" (or the other way round); while the listener
// has not bound its port, "listener: waiting for UDP port N" with ", held by process P (COMM)"
// or ", held by uid U" where a socket holds it; "paused: yes" or
// "no"; "since start: N ok, N failed, N time limit" (and ", N killed" when N > 0); "last: " and the
// record as `history` shows it, or "(none)"; "in progress: NAME" or "(none)", and while it runs
// "started: TIME (N s ago)", "tool: plim", "plim_mark" or "(none)" and "last line: TEXT" or
// "(none)"; "settings: FILE: " and each problem of the settings file, if any; then one section
// per file, names one per line and indented, made printable. Unless `all`, the queue's section
// lists its first kQueuedShown names and then "  ... and N more".
std::string FormatText(const StatusReport& status, bool all = false);

// For scripts: {"service":{"running":BOOL,"listener":PID or null,"worker":PID or null,
// "waiting_for_port":BOOL},
// "queued":[...],"in_progress":null or "...","done":[...],"paused":BOOL,"since_start":
// {"ok":N,"failed":N,"time limit":N} (and "killed":N when N > 0) or null,"last":the record as
// the history holds it, or null, "settings":{"file":PATH,"ignored":BOOL,"problems":[...]},
// "job":{"name":"...","start":TIME,"elapsed":N,"tool":"plim", "plim_mark" or null,"last_line":
// "..." or null} while a job runs, else null} and a line break. Bytes that are not UTF-8 come
// out as U+FFFD, so the output is always valid JSON.
std::string FormatJson(const StatusReport& status);

}  // namespace plim

#endif  // PLIMD_CTL_STATUS_H_
