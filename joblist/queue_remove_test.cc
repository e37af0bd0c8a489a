#include "joblist/queue_remove.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <thread>
#include <tuple>

#include "joblist/queue_append.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

using QueueEditTest = ScratchDirTest;

// The edits of the queue file besides Get's (names appended, put first, removed) wait for the
// folder lock that producers take as flock(1) does, so a producer never appends into a queue
// being replaced. The other lines keep their bytes, each ends with its line break; a file keeps
// its owner, group and mode (through the rewrite that Get shares) whatever the umask.
TEST_F(QueueEditTest, WaitsForTheFolderLockAndKeepsTheOtherLinesByteForByte) {
  const auto remove = [](std::vector<std::string> names, std::vector<size_t> counts) {
    return [names, counts](const std::string& queue) {
      std::vector<size_t> removed;
      return RemoveFromQueue(queue, names, &removed) && removed == counts;
    };
  };
  const auto append = [](const std::string& q) { return AppendToQueue(q, {"a", "b"}); };
  const auto first = [](const std::string& q) { return QueueFirst(q, {"b", "a"}); };
  const std::string nul("x\0y\n", 4), z(5000, 'z');
  // The edit, and the queue before and after it.
  const std::tuple<std::function<bool(const std::string& queue)>, std::string, std::string>
      cases[] = {
          {append, "x", "x\na\nb\n"},
          {first, "c\n<ERROR>\n\nunended", "b\na\nc\n<ERROR>\n\nunended\n"},
          {first, nul + z + "\n", "b\na\n" + nul + z + "\n"},
          // A name as long as a long line is found; a line cut at a NUL runs as the name before it.
          {remove({"a", z}, {2, 1}), "a\n" + nul + z + "\n" + z + "q\n" + std::string("a\0b\nc", 5),
           nul + z + "q\nc\n"},
      };
  const std::string queue = Path("queue.txt");
  struct stat folder, info;
  ASSERT_EQ(stat(dir_.c_str(), &folder), 0);
  // The kernel lists a blocked flock request with "->" against the folder's inode.
  const std::regex blocked("-> FLOCK .*:" + std::to_string(folder.st_ino) + " ");
  const mode_t mask = umask(077);
  for (const auto& [edit, before, after] : cases) {
    const std::string name = testing::PrintToString(before);
    WriteFile(queue, before);
    ASSERT_EQ(chown(queue.c_str(), 1234, 5678), 0);
    ASSERT_EQ(chmod(queue.c_str(), 0664), 0);
    const int held = open(dir_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::thread editor([&, edit = edit] { EXPECT_TRUE(edit(queue)) << name; });
    bool waiting = false;
    for (int tries = 0; tries < 1000 && !waiting; ++tries, usleep(10000)) {
      waiting = std::regex_search(ReadFile("/proc/locks"), blocked);
    }
    EXPECT_TRUE(waiting) << name;
    EXPECT_EQ(ReadFile(queue), before) << "edited under a producer's lock";
    close(held);
    editor.join();
    EXPECT_EQ(ReadFile(queue), after) << name;
    ASSERT_EQ(stat(queue.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0664u);
    EXPECT_EQ(std::pair(info.st_uid, info.st_gid), std::pair(1234u, 5678u));
  }
  umask(mask);
  EXPECT_FALSE(std::filesystem::exists(queue + ".tmp"));
}

}  // namespace
}  // namespace plim
