// One job: the work folder of links, the analysis tool, the mark tool and their log record.
#ifndef PLIMD_JOBS_JOB_RUNNER_H_
#define PLIMD_JOBS_JOB_RUNNER_H_

#include <string>
#include <string_view>

#include "jobs/job_steps.h"
#include "jobs/settings.h"

namespace plim {

// The frame lines of a job's log record, which plimctl reads back; "%s" stands for the name.
inline constexpr char kRecordStart[] = ">>>>>>>> plim start %s";
inline constexpr char kAnalysisHeader[] = "*************** plim ***************";
inline constexpr char kMarkHeader[] = "*************** plim_mark ***************";
inline constexpr char kRecordStop[] = ">>>>>>>> plim stop %s";
// What both lines that frame a record begin with.
inline constexpr std::string_view kFramePrefix = ">>>>>>>> plim ";

// Puts `name` in place of every "%s" in `pattern`; "%s" inside `name` stays as it is.
std::string Fill(const char* pattern, const std::string& name);

// How the job's two tools ended; a tool that was not started stays kNotRun.
struct JobResult {
  ToolStatus analysis;
  ToolStatus mark;
  long long output_dropped = 0;  // bytes of the tools' output left out of the log
  // Why the job failed before its tools could do anything: its folder or a link could not be
  // made (or made safe), or a tool could not be started; empty otherwise.
  std::string error;
};

// Runs the job for the file-system name `name` in the work folder open as `work_root` (checked
// by OpenWorkRoot, jobs/work_dir): links the recording (and, when the configuration asks for it, a
// fresh empty index file beside it) into the job's folder, runs the analysis tool and then the mark
// tool with the framed record appended to the log, and removes the job's folder. Each tool runs
// under the settings' time limit, umask and priorities, and the log takes at most log_limit_mb MiB
// of their output. Sets the process's own file-creation mask to 0 for good. Every step runs
// whatever became of the ones before it; failures go to stderr. Where the job's folder or its links
// cannot be made (or made safe), the tools are not run (kNotRun), one line on stderr says why and
// so does the result's error; a tool that cannot be started sets it too. After an analysis that
// plimctl kill ended (kKilled), the mark tool is not run.
JobResult StartPlim(std::string name, const Settings& settings, int work_root);

}  // namespace plim

#endif  // PLIMD_JOBS_JOB_RUNNER_H_
