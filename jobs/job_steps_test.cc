#include "jobs/job_steps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

using JobStepsTest = ScratchDirTest;

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
  EXPECT_TRUE(RemoveTreeAt(dir.get(), "tree", Path("tree")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("tree"))));
  EXPECT_EQ(ReadFile(Path("outside/folder/keep")), "k");
}

// A job folder found in place (made between the removal and the mkdir) is used only when no one
// but root can change it; a folder made anew is used as it is.
TEST_F(JobStepsTest, JobFolderFoundInPlaceIsUsedOnlyWhenItIsTheServicesOwn) {
  const struct {
    const char* name;
    mode_t mode;  // 0: the folder is not there before
    uid_t owner;
    bool used;
  } cases[] = {
      {"made", 0, 0, true},
      {"own", 0755, 0, true},
      {"open to others", 0777, 0, false},
      {"open to the group", 0775, 0, false},
      {"another user's", 0755, 65534, false},
  };
  if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  const ScopedFd dir(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  for (const auto& c : cases) {
    if (c.mode != 0) {
      ASSERT_EQ(mkdir(Path(c.name).c_str(), c.mode), 0);
      ASSERT_EQ(chmod(Path(c.name).c_str(), c.mode), 0);
      ASSERT_EQ(chown(Path(c.name).c_str(), c.owner, 0), 0);
    }
    JobFolder job;
    job.root = dir.get();
    MakeJobFolder(&job, c.name, Path(c.name));
    EXPECT_EQ(job.folder.valid(), c.used) << c.name;
    EXPECT_EQ(job.unsafe.empty(), c.used) << c.name << ": " << job.unsafe;
  }
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
    std::ofstream(Path("tool")) << "#!/bin/sh\n" << c.body;
    chmod(Path("tool").c_str(), 0755);
    const ToolStatus status = RunProgram({Path("tool")}, nullptr, ProgramIo(), c.time_limit);
    EXPECT_EQ(status.end, c.end) << c.body;
    EXPECT_EQ(status.value, c.value) << c.body;
    if (std::filesystem::exists(Path("child"))) {
      EXPECT_TRUE(Ended(std::stoi(ReadFile(Path("child"))))) << "a child outlived: " << c.body;
    }
  }
}

// The index file's folder may be open to producers, who could leave links where it goes. (The
// file made where none is: e2e links_config.)
TEST_F(JobStepsTest, TouchNeverFollowsALink) {
  namespace fs = std::filesystem;
  WriteFile(Path("outside"), "keep");
  ASSERT_EQ(symlink(Path("outside").c_str(), Path("to-file.idx").c_str()), 0);
  ASSERT_EQ(symlink(Path("made-outside").c_str(), Path("dangling.idx").c_str()), 0);
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
}

}  // namespace
}  // namespace plim
