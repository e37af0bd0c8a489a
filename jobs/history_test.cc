#include "jobs/history.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>
#include <utility>

#include "jobs/convert.h"
#include "jobs/hook.h"
#include "jobs/settings.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

using HistoryTest = ScratchDirTest;

HistoryRecord Record(const std::string& name) {
  HistoryRecord record;
  record.name = name;
  record.start = "2026-12-07T02:10:00Z";
  record.seconds = 1.2344;
  record.analysis = {ToolStatus::End::kExited, 0};
  record.mark = {ToolStatus::End::kSignaled, 9};
  return record;
}

TEST_F(HistoryTest, RecordsRoundTripAndBadLinesAreSkipped) {
  HistoryRecord odd = Record("A \xff\"\\\x01 \xc3\xa9");
  odd.rerun = true;
  odd.mark = {ToolStatus::End::kTimeLimit, 0};
  odd.output_dropped = 5000000000;
  odd.error = "why \xff";
  const std::string line = FormatRecord(odd);
  EXPECT_EQ(FormatRecord(Record("Some Title")),
            "{\"name\":\"Some Title\",\"start\":\"2026-12-07T02:10:00Z\",\"seconds\":1.234,"
            "\"rerun\":false,\"analysis\":{\"end\":\"exit\",\"value\":0},"
            "\"mark\":{\"end\":\"signal\",\"value\":9},\"outcome\":\"failed\"}\n");
  WriteFile(Path("history"), FormatRecord(Record("first")) + "not json\n[1]\n{\"name\":2}\n" +
                                 line + "{\"name\":\"cut");
  const std::vector<HistoryRecord> records = ReadHistory(Path("history"));
  ASSERT_EQ(records.size(), 2u);
  // Every field is read back: the records written again are the lines they were read from.
  EXPECT_EQ(FormatRecord(records[0]), FormatRecord(Record("first")));
  EXPECT_EQ(FormatRecord(records[1]), line);
  EXPECT_EQ(records[1].name, "A \xef\xbf\xbd\"\\\x01 \xc3\xa9");
  EXPECT_EQ(records[1].error, "why \xef\xbf\xbd");
}

// Each appended record names the run that wrote it, whatever the caller's record said, and says
// so where its start is plainly not a time: a clock before the build, as after a recorder's boot.
// A crash can leave half a record as the last line; the next record must start on a line of its
// own, or it would be lost with the half line, which no reader can parse.
TEST_F(HistoryTest, AppendEndsACutLineAndNamesTheRunAndAnUnsetClock) {
  const std::string cut = FormatRecord(Record("cut")).substr(0, 20);
  WriteFile(Path("history"), cut);
  SetHistoryRun("0123456789abcdef-2a");
  HistoryRecord record = Record("N");
  record.run = "another";
  for (const char* start : {"2000-01-01T00:05:00Z", "2030-06-01T12:00:00Z"}) {
    record.start = start;
    ASSERT_TRUE(AppendHistory(Path("history"), record));
  }
  SetHistoryRun("");
  const std::vector<HistoryRecord> records = ReadHistory(Path("history"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(std::tuple(records[0].clock_unset, records[1].clock_unset, records[1].run),
            std::tuple(true, false, "0123456789abcdef-2a"));
  EXPECT_EQ(ReadFile(Path("history")).substr(0, cut.size() + 1), cut + "\n");
}

// The history is trimmed only once it is over the limit, and then to the newest records.
TEST_F(HistoryTest, TrimKeepsTheNewestRecordsOnlyWhenOverTheLimit) {
  std::string records[kHistoryMax + 1];
  for (int i = 0; i <= kHistoryMax; ++i) records[i] = FormatRecord(Record(std::to_string(i)));
  for (int lines : {kHistoryMax, kHistoryMax + 1}) {
    std::string text, kept;
    for (int i = 0; i < lines; ++i) (i < lines - kHistoryKeep ? text : kept) += records[i];
    WriteFile(Path("history"), text + kept);
    const bool over = lines > kHistoryMax;
    EXPECT_EQ(TrimHistory(Path("history")), over ? kHistoryKeep : lines);
    EXPECT_EQ(ReadFile(Path("history")), over ? kept : text + kept);
  }
}

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
      {"log_limit_mb = 2M\n", {"line 1: log_limit_mb must be whole MiB from 1 to 1024"}},
      {"tool_nice = 20\n", {"line 1: tool_nice must be from 0 to 19"}},
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

// The jobs wait for the hook, so it never runs without a limit.
TEST(HookTest, AlwaysRunsUnderATimeLimit) {
  Settings settings;
  EXPECT_EQ(HookTimeLimit(settings), 60);
  settings.tool_time_limit = 3600;
  EXPECT_EQ(HookTimeLimit(settings), 3600);
}

// The hook sees the job's facts and the worker's other variables, and none of the worker's own
// PLIMD_ variables: getenv finds the first of two entries of a name.
TEST(HookTest, EnvironmentHoldsTheFactsOnce) {
  const char* worker[] = {"PATH=/bin", "PLIMD_NAME=stale", "PLIMD_OTHER=x", "TZ=UTC", nullptr};
  const std::vector<std::string> expected = {"PATH=/bin",           "TZ=UTC",
                                             "PLIMD_NAME=News",     "PLIMD_OUTCOME=failed",
                                             "PLIMD_SECONDS=1.234", "PLIMD_ANALYSIS=exit 0",
                                             "PLIMD_MARK=signal 9"};
  EXPECT_EQ(HookEnvironment(const_cast<char* const*>(worker), Record("News")), expected);
}

TEST(ConvertTest, ReplacesTheTenCharactersOnly) {
  std::string every_byte, expected;
  for (int c = 0; c < 256; ++c) {
    every_byte += static_cast<char>(c);
    expected += c != 0 && strchr("/.\\:*?<>|\"", c) != nullptr ? '_' : static_cast<char>(c);
  }
  EXPECT_EQ(Convert(every_byte), expected);
}

}  // namespace
}  // namespace plim
