#include "jobs/convert.h"

#include <gtest/gtest.h>

#include "jobs/job_runner.h"

namespace plim {
namespace {

TEST(ConvertTest, ReplacesTheTenCharactersOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"News 20:15 / Part 2.", "News 20_15 _ Part 2_"},
      {"Some Title", "Some Title"},
      {"/.\\:*?<>|\"", "__________"},
      {"$(x) `y` -rf ;&!'", "$(x) `y` -rf ;&!'"},
      {"", ""},
  };
  for (const auto& [raw, converted] : cases) EXPECT_EQ(Convert(raw), converted) << raw;

  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
  const std::string converted = Convert(every_byte);
  EXPECT_EQ(converted.size(), every_byte.size());
  EXPECT_EQ(converted.find_first_of("/.\\:*?<>|\""), std::string::npos);
}

TEST(ConvertTest, ReplaceAlsoReplacesWhatItCreates) {
  std::string s = "aabb";
  replace(s, "ab", "");
  EXPECT_EQ(s, "");
  replace(s = "abc", "", "x");
  EXPECT_EQ(s, "abc");
}

TEST(JobRunnerTest, FillPutsTheNameInLiterally) {
  EXPECT_EQ(Fill("/tmp/plim/tmp/%s.rec/001.ts", "A %s B"), "/tmp/plim/tmp/A %s B.rec/001.ts");
  EXPECT_EQ(Fill("ln -s %s %s", "x"), "ln -s x x");
}

}  // namespace
}  // namespace plim
