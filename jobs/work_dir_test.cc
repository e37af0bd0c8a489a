#include "jobs/work_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <tuple>

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

TEST_F(OpenWorkRootTest, MakesRepairsFollowsOrRefuses) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    std::function<void()> shape;
    bool root_only;
    std::string why;  // empty where the folder is opened
  };
  const std::string tmp = Path("plim/tmp");
  const auto plim = [&] { fs::create_directory(Path("plim")); };
  const auto folder = [&](const char* name, mode_t mode) {
    fs::create_directory(Path(name));
    chmod(Path(name).c_str(), mode);
  };
  const Case cases[] = {
      {"missing", [] {}, false, ""},
      {"open to all",
       [&] {
         folder("plim", 0777);
         folder("plim/tmp", 01777);
       },
       false, ""},
      {"a file",
       [&] {
         plim();
         WriteFile(tmp, "x");
       },
       false, tmp + " is not a folder"},
      {"own link",
       [&] {
         plim();
         folder("admin", 0700);
         fs::create_directory_symlink(Path("admin"), tmp);
       },
       false, ""},
      {"link to an open folder",
       [&] {
         plim();
         folder("open", 0777);
         fs::create_directory_symlink(Path("open"), tmp);
       },
       false, tmp + " is writable by others"},
      {"link of another user",
       [&] {
         plim();
         folder("victim", 0700);
         fs::create_directory_symlink(Path("victim"), tmp);
         std::ignore = lchown(tmp.c_str(), 65534, 65534);
       },
       true, tmp + " is a link of user 65534"},
  };
  const mode_t mask = umask(077);
  for (const Case& c : cases) {
    if (c.root_only && geteuid() != 0) continue;
    for (const char* name : {"plim", "admin", "open", "victim"}) fs::remove_all(Path(name));
    c.shape();
    std::string why;
    const ScopedFd fd = OpenWorkRoot(tmp, 2, &why);
    EXPECT_EQ(why, c.why) << c.what;
    EXPECT_EQ(fd.valid(), c.why.empty()) << c.what;
    EXPECT_EQ(Mode("plim"), 0755u) << c.what;
    struct stat opened, reached;
    if (c.why.empty() && fstat(fd.get(), &opened) == 0 && stat(tmp.c_str(), &reached) == 0) {
      EXPECT_EQ(opened.st_ino, reached.st_ino) << c.what;
      // An administrator's folder behind a link is left as it was made.
      EXPECT_EQ(opened.st_mode & 07777, fs::is_symlink(tmp) ? 0700u : 0755u) << c.what;
    }
    EXPECT_EQ(Mode("open"), fs::exists(Path("open")) ? 0777u : 0u) << c.what;
  }
  umask(mask);
}

}  // namespace
}  // namespace plim
