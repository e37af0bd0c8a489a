#include "jobs/hook.h"

#include <gtest/gtest.h>

#include <utility>

namespace plim {
namespace {

// The jobs wait for the hook, so it never runs without a limit.
TEST(HookTest, AlwaysRunsUnderATimeLimit) {
  const std::pair<int, int> cases[] = {{0, 60}, {1, 1}, {3600, 3600}};  // tool's, hook's
  for (const auto& [tool_limit, hook_limit] : cases) {
    Settings settings;
    settings.tool_time_limit = tool_limit;
    EXPECT_EQ(HookTimeLimit(settings), hook_limit) << tool_limit;
  }
}

// The hook sees the job's facts and the worker's other variables, and none of the worker's own
// PLIMD_ variables: getenv finds the first of two entries of a name.
TEST(HookTest, EnvironmentHoldsTheFactsOnce) {
  const char* worker[] = {"PATH=/bin", "PLIMD_NAME=stale", "PLIMD_OTHER=x", "TZ=UTC", nullptr};
  HistoryRecord record;
  record.name = "News";
  record.seconds = 1.5;
  record.analysis = {ToolStatus::End::kExited, 0};
  record.mark = {ToolStatus::End::kExited, 2};
  const std::vector<std::string> expected = {"PATH=/bin",           "TZ=UTC",
                                             "PLIMD_NAME=News",     "PLIMD_OUTCOME=failed",
                                             "PLIMD_SECONDS=1.500", "PLIMD_ANALYSIS=exit 0",
                                             "PLIMD_MARK=exit 2"};
  EXPECT_EQ(HookEnvironment(const_cast<char* const*>(worker), record), expected);
}

}  // namespace
}  // namespace plim
