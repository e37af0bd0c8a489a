#include "jobs/job_steps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "jobs/remove_tree.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

class JobStepsTest : public ScratchDirTest {
 protected:
  // Writes an executable shell script `name` with `body`.
  std::string Tool(const char* name, const std::string& body) const {
    std::ofstream(Path(name)) << "#!/bin/sh\n" << body;
    chmod(Path(name).c_str(), 0755);
    return Path(name);
  }
  std::string ReadBack(const char* name) const { return ReadFile(Path(name)); }
};

TEST_F(JobStepsTest, RemovalTakesLinksAwayAndNeverWhatTheyPointAt) {
  namespace fs = std::filesystem;
  fs::create_directories(Path("outside/folder"));
  WriteFile(Path("outside/folder/keep"), "k");
  fs::create_directories(Path("tree/a/b"));
  WriteFile(Path("tree/a/b/file"), "f");
  fs::create_directory_symlink(Path("outside/folder"), Path("tree/a/link"));
  fs::create_symlink(Path("outside/folder/keep"), Path("tree/file-link"));
  chmod(Path("tree/a/b").c_str(), 0);  // a root-only tree is removed all the same
  const ScopedFd dir(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  testing::internal::CaptureStderr();
  EXPECT_TRUE(RemoveTreeAt(dir.get(), "tree", Path("tree")));
  EXPECT_TRUE(RemoveTreeAt(dir.get(), "missing", Path("missing")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("tree"))));
  EXPECT_EQ(ReadBack("outside/folder/keep"), "k");
}

// The process is gone or only a zombie no one has reaped yet, within ten seconds: a SIGKILL
// takes effect when the process next runs.
bool Ended(pid_t pid) {
  for (int tries = 0; tries < 1000; ++tries) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat(std::istreambuf_iterator<char>(in), {});
    if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

TEST_F(JobStepsTest, ProgramEndsWithWhatItStartedAndSaysHow) {
  using End = ToolStatus::End;
  struct Case {
    std::string body;
    int time_limit;
    End end;
    int value;
  };
  const Case cases[] = {
      {"exit 3\n", 0, End::kExited, 3},
      {"kill -9 $$\n", 0, End::kSignaled, 9},
      {"sleep 30 & echo $! >" + Path("child") + "\n", 0, End::kExited, 0},
      {"sleep 30 & echo $! >" + Path("child") + "\nwait\n", 1, End::kTimeLimit, 0},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(Path("child"));
    const std::string tool = Tool("tool", c.body);
    const ToolStatus status = RunProgram({tool}, nullptr, -1, -1, c.time_limit);
    EXPECT_EQ(status.end, c.end) << c.body;
    EXPECT_EQ(status.value, c.value) << c.body;
    if (std::filesystem::exists(Path("child"))) {
      EXPECT_TRUE(Ended(std::stoi(ReadBack("child")))) << "a child outlived: " << c.body;
    }
  }
}

}  // namespace
}  // namespace plim
