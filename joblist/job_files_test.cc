#include "joblist/job_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "joblist/atomic_file.h"
#include "joblist/late_appends.h"
#include "joblist/paths.h"
#include "joblist/queue_lines.h"
#include "joblist/queue_remove.h"
#include "joblist/scoped_fd.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

class JobFilesTest : public ScratchDirTest {
 protected:
  ino_t Inode() const {
    struct stat st = {};
    EXPECT_EQ(stat(Path("queue.txt").c_str(), &st), 0);
    return st.st_ino;
  }
  std::string Take() {
    return GetFrom(Path("queue.txt"), Path("active.txt"),
                   [this](const SetAsideLine& line) { set_aside_.push_back(line); });
  }
  std::vector<SetAsideLine> set_aside_;
};

std::string Long(size_t length) { return std::string(length, 'x'); }

// The lines before the head that are no entry are taken off with it, lines longer than
// kLongestLine set aside unread wherever they stand; the lines behind the head are rewritten
// as the entries they read as, long lines byte for byte.
TEST_F(JobFilesTest, TakesHeadsInOrder) {
  const std::string nul_long = std::string("ab\0c", 4) + Long(5000);
  // The queue, the results of successive takes (the sentinel last), the queue after the first
  // take, and the lengths of the lines set aside, in order.
  using Case = std::tuple<std::string, std::vector<std::string>, std::string, std::vector<off_t>>;
  const Case cases[] = {
      {"a\n\nb", {"a", "", "b", kSentinel}, "\nb\n", {}},
      {"<ERROR>\nb\n<ERROR>\n", {"b", kSentinel}, "<ERROR>\n", {}},
      {std::string("a\0z\nb\0z\nc\n", 10), {"a", "b", "c", kSentinel}, "b\nc\n", {}},
      {Long(4096) + "\nb\n", {Long(4096), "b", kSentinel}, "b\n", {}},
      {Long(4097), {kSentinel}, "", {4097}},
      {"a\n" + Long(200000) + "\nb\n", {"a", "b", kSentinel}, Long(200000) + "\nb\n", {200000}},
      {"a\n" + nul_long + "\nb\n", {"a", "b", kSentinel}, nul_long + "\nb\n", {5004}},
      {"<ERROR>\n" + Long(9000) + "\n<ERROR>\n" + Long(4097) + "\nc\n",
       {"c", kSentinel},
       "",
       {9000, 4097}},
  };
  for (const auto& [queue, expected, after_first, set_aside] : cases) {
    const std::string name = queue.substr(0, 20);
    WriteFile(Path("queue.txt"), queue);
    set_aside_.clear();
    std::vector<std::string> taken{Take()};
    EXPECT_EQ(ReadFile(Path("queue.txt")), after_first) << name;
    while (taken.back() != kSentinel && taken.size() < expected.size()) {
      EXPECT_EQ(ReadFile(Path("active.txt")), taken.back() + "\n") << name;
      taken.push_back(Take());
    }
    EXPECT_EQ(taken, expected) << name;
    std::vector<off_t> lengths;
    for (const SetAsideLine& line : set_aside_) {
      lengths.push_back(line.length);
      EXPECT_EQ(line.start, queue.find("ab") == std::string::npos ? Long(kSetAsideStart) : "ab");
    }
    EXPECT_EQ(lengths, set_aside) << name;
    // The queue is left empty, and an empty queue is never rewritten.
    const ino_t empty = Inode();
    EXPECT_EQ(ReadFile(Path("queue.txt")), "") << name;
    EXPECT_EQ(Take(), kSentinel);
    EXPECT_EQ(Inode(), empty) << name;
  }
}

TEST_F(JobFilesTest, FailureLeavesQueueAndClaimAsTheyWere) {
  // A folder that is not empty where a file is to be written or replaced.
  for (const char* obstacle : {"queue.txt.tmp", "active.txt", "active.txt.tmp"}) {
    WriteFile(Path("queue.txt"), "a\nb\n");
    std::filesystem::remove(Path("active.txt"));
    ASSERT_TRUE(std::filesystem::create_directories(Path(obstacle) + "/x"));
    EXPECT_EQ(Take(), kSentinel) << obstacle;
    EXPECT_EQ(ReadFile(Path("queue.txt")), "a\nb\n");
    EXPECT_EQ(GetActiveFrom(Path("active.txt")), kSentinel);
    std::filesystem::remove_all(Path(obstacle));
  }
}

