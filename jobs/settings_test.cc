#include "jobs/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

// Every field of the settings, for comparing them whole.
auto Fields(const Settings& s) {
  return std::tie(s.tool_time_limit, s.on_job_done, s.tool_umask, s.log_limit_mb, s.tool_nice,
                  s.tool_io_idle);
}

TEST(SettingsTest, ParsesKeysValuesAndComments) {
  struct Case {
    std::string text;
    std::vector<std::string> problems;
    // tool_time_limit, on_job_done, tool_umask, log_limit_mb, tool_nice, tool_io_idle
    Settings settings = {};
  } const cases[] = {
      {"# comment\n\n  \t tool_time_limit\t=\t5   # five seconds\r\n"
       "on_job_done = /usr/local/bin/done hook\ntool_time_limit=2147483\n"
       "tool_nice = 0\ntool_io_class = best-effort\n",
       {},
       {2147483, "/usr/local/bin/done hook", 022, 16, 0, false}},
      {"tool_time_limit = 0\ntool_time_limit = 2147484\n",
       {"line 1: tool_time_limit must be whole seconds from 1 to 2147483",
        "line 2: tool_time_limit must be whole seconds from 1 to 2147483"}},
      {"on_job_done = hook\ntool_time_limit = 9\n",
       {"line 1: on_job_done must be an absolute path"},
       {9, ""}},
      {"\n\ntool_time_limit 4\n", {"line 3: not \"key = value\""}},
      {"colour = red\non_job_done = /h\n", {"line 1: unknown key \"colour\""}, {0, "/h"}},
      {"tool_umask = 777\nlog_limit_mb = 1024\ntool_io_class = idle\n", {}, {0, "", 0777, 1024}},
      {"tool_umask = 0800\n", {"line 1: tool_umask must be octal from 0000 to 0777"}},
      {"tool_io_class = Idle\n", {"line 1: tool_io_class must be \"idle\" or \"best-effort\""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> problems;
    const Settings settings = ParseSettings(c.text, &problems);
    EXPECT_EQ(Fields(settings), Fields(c.settings)) << c.text;
    EXPECT_EQ(problems, c.problems) << c.text;
  }
}

class SettingsFileTest : public ScratchDirTest {};

// The hook runs as root, so only a file that root alone can change may name it.
TEST_F(SettingsFileTest, OnlyARootOwnedFileNoOneElseCanWriteIsRead) {
  if (geteuid() != 0) GTEST_SKIP() << "the owner check needs root";
  // The file's name, mode and owner, and whether it is read.
  const std::tuple<const char*, mode_t, uid_t, bool> cases[] = {
      {"own", 0644, 0, true},
      {"group", 0664, 0, false},
      {"others", 0646, 0, false},
      {"another user's", 0644, 65534, false}};
  for (const auto& [name, mode, owner, read] : cases) {
    WriteFile(Path(name), "tool_time_limit = 7\n");
    ASSERT_EQ(chmod(Path(name).c_str(), mode), 0);
    ASSERT_EQ(chown(Path(name).c_str(), owner, 0), 0);
    EXPECT_EQ(ReadSettings(Path(name)).tool_time_limit, read ? 7 : 0) << name;
  }
  ASSERT_EQ(symlink(Path("own").c_str(), Path("link").c_str()), 0);
  EXPECT_EQ(ReadSettings(Path("link")).tool_time_limit, 0);
}

}  // namespace
}  // namespace plim
