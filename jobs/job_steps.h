// The operations a job is made of, carried out directly rather than through a shell, so that
// no character of a name is ever taken as shell syntax. Each reports a failure on stderr, as
// the corresponding shell utility would, and returns; a failed step never stops the job.
#ifndef PLIMD_JOBS_JOB_STEPS_H_
#define PLIMD_JOBS_JOB_STEPS_H_

#include <string>
#include <vector>

#include "joblist/scoped_fd.h"

namespace plim {

// A job's own folder in the checked work folder, reached only through descriptors.
struct JobFolder {
  ScopedFd root;         // the work folder; invalid when it could not be made safe
  ScopedFd folder;       // the job's folder, once made and found to be the service's
  int folder_error = 0;  // why the job's folder could not be made or opened
  std::string unsafe;    // why the tools must not run; empty when they may
};

// Makes the folder `name` in the work folder and opens it ("mkdir -p"; `shown` is its path).
// An entry there that is no folder, or that another user owns or can write, is reported, is
// not used and makes the folder unsafe.
void MakeJobFolder(JobFolder* job, const std::string& name, const std::string& shown);

// Creates the symbolic link `name` in the job's folder pointing at `target` ("ln -s"). Without
// a job folder, reports why it could not be made as the failure of the link.
void LinkInJobFolder(const JobFolder& job, const std::string& target, const std::string& name,
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

// Runs the program argv[0] with `argv` and waits for it. Its stdout, and its stderr too when
// `stderr_to_log` is set, are appended to the log; otherwise stderr stays the worker's. The tool
// is killed if the worker dies first. When the log could not be opened the tool is not run.
void RunTool(const std::vector<std::string>& argv, const JobLog& log, bool stderr_to_log);

}  // namespace plim

#endif  // PLIMD_JOBS_JOB_STEPS_H_
