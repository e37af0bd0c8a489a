#include "joblist/queue_remove.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

class QueueFirstTest : public ScratchDirTest {
 protected:
  const std::string queue_ = Path("queue.txt");
};

// The names go before every line, in the order given, and the lines keep their bytes; the file
// keeps its mode, a new one is open to all.
TEST_F(QueueFirstTest, PutsTheNamesBeforeTheQueuedLinesByteForByte) {
  struct Case {
    std::optional<std::string> before;  // none for no file
    std::string after;
  };
  const std::string nul("x\0y\n", 4);
  const Case cases[] = {
      {std::nullopt, "b\na\n"},
      {"", "b\na\n"},
      {"c\n<ERROR>\n\nc\n", "b\na\nc\n<ERROR>\n\nc\n"},
      {nul + std::string(5000, 'z') + "\n", "b\na\n" + nul + std::string(5000, 'z') + "\n"},
      {"c\nunended", "b\na\nc\nunended\n"},
  };
  const mode_t mask = umask(077);
  for (const Case& c : cases) {
    std::filesystem::remove(queue_);
    if (c.before) {
      WriteFile(queue_, *c.before);
      ASSERT_EQ(chmod(queue_.c_str(), 0666), 0);
    }
    ASSERT_TRUE(QueueFirst(queue_, {"b", "a"}));
    EXPECT_EQ(ReadFile(queue_), c.after) << testing::PrintToString(c.before);
    struct stat info;
    ASSERT_EQ(stat(queue_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u) << testing::PrintToString(c.before);
  }
  umask(mask);
  EXPECT_FALSE(std::filesystem::exists(queue_ + ".tmp"));
}

// A producer that appends without the lock into the file being replaced loses nothing: its line
// follows the new content.
TEST_F(QueueFirstTest, CarriesOverALateAppend) {
  WriteFile(queue_, "c\n");
  const int late = open(queue_.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(late, 0);
  // The rewrite waits for the writer it finds on the old file.
  std::thread producer([late] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(write(late, "d\n", 2), 2);
    close(late);
  });
  EXPECT_TRUE(QueueFirst(queue_, {"a"}));
  producer.join();
  EXPECT_EQ(ReadFile(queue_), "a\nc\nd\n");
}

}  // namespace
}  // namespace plim
