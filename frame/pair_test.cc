#include "frame/pair.h"

#include <gtest/gtest.h>

namespace plim {
namespace {

// The pause after each failure doubles up to its cap, and a success starts it over; until a
// failure nothing is due, so an idle worker arms no timer.
TEST(BackoffTest, DoublesToItsCapAndStartsOverAfterASuccess) {
  Backoff backoff(10000, 30000);
  EXPECT_EQ(backoff.MsUntilDue(), -1);
  for (int expected : {10000, 20000, 30000, 30000}) {
    backoff.Failed();
    EXPECT_LE(backoff.MsUntilDue(), expected);
    EXPECT_GT(backoff.MsUntilDue(), expected - 1000);
  }
  backoff.Succeeded();
  EXPECT_EQ(backoff.MsUntilDue(), -1);
  backoff.Failed();
  EXPECT_GT(backoff.MsUntilDue(), 9000);
  EXPECT_LE(backoff.MsUntilDue(), 10000);
}

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
