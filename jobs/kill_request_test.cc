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
  const std::string request = Path("plimd.kill"), target = Path("target");
  WriteFile(target, "keep");
  struct Case {
    const char* what;
    std::function<void()> shape;
    const char* asked;
    bool names;
    bool before_write = false;  // the shape is planted before the request is written
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
      {"a link planted before the write", [&] { symlink(target.c_str(), request.c_str()); }, "A b",
       true, true},
  };
  for (const Case& c : cases) {
    unlink(request.c_str());
    if (c.before_write) c.shape();
    ASSERT_TRUE(WriteKillRequest(request, "A b"));
    if (!c.before_write) c.shape();
    EXPECT_EQ(KillRequestNames(request, c.asked), c.names) << c.what;
  }
  EXPECT_EQ(ReadFile(target), "keep");
}

}  // namespace
}  // namespace plim
