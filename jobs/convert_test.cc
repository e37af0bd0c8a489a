#include "jobs/convert.h"

#include <gtest/gtest.h>

#include <string_view>

namespace plim {
namespace {

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