// A producer that opened the queue before it was replaced still writes into the old file: Get
// and an operator's removal wait for a line it is still writing, so that neither the line nor
// its first part is lost. A line without its break is no entry while its writer holds the
// file, nor is a long one set aside while it may still be growing.
TEST_F(JobFilesTest, CarriesLinesAppendedToTheReplacedQueue) {
  WriteFile(Path("queue.txt"), "a");
  int producer = open(Path("queue.txt").c_str(), O_WRONLY | O_APPEND);
  EXPECT_EQ(Take(), kSentinel);
  EXPECT_EQ(ReadFile(Path("queue.txt")), "a");
  close(producer);
  EXPECT_EQ(Take(), "a");
  WriteFile(Path("queue.txt"), "b\n" + Long(5000));
  producer = open(Path("queue.txt").c_str(), O_WRONLY | O_APPEND);
  EXPECT_EQ(Take(), "b");
  EXPECT_EQ(ReadFile(Path("queue.txt")), "");
  close(producer);
  CarryStragglers();
  EXPECT_EQ(Take(), kSentinel);
  ASSERT_EQ(set_aside_.size(), 1u);
  EXPECT_EQ(set_aside_[0].length, 5000);
  // The rewrite, the queue before, the producer's late write, the queue after, and its delay.
  const std::tuple<std::function<void()>, std::string, std::string, std::string, int> cases[] = {
      {[this] { EXPECT_EQ(Take(), "a"); }, "a\nb", "\nlate\npart", "b\nlate\npart\n", 0},
      {[this] {
         std::vector<size_t> removed;
         EXPECT_TRUE(RemoveFromQueue(Path("queue.txt"), {"a"}, &removed));
         EXPECT_EQ(removed, std::vector<size_t>{1});
       },
       "a\nb\nc", "d\n", "b\ncd\n", 100},
  };
  for (const auto& [rewrite, before, late_write, after, delay_ms] : cases) {
    WriteFile(Path("queue.txt"), before);
    producer = open(Path("queue.txt").c_str(), O_WRONLY | O_APPEND);
    // Its late write: once the queue is replaced (10 s at most) and delay_ms later.
    const ino_t old = Inode();
    std::thread late([&, delay_ms = delay_ms, late_write = late_write] {
      for (int tries = 0; tries < 10000 && Inode() == old; ++tries) usleep(1000);
      usleep(delay_ms * 1000);
      std::ignore = write(producer, late_write.data(), late_write.size());
      close(producer);
    });
    rewrite();
    late.join();
    EXPECT_EQ(ReadFile(Path("queue.txt")), after);
  }
}

// The done list keeps its newest ten lines, leaving out lines too long to be names, as does
// every listing of the job files; the worker keeps a job in progress when it cannot be written.
TEST_F(JobFilesTest, DoneListKeepsNewestTen) {
  for (int before : {0, 9, 15}) {
    std::string text, expected;
    for (int i = 0; i < before; ++i) text += std::to_string(i) + "\n";
    WriteFile(Path("done.txt"), text + Long(70000) + "\n" + Long(4097));
    EXPECT_TRUE(SaveTo(Path("done.txt"), "k"));
    for (int i = before > 9 ? before - 9 : 0; i < before; ++i) expected += std::to_string(i) + "\n";
    EXPECT_EQ(ReadFile(Path("done.txt")), expected + "k\n") << before;
  }
  EXPECT_FALSE(SaveTo(Path("missing/done.txt"), "k"));
}

// A read that fails part-way must not pass for the end of the file: the names behind it would
// be lost from a rewrite. /proc/self/mem gives EIO at address 0, a read error on demand.
TEST(ReadErrorTest, IsNotTakenForTheEndOfTheFile) {
  ScopedFd mem(open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
  std::string text;
  EXPECT_FALSE(ReadFrom(mem.get(), 0, &text, 4096));
  LineReader lines(mem.get(), 0, 4096);
  QueueLine line;
  EXPECT_FALSE(lines.Next(&line));
  EXPECT_TRUE(lines.failed());
  EXPECT_LT(EndOfWholeLines(mem.get(), 4096), 0);
}

}  // namespace
}  // namespace plim
