#include "frame/pair.h"

#include <gtest/gtest.h>

namespace plim {
namespace {

// A partner that keeps ending is started again after 1 s, then 2, 4, ... up to a minute, so that
// a crash loop neither spins nor leaves the service dead for long.
TEST(RestartsTest, PauseDoublesUpToAMinute) {
  Restarts restarts;
  for (int expected : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
    EXPECT_LE(restarts.MsUntilAllowed(), expected);
    EXPECT_GT(restarts.MsUntilAllowed(), expected - 1000);
    restarts.Started();
  }
}

}  // namespace
}  // namespace plim
