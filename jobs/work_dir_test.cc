#include "jobs/work_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
      {dir | 01777, Entry(dir | 0700, self), false, Verdict::kEnter, ""},
      {dir | 01777, Entry(dir | 0777, other), true, Verdict::kRepair, ""},
      {dir | 01777, Entry(dir | 0755, other), false, Verdict::kRefuse, "belongs to user 65534"},
      {dir | 0777, Entry(dir | 0755, 0), true, Verdict::kRefuse, open},
      {dir | 0775, Entry(link | 0777, 0), true, Verdict::kRefuse, open},
      {dir | 0755, Entry(link | 0777, 0), true, Verdict::kFollow, ""},
      {dir | 01777, Entry(link | 0777, other), true, Verdict::kRefuse, "is a link of user 65534"},
      {dir | 0755, Entry(S_IFREG | 0644, 0), true, Verdict::kRefuse, "is not a folder"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(Judge(Entry(c.parent, 0), c.entry, c.own, self, &why), c.verdict)
        << std::oct << c.parent << " " << c.entry.st_mode;
    EXPECT_EQ(why, c.why) << std::oct << c.parent << " " << c.entry.st_mode;
  }
}

class OpenWorkRootTest : public ScratchDirTest {};

// The walk repairs the service's own folder on its way and stops at another user's link,
// leaving the folder behind it as it is.
TEST_F(OpenWorkRootTest, RepairsOwnFoldersAndRefusesAnotherUsersLink) {
  if (geteuid() != 0) GTEST_SKIP() << "a link of another user needs root";
  const std::string tmp = Path("plim/tmp");
  const mode_t mask = umask(077);
  ASSERT_EQ(mkdir(Path("plim").c_str(), 0777), 0);
  ASSERT_EQ(chmod(Path("plim").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(Path("target").c_str(), 0700), 0);
  ASSERT_EQ(symlink(Path("target").c_str(), tmp.c_str()), 0);
  ASSERT_EQ(lchown(tmp.c_str(), 65534, 65534), 0);
  std::string why;
  EXPECT_FALSE(OpenWorkRoot(tmp, 2, &why).valid());
  EXPECT_EQ(why, tmp + " is a link of user 65534");
  struct stat plim, target;
  ASSERT_EQ(stat(Path("plim").c_str(), &plim), 0);
  ASSERT_EQ(stat(Path("target").c_str(), &target), 0);
  EXPECT_EQ(plim.st_mode & 07777, 0755u);
  EXPECT_EQ(target.st_mode & 07777, 0700u);
  umask(mask);
}

// Kept between jobs only while nothing on the way changed: a changed mode is repaired by a new
// walk, and a folder put in place of the kept one is the one used.
TEST_F(OpenWorkRootTest, KeptRootIsWalkedAgainOnceItsFoldersChange) {
  std::string why;
  const std::string root = Path("plim/tmp");
  const int first = KeptWorkRoot(root, 2, &why);
  ASSERT_GE(first, 0) << why;
  EXPECT_EQ(KeptWorkRoot(root, 2, &why), first);
  ASSERT_EQ(chmod(root.c_str(), 0777), 0);
  ASSERT_GE(KeptWorkRoot(root, 2, &why), 0) << why;
  struct stat st, held;
  ASSERT_EQ(stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(rename(root.c_str(), Path("plim/old").c_str()), 0);
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(fstat(KeptWorkRoot(root, 2, &why), &held), 0) << why;
  ASSERT_EQ(stat(root.c_str(), &st), 0);
  EXPECT_EQ(held.st_ino, st.st_ino);
}

}  // namespace
}  // namespace plim
