#include "joblist/queue_append.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/scratch_dir.h"

namespace plim {
namespace {

class QueueAppendTest : public ScratchDirTest {
 protected:
  const std::string queue_ = Path("queue.txt");
};

// Whatever the queue held, the names follow its old entries, each on a whole line of its own.
TEST_F(QueueAppendTest, AppendsWholeLinesAfterWhatTheQueueHeld) {
  // A queue that does not exist yet is made by the append that waits for the lock below.
  const std::pair<std::string, std::string> cases[] = {
      {"x", "x\na\nb\n"},
      {"x\n\n", "x\n\na\nb\n"},
  };
  for (const auto& [before, after] : cases) {
    WriteFile(queue_, before);
    ASSERT_TRUE(AppendToQueue(queue_, {"a", "b"}));
    EXPECT_EQ(ReadFile(queue_), after);
  }
}

TEST_F(QueueAppendTest, WaitsForTheLockThatGetTakes) {
  const int held = open(dir_.c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  std::thread producer([this] { EXPECT_TRUE(AppendToQueue(queue_, {"a"})); });
  // The kernel lists a blocked flock request with "->" against the folder's inode.
  struct stat info;
  ASSERT_EQ(stat(dir_.c_str(), &info), 0);
  const std::string inode = ":" + std::to_string(info.st_ino) + " ";
  bool waiting = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!waiting && std::chrono::steady_clock::now() < deadline) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      waiting = waiting || (line.find("-> FLOCK") != std::string::npos &&
                            line.find(inode) != std::string::npos);
    }
    if (!waiting) std::this_thread::yield();
  }
  EXPECT_TRUE(waiting);
  EXPECT_FALSE(std::filesystem::exists(queue_));
  close(held);
  producer.join();
  EXPECT_EQ(ReadFile(queue_), "a\n");
}

}  // namespace
}  // namespace plim
