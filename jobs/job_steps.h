// The operations a job is made of, carried out directly rather than through a shell, so that
// no character of a name is ever taken as shell syntax. Each reports a failure on stderr, as
// the corresponding shell utility would, and returns; a failed step never stops the job.
#ifndef PLIMD_JOBS_JOB_STEPS_H_
#define PLIMD_JOBS_JOB_STEPS_H_

#include <string>
#include <vector>

#include "joblist/scoped_fd.h"

namespace plim {

// Removes `path` and, for a folder, all it holds, without following links ("rm -rf").
// A missing path is no failure.
void RemoveTree(const std::string& path);

// Creates the folder `path` and its missing parents ("mkdir -p").
void MakeDirectories(const std::string& path);

// Creates `path` empty if it is missing, and sets its times to now ("touch").
void Touch(const std::string& path);

// Creates the symbolic link `link` pointing at `target` ("ln -s").
void MakeSymlink(const std::string& target, const std::string& link);

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

// Runs the program argv[0] with `argv` and waits for it. Its stdout, and its stderr too when
// `stderr_to_log` is set, are appended to the log; otherwise stderr stays the worker's. The tool
// is killed if the worker dies first. When the log could not be opened the tool is not run.
// With `time_limit_seconds` > 0, a tool still running after that long gets SIGTERM, and 5 s
// later SIGKILL, both sent to its process group.
ToolStatus RunTool(const std::vector<std::string>& argv, const JobLog& log, bool stderr_to_log,
                   int time_limit_seconds);  // <= 0: no limit

// Runs argv[0] as RunTool does, with the environment `envp` (null: the worker's) and its stdout
// and stderr on the given descriptors. On failure to start it, reports that on stderr and
// returns kNotRun; a program that cannot be executed exits with 127.
ToolStatus RunProgram(const std::vector<std::string>& argv, char* const* envp, int stdout_fd,
                      int stderr_fd, int time_limit_seconds);

}  // namespace plim

#endif  // PLIMD_JOBS_JOB_STEPS_H_
