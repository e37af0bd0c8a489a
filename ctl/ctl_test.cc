#include "ctl/ctl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "jobs/history.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

struct Result {
  int status;
  std::string out, err;
};

class CtlTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    files_ = {Path("queue.txt"), Path("active.txt"), Path("done.txt"),
              Path("plim.conf"), Path("%s.ts"),      Path("plim.log"),
              Path("paused"),    Path("plimd.pid"),  Path("history")};
  }
  void TearDown() override {
    if (listener_ >= 0) close(listener_);
  }
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
    WriteFile(files_.conf, "plim " + std::to_string(ntohs(address.sin_port)) + " 0\n");
  }
  // The datagrams received, waiting up to ten seconds for the first when one is `expected`.
  std::string Received(bool expected) {
    struct pollfd ready = {listener_, POLLIN, 0};
    if (expected) poll(&ready, 1, 10000);
    std::string bytes;
    char datagram[64];
    for (ssize_t n; (n = recv(listener_, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;) {
      bytes += std::string(datagram, n) + "|";
    }
    return bytes;
  }
  Result Run(const std::vector<std::string>& args) {
    char *out = nullptr, *err = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE* out_file = open_memstream(&out, &out_size);
    FILE* err_file = open_memstream(&err, &err_size);
    Result result = {RunCtl(args, files_, out_file, err_file), "", ""};
    fclose(out_file);
    fclose(err_file);
    result.out.assign(out, out_size);
    result.err.assign(err, err_size);
    free(out);
    free(err);
    return result;
  }
  CtlFiles files_;
  int listener_ = -1;
};

TEST_F(CtlTest, CommandsQueueNamesAndSendOneTrigger) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string queue;    // one trigger follows the names queued, none goes without
    std::string message;  // found in stderr, or in stdout for help
  };
  const Case cases[] = {
      {{"add", "Some Title", "News 20:15 / Part 2."},
       0,
       "Some Title\nNews 20:15 / Part 2.\n",
       "no recording " + dir_ + "/News 20_15 _ Part 2_.ts"},
      {{"add", "--", "-x", "--"}, 0, "-x\n--\n", "queued all the same"},
      {{"add", "a", "", "b"}, 2, "", "is empty; nothing queued"},
      {{"add", "a", "b\nc"}, 2, "", "\"b\\x0ac\" contains a line break"},
      {{"add", "<ERROR>"}, 2, "", "the service drops"},
      {{"add", "-x"}, 2, "", "unknown option -x"},
      {{"add"}, 2, "", "no NAME"},
      {{"trigger", "now"}, 2, "", "takes no arguments"},
      {{"status", "--yaml"}, 2, "", "unknown argument"},
      {{"history", "--yaml"}, 2, "", "history: unknown option --yaml"},
      {{"wait"}, 2, "", "wait: no NAME"},
      {{"wait", "--timeout", "soon", "a"}, 2, "", "takes a number of seconds, not soon"},
      {{"wait", "--timeout", "-1", "a"}, 2, "", "takes a number of seconds"},
      {{"frobnicate", "x"}, 2, "", "unknown command"},
      {{}, 2, "", "no command"},
      {{"add", "--help", "x"}, 0, "", "Usage: plimctl add NAME..."},
  };
  WriteFile(dir_ + "/Some Title.ts", "");
  for (const Case& c : cases) {
    std::filesystem::remove(files_.queue);
    Listen();
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(ReadFile(files_.queue), c.queue) << testing::PrintToString(c.args);
    EXPECT_EQ(Received(!c.queue.empty()), c.queue.empty() ? "" : "1|")
        << testing::PrintToString(c.args);
    EXPECT_NE((r.err + r.out).find(c.message), std::string::npos) << r.err << r.out;
    EXPECT_EQ(r.err.find("Some Title"), std::string::npos) << "its recording exists";
  }
}

TEST_F(CtlTest, TellsWhenNothingListens) {
  Listen();
  close(listener_);
  listener_ = -1;
  const Result trigger = Run({"trigger"});
  EXPECT_EQ(trigger.status, 1);
  EXPECT_NE(trigger.err.find("is plimd running?"), std::string::npos) << trigger.err;
  EXPECT_EQ(Run({"add", "x"}).status, 0);
  EXPECT_EQ(ReadFile(files_.queue), "x\n");
}

