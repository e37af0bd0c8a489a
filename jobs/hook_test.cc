#include "jobs/hook.h"

#include <gtest/gtest.h>

#include <utility>

namespace plim {
namespace {

// The jobs wait for the hook, so it never runs without a limit. It sees the job's facts and
// the worker's other variables, and none of the worker's own PLIMD_ variables: getenv finds the
// first of two entries of a name.
TEST(HookTest, RunsUnderATimeLimitWithTheFactsOnce) {
  Settings settings;
  EXPECT_EQ(HookTimeLimit(settings), 60);
  settings.tool_time_limit = 3600;
  EXPECT_EQ(HookTimeLimit(settings), 3600);
  const char* worker[] = {"PATH=/bin", "PLIMD_NAME=stale", "PLIMD_OTHER=x", "TZ=UTC", nullptr};
  const std::vector<std::string> expected = {"PATH=/bin",           "TZ=UTC",
                                             "PLIMD_NAME=News",     "PLIMD_OUTCOME=failed",
                                             "PLIMD_SECONDS=1.234", "PLIMD_ANALYSIS=exit 0",
                                             "PLIMD_MARK=signal 9"};
  HistoryRecord record;
  record.name = "News";
  record.seconds = 1.2344;
  record.analysis = {ToolStatus::End::kExited, 0};
  record.mark = {ToolStatus::End::kSignaled, 9};
  EXPECT_EQ(HookEnvironment(const_cast<char* const*>(worker), record), expected);
}

}  // namespace
}  // namespace plim
