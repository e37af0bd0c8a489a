#include "jobs/convert.h"

#include <gtest/gtest.h>

#include <string_view>

namespace plim {
namespace {

TEST(ConvertTest, ReplacesTheTenCharactersOnly) {
  EXPECT_EQ(Convert("News 20:15 / Part 2."), "News 20_15 _ Part 2_");
  std::string every_byte, expected;
  for (int c = 0; c < 256; ++c) {
    every_byte += static_cast<char>(c);
    const bool replaced =
        std::string_view("/.\\:*?<>|\"").find(static_cast<char>(c)) != std::string_view::npos;
    expected += replaced ? '_' : static_cast<char>(c);
  }
  EXPECT_EQ(Convert(every_byte), expected);
}

}  // namespace
}  // namespace plim
