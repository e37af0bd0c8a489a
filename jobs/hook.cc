#include "jobs/hook.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <tuple>

#include "jobs/job_steps.h"

namespace plim {

std::vector<std::string> HookEnvironment(char* const* environ_in, const HistoryRecord& record) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f", record.seconds);
  const std::vector<std::string> facts = {
      "PLIMD_NAME=" + record.name,
      std::string("PLIMD_OUTCOME=") + Outcome(record),
      std::string("PLIMD_SECONDS=") + seconds,
      "PLIMD_ANALYSIS=" + Describe(record.analysis),
      "PLIMD_MARK=" + Describe(record.mark),
  };
  // None of the worker's own PLIMD_ variables reach the hook: a stale one ahead of the facts
  // is what getenv would find.
  std::vector<std::string> environment;
  for (char* const* variable = environ_in; *variable != nullptr; ++variable) {
    if (strncmp(*variable, "PLIMD_", 6) != 0) environment.emplace_back(*variable);
  }
  environment.insert(environment.end(), facts.begin(), facts.end());
  return environment;
}

int HookTimeLimit(const Settings& settings) {
  return settings.tool_time_limit > 0 ? settings.tool_time_limit : kHookTimeLimit;
}

void RunHook(const std::string& program, const HistoryRecord& record, const Settings& settings) {
  const std::vector<std::string> environment = HookEnvironment(environ, record);
  std::vector<char*> envp;
  for (const std::string& variable : environment)
    envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  ProgramIo io = ToolIo(settings);
  io.stdout_fd = STDERR_FILENO;
  io.stderr_fd = STDERR_FILENO;
  std::ignore = RunProgram({program}, envp.data(), io, HookTimeLimit(settings));
}

}  // namespace plim
