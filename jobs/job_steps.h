// The operations a job is made of, carried out directly rather than through a shell, so that
// no character of a name is ever taken as shell syntax. Each reports a failure on stderr, as
// the corresponding shell utility would, and returns; a failed step never stops the job.
#ifndef PLIMD_JOBS_JOB_STEPS_H_
#define PLIMD_JOBS_JOB_STEPS_H_

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "joblist/scoped_fd.h"
#include "jobs/settings.h"

namespace plim {

// A job's own folder in the checked work folder, reached only through descriptors.
struct JobFolder {
  int root = -1;         // the work folder, open and checked by OpenWorkRoot
  ScopedFd folder;       // the job's folder, once made and found to be the service's
  int folder_error = 0;  // why the job's folder could not be made or opened
  // Why the tools must not run (the folder or a link could not be made, or is not safe); empty
  // when they may.
  std::string unsafe;
};

// Makes the folder `name` in the work folder and opens it ("mkdir -p"; `shown` is its path).
// An entry there that is no folder, or that another user owns or can write, is reported, is
// not used and makes the folder unsafe.
void MakeJobFolder(JobFolder* job, const std::string& name, const std::string& shown);

// Creates the symbolic link `name` in the job's folder pointing at `target` ("ln -s"). Without
// a job folder, reports why it could not be made as the failure of the link. A link that cannot
// be made makes the folder unsafe, as a folder that cannot be made does.
void LinkInJobFolder(JobFolder* job, const std::string& target, const char* name,
                     const std::string& shown);

// Removes the entry `name` of the folder `dir` and, for a folder, all it holds ("rm -rf"),
// through descriptors: each folder is opened from the one that holds it without following a
// link, so an entry that another user swaps for a link meanwhile is removed as the link it has
// become, never followed. `shown` names the entry in messages. A missing entry is no failure. On
// failure says so on stderr for the entry that could not be removed and returns false;
// everything else is still removed.
bool RemoveTreeAt(int dir, const std::string& name, const std::string& shown);

// Opens the folder of `path` (its last component stripped) for the *At steps below; the
// folder itself is the administrator's, so a link to it is followed. -1 when it cannot be.
ScopedFd OpenFolderOf(const std::string& path);

// Creates the entry `name` of the folder `dir` empty if it is missing, and sets the times of an
// existing file to now ("touch"), never through a link: the folder may be open to other users,
// and a link there could lead the root-owned new file anywhere. A link found there is reported
// (`shown` names the entry) and left alone.
void TouchAt(int dir, const std::string& name, const std::string& shown);

// The log of one job, opened once for appending (and created) for all its lines and tools.
// The tools' output reaches it through the worker (Take), up to `limit_mb` MiB per job.
class JobLog {
 public:
  JobLog(std::string path, int limit_mb);
  const std::string& path() const { return path_; }
  // Why it could not be opened; 0 when it is open.
  int open_error() const { return open_error_; }
  // Appends what the pipe `from` holds now, as far as the job's limit lets it; the rest is read
  // and counted. Returns 1 when it read some, 0 when there was nothing yet, and -1 at the pipe's
  // end (or on an error reading it).
  int Take(int from);
  // Appends `line` and "\n" ("echo >>"), after a line that says how many bytes of the tools'
  // output were left out since the last line, if any were. A log that could not be opened is
  // reported for each line, as each "echo >>" would report it.
  void AppendLine(const std::string& line);
  long long dropped_total() const { return dropped_total_; }

 private:
  std::string path_;
  ScopedFd fd_;
  int open_error_ = 0;
  int limit_mb_;
  long long left_;         // bytes of output the log may still take
  long long dropped_ = 0;  // since the last line
  long long dropped_total_ = 0;
};

// How a program the job ran ended.
struct ToolStatus {
  enum class End { kNotRun, kExited, kSignaled, kTimeLimit, kKilled };  // kKilled: plimctl kill
  End end = End::kNotRun;
  int value = 0;        // the exit status, or the signal number
  int start_error = 0;  // why it could not be started (an errno value); then it is kNotRun
};

// Where a program's output goes and what it starts with.
struct ProgramIo {
  int stdout_fd = -1;   // its stdout; -1 keeps the service's
  int stderr_fd = -1;   // its stderr; -1 keeps the service's
  mode_t umask = 022;   // its file-creation mask
  int nice = 19;        // its nice value
  bool idle_io = true;  // the idle I/O class; false: the worker's
  // The read end of a pipe the program writes into, emptied into `log` while it runs; -1: none.
  int pipe_fd = -1;
  JobLog* log = nullptr;
  ScopedFd* pipe_write_end = nullptr;  // closed once the program has started, when not null
};

// Runs the program argv[0] with `argv` in a session and process group of its own, with the
// environment `envp` (the service's own when null), the descriptors, mask and priorities of `io`
// (its nice value also for its session's share of the CPU; a priority the kernel refuses is left
// as it is), and no other descriptor of the service's. Waits for it, then kills what is left of
// its process group and every other child of the worker but its partner (the worker is a
// subreaper, so that takes in what left the group with setsid), so nothing it started outlives
// it. time_limit_seconds <= 0: no limit. Past the limit the whole process group gets SIGTERM, and
// 5 s later SIGKILL; the result is then kTimeLimit. A program that cannot be started or exec'd is
// reported on stderr (on its stderr for a failed exec) and is kNotRun with its start_error. The
// program is killed if the worker dies. kKillSignal that KillRequested confirms ends it the way
// the time limit does; the result is then kKilled.
ToolStatus RunProgram(const std::vector<std::string>& argv, char* const* envp, const ProgramIo& io,
                      int time_limit_seconds);

// What the tools and the hook start with, from the settings: their umask, nice value and I/O
// class; the descriptors are the service's.
ProgramIo ToolIo(const Settings& settings);

// Runs a tool of the job through RunProgram, as ToolIo and the time limit of `settings` say: its
// stdout, and its stderr too when `stderr_to_log` is set, go through a pipe into the log, within
// the log's limit; otherwise stderr stays the worker's. When the log could not be opened the tool
// is not run (kNotRun). Past the time limit (none when 0) the whole process group gets SIGTERM,
// and 5 s later SIGKILL; the result is then kTimeLimit.
ToolStatus RunTool(const std::vector<std::string>& argv, JobLog& log, bool stderr_to_log,
                   const Settings& settings);

// Forgets the descriptor RunProgram reads SIGCHLD through without closing it: for a process
// forked with another one's memory, whose descriptors were closed on the way.
void ForgetChildSignals();

// What RunProgram wakes up for besides its program.
struct WaitCheck {
  int fd = -1;          // a descriptor whose hang-up or error ends the wait early, or -1
  int timeout_ms = -1;  // when to call the check again at the latest, or -1
};

// Lets the worker look after its partner process while a program runs: the program's process
// group is published in `group` (when not null), so that the partner can kill it should the
// worker die; `check` (when not null) is called before every wait, with whether the descriptor
// it named last has hung up.
void WatchWhileWaiting(std::atomic<pid_t>* group, WaitCheck (*check)(bool hung_up));

}  // namespace plim

#endif  // PLIMD_JOBS_JOB_STEPS_H_
