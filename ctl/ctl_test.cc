#include "ctl/ctl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ctl/status.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

class CtlTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    files_ = {Path("queue.txt"), Path("active.txt"), Path("done.txt"),
              Path("plim.conf"), Path("%s.ts"),      Path("history")};
  }
  void TearDown() override {
    if (listener_ >= 0) close(listener_);
  }
  static void Write(const std::string& path, const std::string& text) { WriteFile(path, text); }
  static std::string Read(const std::string& path) { return ReadFile(path); }
  // Binds a fresh UDP socket on the loopback and names its port in the configuration file.
  void Listen() {
    if (listener_ >= 0) close(listener_);
    listener_ = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener_, reinterpret_cast<struct sockaddr*>(&address), size), 0);
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<struct sockaddr*>(&address), &size), 0);
    Write(files_.conf, "plim " + std::to_string(ntohs(address.sin_port)) + " 0\n");
  }
  // The datagrams received, waiting up to ten seconds for the first of `expected` ones.
  std::string Received(int expected) {
    struct pollfd ready = {listener_, POLLIN, 0};
    if (expected > 0) poll(&ready, 1, 10000);
    std::string bytes;
    char datagram[64];
    for (ssize_t n; (n = recv(listener_, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;) {
      bytes += std::string(datagram, n) + "|";
    }
    return bytes;
  }
  int Run(const std::vector<std::string>& args, std::string* out, std::string* err) {
    char* out_text = nullptr;
    char* err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE* out_file = open_memstream(&out_text, &out_size);
    FILE* err_file = open_memstream(&err_text, &err_size);
    const int status = RunCtl(args, files_, out_file, err_file);
    fclose(out_file);
    fclose(err_file);
    *out = std::string(out_text, out_size);
    *err = std::string(err_text, err_size);
    free(out_text);
    free(err_text);
    return status;
  }
  CtlFiles files_;
  int listener_ = -1;
};

TEST_F(CtlTest, CommandsQueueNamesAndSendOneTrigger) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string queue;
    std::string datagrams;
    std::string message;  // found in stderr, or in stdout for help
  };
  const Case cases[] = {
      {{"add", "Some Title", "News 20:15 / Part 2."},
       0,
       "Some Title\nNews 20:15 / Part 2.\n",
       "1|",
       "no recording " + dir_ + "/News 20_15 _ Part 2_.ts"},
      {{"add", "--", "-x", "--"}, 0, "-x\n--\n", "1|", "queued all the same"},
      {{"add", "a", "", "b"}, 2, "", "", "is empty; nothing queued"},
      {{"add", "a", "b\nc"}, 2, "", "", "\"b\\x0ac\" contains a line break"},
      {{"add", "<ERROR>"}, 2, "", "", "the service drops"},
      {{"add", "-x"}, 2, "", "", "unknown option -x"},
      {{"add"}, 2, "", "", "no NAME"},
      {{"trigger"}, 0, "", "1|", ""},
      {{"trigger", "now"}, 2, "", "", "takes no arguments"},
      {{"status", "--yaml"}, 2, "", "", "unknown argument"},
      {{"history", "--yaml"}, 2, "", "", "history: unknown option --yaml"},
      {{"wait"}, 2, "", "", "wait: no NAME"},
      {{"wait", "--timeout", "soon", "a"}, 2, "", "", "takes a number of seconds, not soon"},
      {{"wait", "--timeout", "-1", "a"}, 2, "", "", "takes a number of seconds"},
      {{"frobnicate", "x"}, 2, "", "", "unknown command"},
      {{}, 2, "", "", "no command"},
      {{"add", "--help", "x"}, 0, "", "", "Usage: plimctl add NAME..."},
  };
  Write(dir_ + "/Some Title.ts", "");
  for (const Case& c : cases) {
    std::filesystem::remove(files_.queue);
    Listen();
    std::string out, err;
    EXPECT_EQ(Run(c.args, &out, &err), c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(Read(files_.queue), c.queue) << testing::PrintToString(c.args);
    EXPECT_EQ(Received(c.datagrams.empty() ? 0 : 1), c.datagrams) << testing::PrintToString(c.args);
    EXPECT_NE((err + out).find(c.message), std::string::npos) << err << out;
    EXPECT_EQ(err.find("Some Title"), std::string::npos) << "its recording exists";
  }
}

TEST_F(CtlTest, TellsWhenNothingListens) {
  Listen();
  close(listener_);
  listener_ = -1;
  std::string out, err;
  EXPECT_EQ(Run({"trigger"}, &out, &err), 1);
  EXPECT_NE(err.find("is plimd running?"), std::string::npos) << err;
  EXPECT_EQ(Run({"add", "x"}, &out, &err), 0);
  EXPECT_EQ(Read(files_.queue), "x\n");
}

TEST_F(CtlTest, StatusShowsTheFilesAndChangesNone) {
  Write(files_.queue, "b\n<ERROR>\nc\x1b[2J\n");
  Write(files_.in_progress, "a\n");
  Write(files_.done, "x\ny\n");
  struct stat before[2], after[2];
  ASSERT_EQ(stat(files_.queue.c_str(), &before[0]), 0);
  ASSERT_EQ(stat(files_.done.c_str(), &before[1]), 0);
  std::string text, json, err;
  ASSERT_EQ(Run({"status"}, &text, &err), 0);
  ASSERT_EQ(Run({"status", "--json"}, &json, &err), 0);
  EXPECT_EQ(text, "in progress: a\nqueued: 2\n  b\n  c\\x1b[2J\ndone, oldest first: 2\n  x\n  y\n");
  EXPECT_EQ(json,
            "{\"queued\":[\"b\",\"c\\u001b[2J\"],\"in_progress\":\"a\",\"done\":[\"x\",\"y\"]}\n");
  ASSERT_EQ(stat(files_.queue.c_str(), &after[0]), 0);
  ASSERT_EQ(stat(files_.done.c_str(), &after[1]), 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(before[i].st_ino, after[i].st_ino);
    EXPECT_EQ(before[i].st_mtim.tv_nsec, after[i].st_mtim.tv_nsec);
  }

  std::filesystem::remove(files_.queue);
  std::filesystem::remove(files_.in_progress);
  ASSERT_EQ(Run({"status", "--json"}, &json, &err), 0);
  EXPECT_EQ(json, "{\"queued\":[],\"in_progress\":null,\"done\":[\"x\",\"y\"]}\n");
  EXPECT_FALSE(std::filesystem::exists(files_.queue));
  EXPECT_FALSE(std::filesystem::exists(files_.in_progress));
}

TEST(StatusJsonTest, EveryNameBecomesAValidJsonString) {
  const std::pair<std::string, std::string> cases[] = {
      {"Some Title", "\"Some Title\""},
      {"q\"\\/", "\"q\\\"\\\\/\""},
      {"\t\r\x7f", "\"\\u0009\\u000d\\u007f\""},
      {"caf\xc3\xa9 \xf0\x9f\x8e\xac", "\"caf\xc3\xa9 \xf0\x9f\x8e\xac\""},
      {"\xff"
       "a",
       "\"\\ufffda\""},                                          // a byte that starts nothing
      {"\xc3", "\"\\ufffd\""},                                   // cut short
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                        // overlong "/"
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // UTF-16 surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
  };
  for (const auto& [name, json] : cases) {
    JobLists lists;
    lists.in_progress = name;
    EXPECT_EQ(FormatJson(lists), "{\"queued\":[],\"in_progress\":" + json + ",\"done\":[]}\n")
        << name;
  }
}

}  // namespace
}  // namespace plim
