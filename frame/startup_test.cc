#include "frame/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

// A start keeps one generation of the log (the log kept and replaced, links planted: e2e
// kept_log); without a log the kept one stays, a folder at the kept name is left alone, and
// without the log's folder (no disk yet) nothing is made.
TEST_F(KeptLogTest, KeepsOneGeneration) {
  const std::string log = Path("plim.log"), kept = Path("plim.log.1");
  WriteFile(kept, "old");
  StartNewLog(log);
  EXPECT_EQ(Kind(log) + " " + Kind(kept), "file: file:old");
  std::filesystem::remove(kept);
  ASSERT_EQ(mkdir(kept.c_str(), 0755), 0);
  WriteFile(log, "new");
  StartNewLog(log);
  EXPECT_EQ(Kind(log) + " " + Kind(kept), "file: folder");
  StartNewLog(Path("missing/plim.log"));
  EXPECT_FALSE(std::filesystem::exists(Path("missing")));
}

}  // namespace
}  // namespace plim
