#include "jobs/work_dir.h"

#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

struct stat Entry(mode_t type_and_mode, uid_t uid) {
  struct stat st = {};
  st.st_mode = type_and_mode;
  st.st_uid = uid;
  return st;
}

TEST(WorkDirTest, JudgeTrustsOnlyWhatNoOtherUserCanChange) {
  const uid_t self = 1000, other = 65534;
  const mode_t dir = S_IFDIR, link = S_IFLNK;
  const std::string open = "is in a folder that others can write";
  struct Case {
    mode_t parent;
    struct stat entry;
    bool own;
    Verdict verdict;
    std::string why;
  };
  const Case cases[] = {
      {dir | 0755, Entry(dir | 0755, 0), false, Verdict::kEnter, ""},
      {dir | 01777, Entry(dir | 0777, self), true, Verdict::kRepair, ""},
      {dir | 01777, Entry(dir | 0777, other), true, Verdict::kReplace, "belongs to user 65534"},
      {dir | 01777, Entry(dir | 0755, other), false, Verdict::kRefuse, "belongs to user 65534"},
      {dir | 0777, Entry(dir | 0755, 0), true, Verdict::kRefuse, open},
      {dir | 0775, Entry(link | 0777, 0), true, Verdict::kRefuse, open},
      {dir | 0755, Entry(link | 0777, 0), true, Verdict::kFollow, ""},
      {dir | 01777, Entry(link | 0777, other), true, Verdict::kReplace, "is a link of user 65534"},
      {dir | 01777, Entry(link | 0777, other), false, Verdict::kRefuse, "is a link of user 65534"},
      {dir | 0755, Entry(S_IFREG | 0644, 0), true, Verdict::kReplace, "is not a folder"},
  };
  for (const Case& c : cases) {
    std::string why;
    const Verdict verdict = Judge(Entry(c.parent, 0), c.entry, c.own, self, &why);
    EXPECT_EQ(std::pair(verdict, why), std::pair(c.verdict, c.why))
        << std::oct << c.parent << " " << c.entry.st_mode;
  }
}

class OpenWorkRootTest : public ScratchDirTest {};

// What another user made or planted where the service's own folders belong is moved aside
// whole, without following it, and the folders are made anew, root's and 0755; a folder behind
// a planted link is not touched. (Another user's folder holding a link: e2e squatters; a link
// at the lower level: fault hostile.)
TEST_F(OpenWorkRootTest, MovesAsideWhatAnotherUserPlanted) {
  if (geteuid() != 0) GTEST_SKIP() << "entries of another user need root";
  struct Case {
    const char* planted;  // "plim" or "plim/tmp"
    char kind;            // l: a link to "target", f: a file, d: a folder
    uid_t owner;
  };
  const Case cases[] = {{"plim", 'l', 65534}, {"plim/tmp", 'f', 0}, {"plim/tmp", 'd', 65534}};
  for (const Case& c : cases) {
    const std::string planted = Path(c.planted), scope = std::string(c.planted) + " " + c.kind;
    std::filesystem::remove_all(dir_);
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(Path("target").c_str(), 0700), 0);
    ASSERT_TRUE(planted == Path("plim") || mkdir(Path("plim").c_str(), 0755) == 0);
    const int made = c.kind == 'l'   ? symlink(Path("target").c_str(), planted.c_str())
                     : c.kind == 'f' ? close(creat(planted.c_str(), 0644))
                                     : mkdir(planted.c_str(), 0777);
    ASSERT_EQ(made, 0) << scope;
    ASSERT_EQ(lchown(planted.c_str(), c.owner, c.owner), 0);
    struct stat before, after;
    ASSERT_EQ(lstat(planted.c_str(), &before), 0);
    std::string why;
    EXPECT_TRUE(OpenWorkRoot(Path("plim/tmp"), 2, &why).valid()) << scope << ": " << why;
    for (const char* own : {"plim", "plim/tmp"}) {
      ASSERT_EQ(lstat(Path(own).c_str(), &after), 0) << scope;
      EXPECT_TRUE(S_ISDIR(after.st_mode) && after.st_uid == 0) << scope << ": " << own;
      EXPECT_EQ(after.st_mode & 07777, 0755u) << scope << ": " << own;
    }
    glob_t moved;
    ASSERT_EQ(glob((planted + ".moved.*").c_str(), 0, nullptr, &moved), 0) << scope;
    ASSERT_EQ(lstat(moved.gl_pathv[0], &after), 0) << scope;
    globfree(&moved);
    EXPECT_EQ(after.st_ino, before.st_ino) << scope;
    ASSERT_EQ(stat(Path("target").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0700u) << scope;
  }
}

}  // namespace
}  // namespace plim
