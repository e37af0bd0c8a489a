#include "frame/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

class KeptLogTest : public ScratchDirTest {
 protected:
  std::string Kind(const std::string& path) const {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return "none";
    if (S_ISDIR(info.st_mode)) return "folder";
    return "file:" + ReadFile(path);
  }
};

// A start keeps one generation of the log; a folder at the kept name is left alone (links planted
// at either name: e2e kept_log). Without the log's folder (no disk yet) nothing is made.
TEST_F(KeptLogTest, KeepsOneGeneration) {
  const std::string log = Path("plim.log"), kept = Path("plim.log.1");
  struct Case {
    const char* what;
    std::function<void()> shape;
    std::string log_after;
    std::string kept_after;
  };
  const Case cases[] = {
      {"a log and an older one", [&] { WriteFile(log, "new"), WriteFile(kept, "old"); },
       "file:", "file:new"},
      {"no log yet", [&] { WriteFile(kept, "old"); }, "file:", "file:old"},
      {"a folder as the kept log", [&] { WriteFile(log, "new"), mkdir(kept.c_str(), 0755); },
       "file:", "folder"},
  };
  for (const Case& c : cases) {
    for (const std::string& path : {log, kept}) std::filesystem::remove_all(path);
    c.shape();
    StartNewLog(log);
    EXPECT_EQ(Kind(log), c.log_after) << c.what;
    EXPECT_EQ(Kind(kept), c.kept_after) << c.what;
  }
  StartNewLog(Path("missing/plim.log"));
  EXPECT_FALSE(std::filesystem::exists(Path("missing")));
}

}  // namespace
}  // namespace plim
