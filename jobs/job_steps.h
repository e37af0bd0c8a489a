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

namespace plim {

// A job's own folder in the checked work folder, reached only through descriptors.
struct JobFolder {
  int root = -1;         // the work folder (KeptWorkRoot's); -1 when it cannot be made safe
  ScopedFd folder;       // the job's folder, once made and found to be the service's
  int folder_error = 0;  // why the job's folder could not be made or opened
  std::string unsafe;    // why the tools must not run; empty when they may
  // The links made in it, which its removal tries by name before it reads the folder.
  const char* links[2] = {};
  int link_count = 0;
};

// Makes the folder `name` in the work folder and opens it ("mkdir -p"; `shown` is its path).
// An entry there that is no folder, or that another user owns or can write, is reported, is
// not used and makes the folder unsafe.
void MakeJobFolder(JobFolder* job, const std::string& name, const std::string& shown);

// Creates the symbolic link `name` in the job's folder pointing at `target` ("ln -s"). Without
// a job folder, reports why it could not be made as the failure of the link.
void LinkInJobFolder(JobFolder* job, const std::string& target, const char* name,
                     const std::string& shown);

// Creates `path` empty if it is missing, and sets its times to now ("touch").
void Touch(const std::string& path);

// The log of one job, opened once for appending (and created) for all its lines and tools.
class JobLog {
 public:
  explicit JobLog(std::string path);
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Why it could not be opened; 0 when it is open.
  int open_error() const { return open_error_; }

 private:
  std::string path_;
  ScopedFd fd_;
  int open_error_ = 0;
};

// Appends `line` and "\n" to the log ("echo >>"). A log that could not be opened is reported
// for each line, as each "echo >>" would report it.
void AppendLine(const JobLog& log, const std::string& line);

// How a program the job ran ended.
struct ToolStatus {
  enum class End { kNotRun, kExited, kSignaled, kTimeLimit };
  End end = End::kNotRun;
  int value = 0;  // the exit status, or the signal number
};

// Runs the program argv[0] with `argv` in a process group of its own, with the environment
// `envp` (the service's own when null), `stdout_fd` and `stderr_fd` as its stdout and stderr (-1
// keeps the service's), and no other descriptor of the service's. Waits for it, then kills what
// is left of its process group, so nothing it started outlives it. time_limit_seconds <= 0: no
// limit. Past the limit the whole process group gets SIGTERM, and 5 s later SIGKILL; the result
// is then kTimeLimit. A program that cannot be started or exec'd is reported on stderr (on its
// stderr for a failed exec, with exit status 127). The program is killed if the worker dies.
ToolStatus RunProgram(const std::vector<std::string>& argv, char* const* envp, int stdout_fd,
                      int stderr_fd, int time_limit_seconds);

// Runs a tool of the job through RunProgram: its stdout, and its stderr too when `stderr_to_log`
// is set, are appended to the log; otherwise stderr stays the worker's. When the log could not be
// opened the tool is not run (kNotRun). time_limit_seconds <= 0: no limit. Past the limit the
// whole process group gets SIGTERM, and 5 s later SIGKILL; the result is then kTimeLimit.
ToolStatus RunTool(const std::vector<std::string>& argv, const JobLog& log, bool stderr_to_log,
                   int time_limit_seconds);

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
