#include "jobs/job_runner.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <utility>

#include "joblist/config.h"
#include "joblist/paths.h"
#include "jobs/job_steps.h"
#include "jobs/work_dir.h"

namespace plim {

namespace {

// The actions on the job's folder work through descriptors from the checked work folder.
enum class Action { kRemove, kRemoveFolder, kMakeFolder, kTouch, kLink, kLog, kAnalyse, kMark };

struct Step {
  Action action;
  bool index_only;  // taken only when the configuration links the index file
  const char* first;
  const char* second;
};

// The whole job, in order.
constexpr Step kSteps[] = {
    {Action::kRemove, false, kIndexPath, nullptr},
    {Action::kRemoveFolder, false, kWorkDirName, nullptr},
    {Action::kMakeFolder, false, kWorkDirName, nullptr},
    {Action::kTouch, true, kIndexPath, nullptr},
    {Action::kLink, true, kIndexPath, kIndexLinkName},
    {Action::kLink, false, kStreamPath, kStreamLinkName},
    {Action::kLog, false, kRecordStart, nullptr},
    {Action::kLog, false, kAnalysisHeader, nullptr},
    {Action::kAnalyse, false, kAnalysisTool, kWorkDir},
    {Action::kLog, false, kMarkHeader, nullptr},
    {Action::kMark, false, kMarkTool, nullptr},
    {Action::kLog, false, kRecordStop, nullptr},
    {Action::kRemoveFolder, false, kWorkDirName, nullptr},
};

// What one job carries from step to step.
struct Job {
  const std::string& name;
  JobLog& log;
  const Settings& settings;
  JobFolder folder;
  ScopedFd index_folder;  // the folder of the index file, opened for its first step
  JobResult result;
};

// The index file lies in a folder that producers may write to, so it is only ever reached
// through the folder's descriptor and never through a link.
int IndexFolder(Job* job, const std::string& index) {
  if (!job->index_folder.valid()) job->index_folder = OpenFolderOf(index);
  return job->index_folder.get();
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Tools running as root in a folder another user can change could be turned against the
// machine, and in a folder without its links they would work on nothing: the job then fails
// with the reason as its error, its tools recorded as not run.
bool MayRunTools(Job* job) {
  if (job->folder.unsafe.empty()) return true;
  if (job->result.error.empty()) {
    fprintf(stderr, "plimd: the tools of %s are not run: %s\n", job->name.c_str(),
            job->folder.unsafe.c_str());
    job->result.error = job->folder.unsafe;
  }
  return false;
}

// Runs the tool argv[0] of the job, where it may run, into `status`. The first tool that could
// not be started gives the job its error.
void RunJobTool(Job* job, ToolStatus* status, const std::vector<std::string>& argv,
                bool stderr_to_log) {
  if (!MayRunTools(job)) return;
  *status = RunTool(argv, job->log, stderr_to_log, job->settings);
  if (status->start_error != 0 && job->result.error.empty())
    job->result.error = "cannot run " + argv[0] + ": " + strerror(status->start_error);
}

void Perform(const Step& step, Job* job) {
  const std::string& name = job->name;
  const std::string first = Fill(step.first, name);
  switch (step.action) {
    case Action::kRemove:
      // A missing folder leaves nothing to remove; unlinkat takes a link away as a link.
      if (IndexFolder(job, first) < 0) return;
      RemoveTreeAt(job->index_folder.get(), BaseName(first), first);
      return;
    case Action::kRemoveFolder:
      if (job->folder.root < 0) return;
      RemoveTreeAt(job->folder.root, first, Fill(kWorkDir, name));
      return;
    case Action::kMakeFolder:
      return MakeJobFolder(&job->folder, first, Fill(kWorkDir, name));
    case Action::kTouch:
      return TouchAt(IndexFolder(job, first), BaseName(first), first);
    case Action::kLink:
      return LinkInJobFolder(&job->folder, first, step.second,
                             Fill(kWorkDir, name) + "/" + step.second);
    case Action::kLog:
      return job->log.AppendLine(first);
    case Action::kAnalyse:
      return RunJobTool(job, &job->result.analysis, {first, "-", Fill(step.second, name)},
                        /*stderr_to_log=*/true);
    case Action::kMark:
      // The operator ended the job, not only its analysis.
      if (job->result.analysis.end == ToolStatus::End::kKilled) return;
      return RunJobTool(job, &job->result.mark, {first, name}, /*stderr_to_log=*/false);
  }
}

}  // namespace

std::string Fill(const char* pattern, const std::string& name) {
  std::string filled;
  filled.reserve(strlen(pattern) + name.size());
  for (const char* p = pattern;;) {
    const char* mark = strstr(p, "%s");
    if (mark == nullptr) return filled.append(p);
    filled.append(p, mark).append(name);
    p = mark + 2;
  }
}

JobResult StartPlim(std::string name, const Settings& settings, int work_root) {
  const Config config = ReadConfig(Conf);
  // Files made by a job are meant for the tools and for other users of the recorder alike.
  umask(0);
  // One open for the job's four lines and two tools instead of one for each.
  JobLog log(Log, settings.log_limit_mb);
  Job job{name, log, settings, JobFolder(), ScopedFd(), JobResult()};
  job.folder.root = work_root;
  for (const Step& step : kSteps) {
    if (step.index_only && config.link_index == 0) continue;
    Perform(step, &job);
  }
  job.result.output_dropped = log.dropped_total();
  return job.result;
}

}  // namespace plim
