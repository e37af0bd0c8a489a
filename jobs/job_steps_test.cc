#include "jobs/job_steps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

using JobStepsTest = ScratchDirTest;

// A job folder found in place (made between the removal and the mkdir) is used only when no one
// but root can change it; a folder made anew is used as it is.
TEST_F(JobStepsTest, JobFolderFoundInPlaceIsUsedOnlyWhenItIsTheServicesOwn) {
  // The folder's name, mode (0: not there before), owner, and whether it is used.
  const std::tuple<const char*, mode_t, uid_t, bool> cases[] = {
      {"made", 0, 0, true},
      {"own", 0755, 0, true},
      {"others", 0777, 0, false},
      {"group", 0775, 0, false},
      {"another user's", 0755, 65534, false}};
  if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  const ScopedFd dir(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  for (const auto& [name, mode, owner, used] : cases) {
    if (mode != 0) {
      ASSERT_EQ(mkdir(Path(name).c_str(), mode), 0);
      ASSERT_EQ(chmod(Path(name).c_str(), mode), 0);
      ASSERT_EQ(chown(Path(name).c_str(), owner, 0), 0);
    }
    JobFolder job;
    job.root = dir.get();
    MakeJobFolder(&job, name, Path(name));
    EXPECT_EQ(job.folder.valid(), used) << name;
    EXPECT_EQ(job.unsafe.empty(), used) << name << ": " << job.unsafe;
  }
}

// The process is gone or only a zombie no one has reaped yet, within ten seconds: a SIGKILL
// takes effect when the process next runs.
bool Ended(pid_t pid) {
  for (int tries = 0; tries < 1000; ++tries, usleep(10000)) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
  }
  return false;
}

TEST_F(JobStepsTest, ProgramEndsWithWhatItStartedAndSaysHow) {
  using End = ToolStatus::End;
  // The tool's script, its time limit, and how it ends.
  const std::tuple<std::string, int, End, int> cases[] = {
      {"exit 3\n", 0, End::kExited, 3},
      {"kill -9 $$\n", 0, End::kSignaled, 9},
      {"sleep 30 & echo $! >" + Path("child") + "\n", 0, End::kExited, 0},
      {"sleep 30 & echo $! >" + Path("child") + "\nwait\n", 1, End::kTimeLimit, 0},
  };
  for (const auto& [body, time_limit, end, value] : cases) {
    std::filesystem::remove(Path("child"));
    WriteFile(Path("tool"), "#!/bin/sh\n" + body);
    chmod(Path("tool").c_str(), 0755);
    const ToolStatus status = RunProgram({Path("tool")}, nullptr, ProgramIo(), time_limit);
    EXPECT_EQ(std::pair(status.end, status.value), std::pair(end, value)) << body;
    if (std::filesystem::exists(Path("child"))) {
      EXPECT_TRUE(Ended(std::stoi(ReadFile(Path("child"))))) << "a child outlived: " << body;
    }
  }
}

// Removing a job's tree takes links away, never what they point at; the index file's folder
// may be open to producers, who could leave links where the index goes. (The file made where
// none is: e2e startup.)
TEST_F(JobStepsTest, NeverFollowsALink) {
  namespace fs = std::filesystem;
  fs::create_directories(Path("tree/a/b"));
  WriteFile(Path("outside"), "keep");
  fs::create_directory_symlink(dir_, Path("tree/a/link"));
  fs::create_symlink(Path("outside"), Path("tree/file-link"));
  fs::create_symlink(Path("outside"), Path("to-file.idx"));
  fs::create_symlink(Path("made-outside"), Path("dangling.idx"));
  chmod(Path("tree/a/b").c_str(), 0);  // a root-only tree is removed all the same
  const ScopedFd dir = OpenFolderOf(Path("x"));
  EXPECT_TRUE(RemoveTreeAt(dir.get(), "tree", Path("tree")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("tree"))));
  for (const char* link : {"to-file.idx", "dangling.idx"}) {
    TouchAt(dir.get(), link, Path(link));
    EXPECT_TRUE(fs::is_symlink(Path(link))) << link;
  }
  EXPECT_EQ(ReadFile(Path("outside")), "keep");
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("made-outside"))));
}

}  // namespace
}  // namespace plim
