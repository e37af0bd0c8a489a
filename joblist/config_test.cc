#include "joblist/config.h"

#include <gtest/gtest.h>

#include <tuple>

namespace plim {
namespace {

TEST(ConfigTest, ScansWordPortAndIndexFlag) {
  // The text, the port and index flag read, and the port bound and sent to.
  const std::tuple<std::string, int, int, unsigned short> cases[] = {
      {"word 4000 1", 4000, 1, 4000},
      {"word", 25252, 0, 25252},
      {std::string(5000, 'w') + "\n4000\n1\n", 4000, 1, 4000},
      {"word 99999999999999999999 1", 2147483647, 1, 65535},
      // A port out of range is taken modulo 65,536, as the listener binds it and plimctl sends
      // to it.
      {"w 65536", 65536, 0, 0},
      {"w 90788", 65536 + 25252, 0, 25252},
      {"w -1", -1, 0, 65535},
  };
  for (const auto& [text, port, link_index, port_number] : cases) {
    FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    const Config config = ScanConfig(in);
    fclose(in);
    EXPECT_EQ(std::tuple(config.port, config.link_index, PortNumber(config)),
              std::tuple(port, link_index, port_number))
        << text.substr(0, 40);
  }
}

}  // namespace
}  // namespace plim
