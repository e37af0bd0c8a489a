#include "jobs/kill_request.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

using KillRequestTest = ScratchDirTest;

// The worker honours only a whole name in a file that no other user could have made or changed,
// and the request is written as such a file whatever was planted at its name.
TEST_F(KillRequestTest, NamesOnlyTheWholeNameInAFileOfTheCallersOwn) {
  const std::string request = Path("plimd.kill");
  WriteFile(Path("target"), "keep");
  ASSERT_EQ(symlink(Path("target").c_str(), request.c_str()), 0);
  ASSERT_TRUE(WriteKillRequest(request, "A b"));
  EXPECT_EQ(ReadFile(Path("target")), "keep");
  EXPECT_TRUE(KillRequestNames(request, "A b"));
  EXPECT_FALSE(KillRequestNames(request, "A"));
  EXPECT_FALSE(KillRequestNames(request, "A b c"));
  ASSERT_EQ(chmod(request.c_str(), 0622), 0);
  EXPECT_FALSE(KillRequestNames(request, "A b")) << "writable by others";
  ASSERT_EQ(chmod(request.c_str(), 0600), 0);
  ASSERT_EQ(rename(request.c_str(), Path("elsewhere").c_str()), 0);
  EXPECT_FALSE(KillRequestNames(request, "A b")) << "no request";
  ASSERT_EQ(symlink(Path("elsewhere").c_str(), request.c_str()), 0);
  EXPECT_FALSE(KillRequestNames(request, "A b")) << "a link to a request";
}

}  // namespace
}  // namespace plim
