#include "joblist/config.h"

#include <gtest/gtest.h>

namespace plim {
namespace {

TEST(ConfigTest, ScansWordPortAndIndexFlag) {
  struct Case {
    std::string text;
    int port;
    int link_index;
  };
  const Case cases[] = {
      {"word 4000 1", 4000, 1},
      {"word", 25252, 0},
      {"word abc 1", 25252, 0},
      {"word 4000x 1", 4000, 0},
      {"", 25252, 0},
      {std::string(5000, 'w') + "\n4000\n1\n", 4000, 1},
      {"word\t-7 +2", -7, 2},
      {"word 99999999999999999999 1", 2147483647, 1},
      {std::string("w\0rd 4000 1", 11), 4000, 1},
  };
  for (const Case& c : cases) {
    FILE* in = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
    ASSERT_NE(in, nullptr);
    const Config config = ScanConfig(in);
    fclose(in);
    EXPECT_EQ(config.port, c.port) << c.text.substr(0, 40);
    EXPECT_EQ(config.link_index, c.link_index) << c.text.substr(0, 40);
  }
}

// A port out of range is taken modulo 65,536, as the listener binds it and plimctl sends to it.
TEST(ConfigTest, PortNumberWrapsAround) {
  const int cases[][2] = {{25252, 25252},         {65535, 65535}, {65536, 0},
                          {65536 + 25252, 25252}, {-1, 65535},    {2147483647, 65535}};
  for (const auto& c : cases) {
    Config config;
    config.port = c[0];
    EXPECT_EQ(PortNumber(config), c[1]) << c[0];
  }
}

}  // namespace
}  // namespace plim
