#include "jobs/job_steps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

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
  EXPECT_EQ(ReadFile(Path("outside/folder/keep")), "k");
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
    const ToolStatus status = RunProgram({tool}, nullptr, ProgramIo(), c.time_limit);
    EXPECT_EQ(status.end, c.end) << c.body;
    EXPECT_EQ(status.value, c.value) << c.body;
    if (std::filesystem::exists(Path("child"))) {
      EXPECT_TRUE(Ended(std::stoi(ReadFile(Path("child"))))) << "a child outlived: " << c.body;
    }
  }
}

// The index file's folder may be open to producers, who could leave links where it goes.
TEST_F(JobStepsTest, TouchNeverFollowsALink) {
  namespace fs = std::filesystem;
  WriteFile(Path("outside"), "keep");
  ASSERT_EQ(symlink(Path("outside").c_str(), Path("to-file.idx").c_str()), 0);
  ASSERT_EQ(symlink(Path("made-outside").c_str(), Path("dangling.idx").c_str()), 0);
  WriteFile(Path("old.idx"), "");
  ASSERT_EQ(utimensat(AT_FDCWD, Path("old.idx").c_str(),
                      std::array<timespec, 2>{{{1, 0}, {1, 0}}}.data(), 0),
            0);
  const ScopedFd dir = OpenFolderOf(Path("x"));
  ASSERT_TRUE(dir.valid());
  for (const char* link : {"to-file.idx", "dangling.idx"}) {
    testing::internal::CaptureStderr();
    TouchAt(dir.get(), link, Path(link));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "plimd: not touching " + Path(link) + ": it is a symbolic link; left alone\n");
    EXPECT_TRUE(fs::is_symlink(Path(link))) << link;
  }
  EXPECT_EQ(ReadFile(Path("outside")), "keep");
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("made-outside"))));
  TouchAt(dir.get(), "new.idx", Path("new.idx"));
  TouchAt(dir.get(), "old.idx", Path("old.idx"));
  struct stat st;
  ASSERT_EQ(lstat(Path("new.idx").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size == 0);
  ASSERT_EQ(stat(Path("old.idx").c_str(), &st), 0);
  EXPECT_GT(st.st_mtim.tv_sec, 1);
}

}  // namespace
}  // namespace plim