TEST_F(CtlTest, RemoveTakesEveryEntryOfEachNameAndNothingElse) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> queue;  // before; none for no file
    int status;
    std::optional<std::string> after;
    std::string message;  // found in stderr
  };
  const std::string nul("x\0y\n", 4);
  const Case cases[] = {
      {{"b", "a"}, "a\nb\na\nc\n<ERROR>\nb\n", 0, "c\n<ERROR>\n", ""},
      {{"Some Title"}, "some title\nSome Title\nSome Title \n", 0, "some title\nSome Title \n", ""},
      {{"a", "zz", "b", "a"}, "a\nb\nc\n", 1, "c\n", "remove: \"zz\" is not queued\n"},
      {{"run"}, "x\n", 1, "x\n", "\"run\" is not queued; it is the job in progress"},
      {{"a"}, std::string("a\0junk\n", 7) + nul + "a", 0, nul, ""},
      {{"--", "-x"}, "-x\nb", 0, "b\n", ""},
      {{"a"}, std::nullopt, 1, std::nullopt, "\"a\" is not queued"},
      {{}, "a\n", 2, "a\n", "remove: no NAME given"},
      {{"-x"}, "-x\n", 2, "-x\n", "unknown option -x"},
      {{"a", "b\nc"}, "a\n", 2, "a\n", "contains a line break"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(files_.queue);
    if (c.queue) WriteFile(files_.queue, *c.queue);
    WriteFile(files_.in_progress, "run\n");
    std::vector<std::string> args = {"remove"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(args);
    EXPECT_EQ(std::filesystem::exists(files_.queue), c.after.has_value());
    EXPECT_EQ(ReadFile(files_.queue), c.after.value_or("")) << testing::PrintToString(args);
    EXPECT_EQ(ReadFile(files_.in_progress), "run\n");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    // One line for the name not queued; a usage error adds the pointer to --help.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.message.empty() ? 0 : c.status)
        << r.err;
  }
}

std::string Record(const std::string& name, const std::string& body, bool stopped = true) {
  return ">>>>>>>> plim start " + name + "\n" + body +
         (stopped ? ">>>>>>>> plim stop " + name + "\n" : "");
}

TEST_F(CtlTest, LogPrintsTheLatestRecordOfTheName) {
  // Puts the start line of the record after it across the 64 KiB boundary of reading.
  const std::string filler = std::string(65536 - 10 - 1, 'f') + "\n";
  const std::string big = Record("big", std::string(70000, 'b') + "\n");
  struct Case {
    std::string name;
    std::string before, record, after;  // the log, "" for none; the record printed, if any
  };
  const Case cases[] = {
      {"a", Record("a", "old\n") + Record("ab", "x\n"), Record("a", "new\n"), Record("b", "")},
      {"x/y:z", "", Record("x_y_z", "1\n"), "x>>>>>>>> plim start x_y_z\n"},
      {"a b", Record("a b", "done\n"), Record("a b", "so far\n", false), ""},
      {"cut", "", Record("cut", "half\n", false), Record("next", "") + "x\n"},
      {"big", filler, big, ""},
      {"a", Record("a b", "") + Record("ab", ""), "", ""},
      {"a", "", "", ""},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(files_.log);
    const std::string log = c.before + c.record + c.after;
    if (!log.empty()) WriteFile(files_.log, log);
    const Result r = Run({"log", c.name});
    EXPECT_EQ(r.status, c.record.empty() ? 1 : 0) << c.name;
    EXPECT_EQ(r.out, c.record) << c.name;
    EXPECT_EQ(r.err.empty(), !c.record.empty()) << r.err;
  }
  EXPECT_EQ(Run({"log", "a", "b"}).status, 2);
}

TEST_F(CtlTest, PauseWritesTheMarkAndResumeRemovesItAndTriggers) {
  const struct {
    std::string command;
    bool paused;
    bool trigger;
  } cases[] = {{"resume", false, true}, {"pause", true, false},  {"pause", true, false},
               {"trigger", true, true}, {"resume", false, true}, {"resume", false, true}};
  const mode_t old_mask = umask(077);
  for (const auto& c : cases) {
    Listen();
    EXPECT_EQ(Run({c.command}).status, 0) << c.command;
    struct stat info = {};
    EXPECT_EQ(stat(files_.paused.c_str(), &info) == 0, c.paused) << c.command;
    if (c.paused) {
      EXPECT_EQ(info.st_mode & 07777, 0644u);
    }
    EXPECT_EQ(Received(c.trigger), c.trigger ? "1|" : "") << c.command;
  }
  umask(old_mask);
  EXPECT_EQ(Run({"pause", "now"}).status, 2);
  files_.paused = Path("missing/paused");
  const Result r = Run({"pause"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write " + files_.paused), std::string::npos) << r.err;
}

// A child that waits to be killed, called `name`; killed too when the test aborts.
pid_t Process(const char* name) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_NAME, name);
    pause();
    _exit(0);
  }
  return pid;
}

HistoryRecord Job(const char* name, const char* start, ToolStatus analysis) {
  HistoryRecord record;
  record.name = name;
  record.start = start;
  record.seconds = 0.25;
  record.analysis = analysis;
  record.mark = {ToolStatus::End::kExited, 0};
  return record;
}

