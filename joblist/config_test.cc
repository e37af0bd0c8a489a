#include "joblist/config.h"

#include <gtest/gtest.h>

#include <tuple>

namespace plim {
namespace {

TEST(ConfigTest, ScansWordPortAndIndexFlag) {
  struct Case {
    std::string text;
    int port;
    int link_index;
    unsigned short port_number;  // the port bound and sent to
  };
  const Case cases[] = {
      {"word 4000 1", 4000, 1, 4000},
      {"word", 25252, 0, 25252},
      {"word abc 1", 25252, 0, 25252},
      {std::string(5000, 'w') + "\n4000\n1\n", 4000, 1, 4000},
      {"word 99999999999999999999 1", 2147483647, 1, 65535},
      // A port out of range is taken modulo 65,536, as the listener binds it and plimctl sends
      // to it.
      {"w 65535", 65535, 0, 65535},
      {"w 65536", 65536, 0, 0},
      {"w 90788", 65536 + 25252, 0, 25252},
      {"w -1", -1, 0, 65535},
  };
  for (const Case& c : cases) {
    FILE* in = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
    ASSERT_NE(in, nullptr);
    const Config config = ScanConfig(in);
    fclose(in);
    EXPECT_EQ(std::tuple(config.port, config.link_index, PortNumber(config)),
              std::tuple(c.port, c.link_index, c.port_number))
        << c.text.substr(0, 40);
  }
}

}  // namespace
}  // namespace plim
