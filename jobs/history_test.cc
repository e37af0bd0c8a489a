#include "jobs/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

class HistoryTest : public ScratchDirTest {
 protected:
  static HistoryRecord Record(const std::string& name) {
    HistoryRecord record;
    record.name = name;
    record.start = "2026-12-07T02:10:00Z";
    record.seconds = 1.2344;
    record.analysis = {ToolStatus::End::kExited, 0};
    record.mark = {ToolStatus::End::kSignaled, 9};
    return record;
  }
  static std::string Records(int first, int count) {
    std::string text;
    for (int i = first; i < first + count; ++i) text += FormatRecord(Record(std::to_string(i)));
    return text;
  }
};

TEST_F(HistoryTest, RecordsRoundTripAndBadLinesAreSkipped) {
  HistoryRecord odd = Record("A \xff\"\\\x01 \xc3\xa9");
  odd.rerun = true;
  odd.mark = {ToolStatus::End::kTimeLimit, 0};
  const std::string line = FormatRecord(odd);
  EXPECT_EQ(FormatRecord(Record("Some Title")),
            "{\"name\":\"Some Title\",\"start\":\"2026-12-07T02:10:00Z\",\"seconds\":1.234,"
            "\"rerun\":false,\"analysis\":{\"end\":\"exit\",\"value\":0},"
            "\"mark\":{\"end\":\"signal\",\"value\":9},\"outcome\":\"failed\"}\n");
  WriteFile(Path("history"), FormatRecord(Record("first")) + "not json\n[1]\n{\"name\":2}\n" +
                                 line + "{\"name\":\"cut");
  const std::vector<HistoryRecord> records = ReadHistory(Path("history"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].name, "first");
  EXPECT_EQ(records[1].name, "A \xef\xbf\xbd\"\\\x01 \xc3\xa9");
  EXPECT_TRUE(records[1].rerun);
  EXPECT_EQ(records[1].mark.end, ToolStatus::End::kTimeLimit);
  EXPECT_STREQ(Outcome(records[1]), "time limit");
  EXPECT_EQ(records[1].seconds, 1.234);
}

TEST_F(HistoryTest, TrimKeepsTheNewestRecordsOnlyWhenOverTheLimit) {
  struct Case {
    std::string text;
    int lines_after;
    std::string expected;  // empty: the file is left as it was
  };
  const Case cases[] = {
      {Records(0, kHistoryMax), kHistoryMax, ""},
      {Records(0, kHistoryMax + 1), kHistoryKeep,
       Records(kHistoryMax + 1 - kHistoryKeep, kHistoryKeep)},
      {Records(0, kHistoryKeep) + std::string(kHistoryMax, '\n'), kHistoryKeep,
       Records(0, kHistoryKeep)},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    WriteFile(Path("history"), c.text);
    struct stat before, after;
    stat(Path("history").c_str(), &before);
    EXPECT_EQ(TrimHistory(Path("history")), c.lines_after);
    stat(Path("history").c_str(), &after);
    EXPECT_EQ(ReadFile(Path("history")), c.expected.empty() ? c.text : c.expected);
    EXPECT_EQ(after.st_ino == before.st_ino, c.expected.empty());
  }
  EXPECT_EQ(TrimHistory(Path("absent")), 0);
}

}  // namespace
}  // namespace plim
