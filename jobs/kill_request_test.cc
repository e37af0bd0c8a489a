#include "jobs/kill_request.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

class KillRequestTest : public ScratchDirTest {};

// The worker honours only a whole name in a file that no other user could have made or changed,
// and the request is written as such a file whatever was planted at its name.
TEST_F(KillRequestTest, NamesOnlyTheWholeNameInAFileOfTheCallersOwn) {
  const std::string request = Path("plimd.kill");
  struct Case {
    const char* what;
    std::function<void()> shape;
    const char* asked;
    bool names;
  };
  const Case cases[] = {
      {"the name", [] {}, "A b", true},
      {"another name", [] {}, "A", false},
      {"a longer name", [] {}, "A b c", false},
      {"no request", [&] { unlink(request.c_str()); }, "A b", false},
      {"writable by others", [&] { chmod(request.c_str(), 0622); }, "A b", false},
      {"a link to a request",
       [&] {
         rename(request.c_str(), Path("elsewhere").c_str());
         symlink(Path("elsewhere").c_str(), request.c_str());
       },
       "A b", false},
  };
  for (const Case& c : cases) {
    unlink(request.c_str());
    ASSERT_TRUE(WriteKillRequest(request, "A b"));
    c.shape();
    EXPECT_EQ(KillRequestNames(request, c.asked), c.names) << c.what;
  }
  // The write replaces a planted link without writing through it.
  unlink(request.c_str());
  const std::string target = Path("target");
  WriteFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), request.c_str()), 0);
  ASSERT_TRUE(WriteKillRequest(request, "N"));
  EXPECT_EQ(ReadFile(target), "keep");
  struct stat info;
  ASSERT_EQ(lstat(request.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_TRUE(KillRequestNames(request, "N"));
}

}  // namespace
}  // namespace plim
