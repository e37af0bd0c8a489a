#include "jobs/settings.h"

#include <gtest/gtest.h>

namespace plim {
namespace {

TEST(SettingsTest, ParsesKeysValuesAndComments) {
  struct Case {
    std::string text;
    int tool_time_limit;
    std::string on_job_done;
    std::vector<std::string> problems;
  };
  const std::string range = "line 1: tool_time_limit must be whole seconds from 1 to 2147483";
  const std::string absolute = "line 1: on_job_done must be an absolute path";
  const Case cases[] = {
      {"# comment\n\n  \t tool_time_limit\t=\t5   # five seconds\r\n"
       "on_job_done = /usr/local/bin/done hook\ntool_time_limit=2147483\n",
       2147483,
       "/usr/local/bin/done hook",
       {}},
      {"tool_time_limit = 0\n", 0, "", {range}},
      {"tool_time_limit = 2147484\n", 0, "", {range}},
      {"tool_time_limit = 1.5\n", 0, "", {range}},
      {"on_job_done = hook\ntool_time_limit = 9\n", 9, "", {absolute}},
      {"colour = red\non_job_done = /h\n", 0, "/h", {"line 1: unknown key \"colour\""}},
      {"\n\ntool_time_limit 4\n", 0, "", {"line 3: not \"key = value\""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> problems;
    const Settings settings = ParseSettings(c.text, &problems);
    EXPECT_EQ(settings.tool_time_limit, c.tool_time_limit) << c.text;
    EXPECT_EQ(settings.on_job_done, c.on_job_done) << c.text;
    EXPECT_EQ(problems, c.problems) << c.text;
  }
}

}  // namespace
}  // namespace plim
