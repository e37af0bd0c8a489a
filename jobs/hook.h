// The program an administrator has run after each job (`on_job_done`).
#ifndef PLIMD_JOBS_HOOK_H_
#define PLIMD_JOBS_HOOK_H_

#include <string>
#include <vector>

#include "jobs/history.h"
#include "jobs/settings.h"

namespace plim {

// The worker's environment `environ` with the job's facts put in: PLIMD_NAME (the raw name),
// PLIMD_OUTCOME, PLIMD_SECONDS ("1.234"), PLIMD_ANALYSIS and PLIMD_MARK ("exit 0", "signal 9",
// "time limit" or "not run"). Earlier variables of those names are left out.
std::vector<std::string> HookEnvironment(char* const* environ_in, const HistoryRecord& record);

// The hook's time limit when no tool_time_limit is set: the jobs wait for the hook, so a hook
// that hangs must not stall them for good.
inline constexpr int kHookTimeLimit = 60;

// The seconds the hook may run: the tools' limit, or kHookTimeLimit without one.
int HookTimeLimit(const Settings& settings);

// Runs `program` without arguments or shell, with that environment, its stdout and stderr on
// the worker's stderr, under HookTimeLimit and with the tools' umask and priorities, and waits for
// it. Its exit status is not looked at; failures to start it go to stderr.
void RunHook(const std::string& program, const HistoryRecord& record, const Settings& settings);

}  // namespace plim

#endif  // PLIMD_JOBS_HOOK_H_
