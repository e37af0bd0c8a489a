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

#include "joblist/queue_append.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

// The edits of the queue file besides Get's: names appended, put first, removed.
using Edit = std::function<bool(const std::string& queue)>;

bool Append(const std::string& queue) { return AppendToQueue(queue, {"a", "b"}); }
bool First(const std::string& queue) { return QueueFirst(queue, {"b", "a"}); }
Edit Remove(std::vector<std::string> names, std::vector<size_t> counts) {
  return [names, counts](const std::string& queue) {
    std::vector<size_t> removed;
    return RemoveFromQueue(queue, names, &removed) && removed == counts;
  };
}

using QueueEditTest = ScratchDirTest;

// The other lines keep their bytes, each ends with its line break; a file keeps its owner,
// group and mode (through the rewrite that Get shares) whatever the umask. A new file's mode and
// the order of names put first: e2e outcomes.
TEST_F(QueueEditTest, KeepsTheOtherLinesByteForByte) {
  struct Case {
    Edit edit;
    std::optional<std::string> before, after;  // none for no file
  };
  const std::string nul("x\0y\n", 4), z(5000, 'z');
  const Case cases[] = {
      {Append, "x", "x\na\nb\n"},
      {First, "c\n<ERROR>\n\nc\n", "b\na\nc\n<ERROR>\n\nc\n"},
      {First, nul + z + "\n", "b\na\n" + nul + z + "\n"},
      {First, "c\nunended", "b\na\nc\nunended\n"},
      // A name as long as a long line is found; a line cut at a NUL runs as the name before it.
      {Remove({"a", z}, {2, 1}), "a\n" + nul + z + "\n" + z + "q\n" + std::string("a\0b\nc", 5),
       nul + z + "q\nc\n"},
      {Remove({"a"}, {0}), std::nullopt, std::nullopt},
  };
  const std::string queue = Path("queue.txt");
  const mode_t mask = umask(077);
  for (const Case& c : cases) {
    std::filesystem::remove(queue);
    if (c.before) {
      WriteFile(queue, *c.before);
      ASSERT_EQ(chown(queue.c_str(), 1234, 5678), 0);
      ASSERT_EQ(chmod(queue.c_str(), 0664), 0);
    }
    EXPECT_TRUE(c.edit(queue)) << testing::PrintToString(c.before);
    EXPECT_EQ(std::filesystem::exists(queue), c.after.has_value());
    EXPECT_EQ(ReadFile(queue), c.after.value_or("")) << testing::PrintToString(c.before);
    struct stat info;
    if (!c.after || stat(queue.c_str(), &info) != 0) continue;
    EXPECT_EQ(info.st_mode & 07777, 0664u);
    EXPECT_EQ(std::pair(info.st_uid, info.st_gid), std::pair(1234u, 5678u));
  }
  umask(mask);
  EXPECT_FALSE(std::filesystem::exists(queue + ".tmp"));
}

// Producers that lock the folder, as flock(1) does, and Get append or rewrite only before or
// after an edit, never into a queue it is replacing.
TEST_F(QueueEditTest, WaitsForTheFolderLock) {
  const std::pair<Edit, std::string> cases[] = {
      {Append, "a\nc\na\nb\n"}, {First, "b\na\na\nc\n"}, {Remove({"a"}, {1}), "c\n"}};
  const std::string queue = Path("queue.txt");
  struct stat folder;
  ASSERT_EQ(stat(dir_.c_str(), &folder), 0);
  for (const auto& [edit, after] : cases) {
    WriteFile(queue, "a\nc\n");
    const int held = open(dir_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::thread editor([&edit = edit, &queue] { EXPECT_TRUE(edit(queue)); });
    // The kernel lists a blocked flock request with "->" against the folder's inode.
    const std::regex blocked("-> FLOCK .*:" + std::to_string(folder.st_ino) + " ");
    bool waiting = false;
    for (int tries = 0; tries < 1000 && !waiting; ++tries, usleep(10000)) {
      waiting = std::regex_search(ReadFile("/proc/locks"), blocked);
    }
    EXPECT_TRUE(waiting) << after;
    EXPECT_EQ(ReadFile(queue), "a\nc\n") << "edited under a producer's lock";
    close(held);
    editor.join();
    EXPECT_EQ(ReadFile(queue), after);
  }
}

}  // namespace
}  // namespace plim
