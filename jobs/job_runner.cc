#include "jobs/job_runner.h"

#include <string.h>
#include <sys/stat.h>

#include "frame/config.h"
#include "joblist/paths.h"
#include "jobs/job_steps.h"

namespace plim {

namespace {

enum class Action { kRemove, kMakeDirectories, kTouch, kLink, kLog, kAnalyse, kMark };

struct Step {
  Action action;
  bool index_only;  // taken only when the configuration links the index file
  const char* first;
  const char* second;
};

// The whole job, in order.
constexpr Step kSteps[] = {
    {Action::kRemove, false, kIndexPath, nullptr},
    {Action::kRemove, false, kWorkDir, nullptr},
    {Action::kMakeDirectories, false, kWorkDir, nullptr},
    {Action::kTouch, true, kIndexPath, nullptr},
    {Action::kLink, true, kIndexPath, kIndexLink},
    {Action::kLink, false, kStreamPath, kStreamLink},
    {Action::kLog, false, ">>>>>>>> plim start %s", nullptr},
    {Action::kLog, false, "*************** plim ***************", nullptr},
    {Action::kAnalyse, false, kAnalysisTool, kWorkDir},
    {Action::kLog, false, "*************** plim_mark ***************", nullptr},
    {Action::kMark, false, kMarkTool, nullptr},
    {Action::kLog, false, ">>>>>>>> plim stop %s", nullptr},
    {Action::kRemove, false, kWorkDir, nullptr},
};

void Perform(const Step& step, const std::string& name, const JobLog& log, int time_limit,
             JobResult* result) {
  const std::string first = Fill(step.first, name);
  switch (step.action) {
    case Action::kRemove:
      return RemoveTree(first);
    case Action::kMakeDirectories:
      return MakeDirectories(first);
    case Action::kTouch:
      return Touch(first);
    case Action::kLink:
      return MakeSymlink(first, Fill(step.second, name));
    case Action::kLog:
      return AppendLine(log, first);
    case Action::kAnalyse:
      result->analysis = RunTool({first, "-", Fill(step.second, name)}, log,
                                 /*stderr_to_log=*/true, time_limit);
      return;
    case Action::kMark:
      result->mark = RunTool({first, name}, log, /*stderr_to_log=*/false, time_limit);
      return;
  }
}

}  // namespace

std::string Fill(const char* pattern, const std::string& name) {
  std::string filled;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      filled += name;
      ++p;
    } else {
      filled += *p;
    }
  }
  return filled;
}

JobResult StartPlim(std::string name, int tool_time_limit) {
  const Config config = ReadConfig(Conf);
  // Files made by a job are meant for the tools and for other users of the recorder alike.
  umask(0);
  // One open for the job's four lines and two tools instead of one for each.
  const JobLog log(Log);
  JobResult result;
  for (const Step& step : kSteps) {
    if (step.index_only && config.link_index == 0) continue;
    Perform(step, name, log, tool_time_limit, &result);
  }
  return result;
}

}  // namespace plim
