#include "jobs/work_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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
  struct Case {
    mode_t parent;
    struct stat entry;
    bool own;
    Verdict verdict;
    const char* why;
  };
  const Case cases[] = {
      {S_IFDIR | 0755, Entry(S_IFDIR | 0755, 0), false, Verdict::kEnter, ""},
      {S_IFDIR | 01777, Entry(S_IFDIR | 0700, self), false, Verdict::kEnter, ""},
      {S_IFDIR | 01777, Entry(S_IFDIR | 0777, other), true, Verdict::kRepair, ""},
      {S_IFDIR | 0755, Entry(S_IFDIR | 0777, 0), true, Verdict::kRepair, ""},
      {S_IFDIR | 01777, Entry(S_IFDIR | 0755, other), false, Verdict::kRefuse,
       "belongs to user 65534"},
      {S_IFDIR | 0777, Entry(S_IFDIR | 0755, 0), true, Verdict::kRefuse,
       "is in a folder that others can write"},
      {S_IFDIR | 0775, Entry(S_IFLNK | 0777, 0), true, Verdict::kRefuse,
       "is in a folder that others can write"},
      {S_IFDIR | 0755, Entry(S_IFLNK | 0777, 0), true, Verdict::kFollow, ""},
      {S_IFDIR | 01777, Entry(S_IFLNK | 0777, other), true, Verdict::kRefuse,
       "is a link of user 65534"},
      {S_IFDIR | 0755, Entry(S_IFREG | 0644, 0), true, Verdict::kRefuse, "is not a folder"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(Judge(Entry(c.parent, 0), c.entry, c.own, self, &why), c.verdict)
        << std::oct << c.parent << " " << c.entry.st_mode;
    EXPECT_EQ(why, c.why) << std::oct << c.parent << " " << c.entry.st_mode;
  }
}

class OpenWorkRootTest : public ScratchDirTest {
 protected:
  mode_t Mode(const std::string& name) const {
    struct stat st;
    return lstat(Path(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

// The service's own folders are repaired; a link is followed only where it and the folder it
// reaches are trusted, and an administrator's folder behind it is left as it is.
TEST_F(OpenWorkRootTest, RepairsFollowsOrRefuses) {
  namespace fs = std::filesystem;
  const std::string tmp = Path("plim/tmp");
  struct Case {
    bool link;  // tmp is a link to the folder "target" rather than the folder itself
    mode_t mode;
    uid_t link_owner;
    std::string why;  // empty where the folder is opened
  };
  const Case cases[] = {
      {false, 01777, 0, ""},
      {true, 0777, 0, tmp + " is writable by others"},
      {true, 0700, 65534, tmp + " is a link of user 65534"},
  };
  const mode_t mask = umask(077);
  for (const Case& c : cases) {
    if (c.link_owner != 0 && geteuid() != 0) continue;
    fs::remove_all(Path("plim"));
    fs::remove_all(Path("target"));
    fs::create_directory(Path("plim"));
    chmod(Path("plim").c_str(), 0777);
    const std::string folder = c.link ? Path("target") : tmp;
    fs::create_directory(folder);
    chmod(folder.c_str(), c.mode);
    if (c.link) {
      fs::create_directory_symlink(folder, tmp);
      ASSERT_EQ(lchown(tmp.c_str(), c.link_owner, c.link_owner), 0);
    }
    std::string why;
    const ScopedFd fd = OpenWorkRoot(tmp, 2, &why);
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(fd.valid(), c.why.empty()) << c.why;
    EXPECT_EQ(Mode("plim"), 0755u) << c.why;
    EXPECT_EQ(Mode(c.link ? "target" : "plim/tmp"), c.link ? c.mode : 0755u) << c.why;
    struct stat opened, reached;
    if (fd.valid() && fstat(fd.get(), &opened) == 0 && stat(tmp.c_str(), &reached) == 0) {
      EXPECT_EQ(opened.st_ino, reached.st_ino);
    }
  }
  umask(mask);
}

}  // namespace
}  // namespace plim