TEST_F(CtlTest, StatusShowsServiceJobsAndOutcomesAndChangesNothing) {
  const pid_t listener = Process("plimd"), worker = Process("plimd"), other = Process("sleep");
  // Only once the child has renamed itself does it pass for the service.
  const auto named = [](pid_t pid) {
    return ReadFile("/proc/" + std::to_string(pid) + "/comm") == "plimd\n";
  };
  while (!named(listener) || !named(worker)) usleep(1000);
  const std::string l = std::to_string(listener), w = std::to_string(worker);
  const std::string o = std::to_string(other);
  const std::string started = " 1796609400\n";  // 2026-12-07T02:10:00Z
  using End = ToolStatus::End;
  HistoryRecord last = Job("last", "2026-12-08T00:00:00Z", {End::kSignaled, 9});
  last.rerun = true;
  last.mark = {};
  std::string last_json = FormatRecord(last);
  last_json.pop_back();  // the line break
  const std::string history =
      FormatRecord(Job("before", "2026-12-07T02:09:59Z", {End::kExited, 0})) +
      FormatRecord(Job("at", "2026-12-07T02:10:00Z", {End::kExited, 0})) + "not a record\n" +
      FormatRecord(Job("hung", "2026-12-07T03:00:00Z", {End::kTimeLimit, 0})) + last_json + "\n";
  const std::string last_line =
      "last: 2026-12-08T00:00:00Z  0.250 s  failed (rerun)  signal 9 / not run  last";
  // Names that are not UTF-8 become U+FFFD in JSON; control characters are escaped.
  WriteFile(files_.queue, "b\n<ERROR>\nc\x1b[2J\xff\n");
  WriteFile(files_.in_progress, "a\n");
  WriteFile(files_.done, "x\ny\n");
  const std::string lists =
      "in progress: a\nqueued: 2\n  b\n  c\\x1b[2J\xff\ndone, oldest first: 2\n  x\n  y\n";
  const std::string lists_json =
      "\"queued\":[\"b\",\"c\\u001b[2J\xef\xbf\xbd\"],\"in_progress\":\"a\",\"done\":[\"x\",\"y\"]"
      ",";
  struct stat before, after;
  ASSERT_EQ(stat(files_.queue.c_str(), &before), 0);
  struct Case {
    std::string pid_file;
    bool paused;
    bool history;
    std::string text;  // the lines before "in progress"
    std::string json;  // the service object
    std::string tail;  // what follows "done"
  };
  const Case cases[] = {
      {l + " " + w + started, true, true,
       "running (listener " + l + ", worker " + w +
           ")\npaused: yes\nsince start: 1 ok, 1 failed, 1 time limit\n" + last_line,
       "{\"running\":true,\"listener\":" + l + ",\"worker\":" + w + "}",
       "\"paused\":true,\"since_start\":{\"ok\":1,\"failed\":1,\"time limit\":1},\"last\":" +
           last_json},
      {l + " 0" + started, false, false,
       "listener " + l +
           " running, worker missing\npaused: no\nsince start: 0 ok, 0 failed, 0 time "
           "limit\nlast: (none)",
       "{\"running\":false,\"listener\":" + l + ",\"worker\":null}",
       "\"paused\":false,\"since_start\":{\"ok\":0,\"failed\":0,\"time limit\":0},"
       "\"last\":null"},
      {o + " " + w + "\n", false, true,
       "worker " + w + " running, listener missing\npaused: no\nsince start: (unknown)\n" +
           last_line,
       "{\"running\":false,\"listener\":null,\"worker\":" + w + "}",
       "\"paused\":false,\"since_start\":null,\"last\":" + last_json},
  };
  for (const Case& c : cases) {
    WriteFile(files_.pid_file, c.pid_file);
    std::filesystem::remove(files_.paused);
    if (c.paused) WriteFile(files_.paused, "");
    WriteFile(files_.history, c.history ? history : "");
    EXPECT_EQ(Run({"status"}).out, "service: " + c.text + "\n" + lists);
    EXPECT_EQ(Run({"status", "--json"}).out,
              "{\"service\":" + c.json + "," + lists_json + c.tail + "}\n");
  }
  ASSERT_EQ(stat(files_.queue.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  for (const std::string& path : {files_.queue, files_.in_progress, files_.done}) {
    std::filesystem::remove(path);
  }
  const std::string json = Run({"status", "--json"}).out;
  EXPECT_NE(json.find("\"queued\":[],\"in_progress\":null,\"done\":[]"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(files_.queue)) << "status makes no job list file";
  for (pid_t pid : {listener, worker, other}) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace
}  // namespace plim
