#include "jobs/hook.h"

#include <gtest/gtest.h>

namespace plim {
namespace {

// The jobs wait for the hook, so it never runs without a limit.
TEST(HookTest, AlwaysRunsUnderATimeLimit) {
  const struct {
    int tool_time_limit;
    int hook_limit;
  } cases[] = {{0, kHookTimeLimit}, {1, 1}, {3600, 3600}};
  for (const auto& c : cases) {
    Settings settings;
    settings.tool_time_limit = c.tool_time_limit;
    EXPECT_EQ(HookTimeLimit(settings), c.hook_limit) << c.tool_time_limit;
  }
  EXPECT_EQ(kHookTimeLimit, 60);
}

}  // namespace
}  // namespace plim
