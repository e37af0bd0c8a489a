#include "jobs/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>
#include <utility>

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

// Records are read back whole and bad lines skipped. Each appended record names the run that
// wrote it, whatever the caller's record said, and says so where its start is plainly not a time:
// a clock before the build, as after a recorder's boot. A crash can leave half a record as the
// last line; the next record must start on a line of its own, or it would be lost with the half
// line, which no reader can parse.
TEST_F(HistoryTest, RoundTripSkipsBadLinesAndAppendEndsACutOne) {
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
  const std::vector<HistoryRecord> appended = ReadHistory(Path("history"));
  ASSERT_EQ(appended.size(), 2u);
  EXPECT_EQ(std::tuple(appended[0].clock_unset, appended[1].clock_unset, appended[1].run),
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

}  // namespace
}  // namespace plim
