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
  // The parent's mode, the entry, whether it is the service's own, the verdict and why.
  const std::tuple<mode_t, struct stat, bool, Verdict, std::string> cases[] = {
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
  for (const auto& [parent, entry, own, verdict, why] : cases) {
    std::string said;
    EXPECT_EQ(std::pair(Judge(Entry(parent, 0), entry, own, self, &said), said),
              std::pair(verdict, why))
        << std::oct << parent << " " << entry.st_mode;
  }
}

}  // namespace
}  // namespace plim
