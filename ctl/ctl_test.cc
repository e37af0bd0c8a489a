#include "ctl/ctl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "ctl/history_cmds.h"
#include "ctl/log_record.h"
#include "ctl/status.h"
#include "ctl/udp_port.h"
#include "frame/instance.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

struct Result {
  int status;
  std::string out, err;
};

class CtlTest : public ScratchDirTest {
 protected:
  // Binds a UDP socket on the loopback and names its port in the configuration file.
  void SetUp() override {
    files_ = {Path("queue.txt"), Path("active.txt"), Path("done.txt"),
              Path("plim.conf"), Path("%s.ts"),      Path("plim.log"),
              Path("paused"),    Path("plimd.pid"),  Path("history")};
    listener_ = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener_, reinterpret_cast<struct sockaddr*>(&address), size), 0);
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<struct sockaddr*>(&address), &size), 0);
    WriteFile(files_.conf, "plim " + std::to_string(ntohs(address.sin_port)) + " 0\n");
  }
  void TearDown() override { close(listener_); }
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
      {{"add"}, 2, "", "no NAME"},
      {{"frobnicate", "x"}, 2, "", "unknown command"},
      {{}, 2, "", "no command"},
      {{"add", "--help", "x"}, 0, "", "Usage: plimctl add NAME..."},
  };
  WriteFile(dir_ + "/Some Title.ts", "");
  for (const Case& c : cases) {
    std::filesystem::remove(files_.queue);
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(ReadFile(files_.queue), c.queue) << testing::PrintToString(c.args);
    EXPECT_EQ(Received(!c.queue.empty()), c.queue.empty() ? "" : "1|")
        << testing::PrintToString(c.args);
    EXPECT_NE((r.err + r.out).find(c.message), std::string::npos) << r.err << r.out;
    EXPECT_EQ(r.err.find("Some Title"), std::string::npos) << "its recording exists";
  }
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
      {{"run"}, "x\n", 1, "x\n", "not queued; it is the job in progress, which plimctl kill ends"},
      {{"a"}, std::string("a\0junk\n", 7) + nul + "a", 0, nul, ""},
      {{"a"}, std::nullopt, 1, std::nullopt, "\"a\" is not queued"},
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

// Whether the service runs and how its jobs ended is checked against the running service; here
// the names: control characters escaped for the terminal, bytes that are not UTF-8 made U+FFFD
// in JSON, and the files left as they were.
TEST_F(CtlTest, StatusShowsNamesSafelyAndChangesNothing) {
  WriteFile(files_.queue, "b\n<ERROR>\nc\x1b[2J\xff\n");
  WriteFile(files_.in_progress, "a\n");
  WriteFile(files_.done, "x\ny\n");
  struct stat before, after;
  ASSERT_EQ(stat(files_.queue.c_str(), &before), 0);
  EXPECT_EQ(Run({"status"}).out,
            "service: not running\npaused: no\nsince start: (not running)\nlast: (none)\n"
            "in progress: a\nqueued: 2\n  b\n  c\\x1b[2J\xff\ndone, oldest first: 2\n  x\n  y\n");
  EXPECT_EQ(Run({"status", "--json"}).out,
            "{\"service\":{\"running\":false,\"listener\":null,\"worker\":null,"
            "\"waiting_for_port\":false},"
            "\"queued\":[\"b\",\"c\\u001b[2J\xef\xbf\xbd\"],\"in_progress\":\"a\","
            "\"done\":[\"x\",\"y\"],\"paused\":false,\"since_start\":null,\"last\":null}\n");
  ASSERT_EQ(stat(files_.queue.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  for (const std::string& path : {files_.queue, files_.in_progress, files_.done}) {
    std::filesystem::remove(path);
  }
  const std::string json = Run({"status", "--json"}).out;
  EXPECT_NE(json.find("\"queued\":[],\"in_progress\":null,\"done\":[]"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(files_.queue)) << "status makes no job list file";
}

// What a terminal would obey is escaped byte by byte; printable UTF-8, also with continuation
// bytes in 0x80..0x9f, and bytes that are not UTF-8 but no control stay.
TEST(PrintableTest, EscapesC0DelAndC1) {
  struct Case {
    std::string text;
    std::string name;      // Printable(text)
    std::string log_text;  // Printable(text, keep_lines)
  };
  const Case cases[] = {
      {"plain: Title / 2.", "plain: Title / 2.", "plain: Title / 2."},
      {"a\x1b[2Jb\x7f", "a\\x1b[2Jb\\x7f", "a\\x1b[2Jb\\x7f"},
      {"line\nbreak\ttab\r", "line\\x0abreak\\x09tab\\x0d", "line\nbreak\ttab\\x0d"},
      {"csi \xc2\x9b"
       "2J \xc2\x80 \xc2\x9f",
       "csi \\xc2\\x9b2J \\xc2\\x80 \\xc2\\x9f", "csi \\xc2\\x9b2J \\xc2\\x80 \\xc2\\x9f"},
      {"nbsp \xc2\xa0 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac",
       "nbsp \xc2\xa0 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac",
       "nbsp \xc2\xa0 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac"},
      {"raw \x9b"
       "2J \x80 \xff \xe2\x82",
       "raw \\x9b2J \\x80 \xff \xe2\\x82", "raw \\x9b2J \\x80 \xff \xe2\\x82"},
      {"overlong \xe0\x82\x9b", "overlong \xe0\\x82\\x9b", "overlong \xe0\\x82\\x9b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Printable(c.text), c.name) << testing::PrintToString(c.text);
    EXPECT_EQ(Printable(c.text, /*keep_lines=*/true), c.log_text) << testing::PrintToString(c.text);
  }
}

TEST_F(CtlTest, StatusAndRemoveEscapeC1InNames) {
  WriteFile(files_.queue,
            "q\xc2\x9b"
            "2J\n");
  WriteFile(files_.in_progress, "r\x9b\n");
  EXPECT_NE(Run({"status"}).out.find("in progress: r\\x9b\nqueued: 1\n  q\\xc2\\x9b2J\n"),
            std::string::npos);
  EXPECT_EQ(Run({"remove", "z\xc2\x9b"}).err, "plimctl: remove: \"z\\xc2\\x9b\" is not queued\n");
}

// The record goes to a file or pipe byte for byte, to a terminal with its control characters
// escaped, also where one is cut across two reads of the log.
class LogRecordTest : public ScratchDirTest {};

TEST_F(LogRecordTest, EscapesForATerminalOnly) {
  const std::string log = Path("plim.log");
  const std::string start = ">>>>>>>> plim start N\n";
  const std::string filler(65535 - start.size(), 'f');
  const std::string record = start + filler +
                             "\xc2\x9b"
                             "2J\x1b]0;x\x07\n\tok\n>>>>>>>> plim stop N\n";
  WriteFile(log, record);
  for (const bool printable : {false, true}) {
    char* bytes = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&bytes, &size);
    EXPECT_EQ(PrintLatestRecord(log, "N", printable, out), LogRecord::kPrinted);
    fclose(out);
    const std::string printed(bytes, size);
    free(bytes);
    EXPECT_EQ(printed, printable ? start + filler +
                                       "\\xc2\\x9b2J\\x1b]0;x\\x07\n\tok\n>>>>>>>> plim stop N\n"
                                 : record);
  }
}

// A line of /proc/PID/stat with the fields status looks at.
std::string StatLine(pid_t pid, const std::string& comm, char state, unsigned long long ticks) {
  return std::to_string(pid) + " (" + comm + ") " + state +
         " 1 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 " + std::to_string(ticks) +
         " 1000 100 18446744073709551615\n";
}

// A PID of the file counts only for a process that is the service's: by its name, its
// executable where that can be read, and its start time where the file records one.
TEST_F(CtlTest, StatusNamesOnlyTheProcessesThePidFileMeant) {
  struct Case {
    std::string pid_file;
    std::string comm;
    char state;
    std::string exe;  // the link's target; none when empty
    bool accepted;
  };
  const Case cases[] = {
      {"100 0 5 7777 0\n", "plimd", 'S', "/usr/sbin/plimd", true},
      {"100 0 5 7777 0\n", "plimd", 'S', "", true},
      {"100 0 5 7777 0\n", "plimd", 'S', "/usr/sbin/plimd (deleted)", true},
      {"100 0 5 7776 0\n", "plimd", 'S', "/usr/sbin/plimd", false},  // a later process
      {"100 0 5 7776 0\n", "plimd", 'S', "/home/u/plimd", false},
      {"100 0 5\n", "plimd", 'S', "/usr/sbin/plimd", true},  // an older service's file
      {"100 0 5\n", "plimd", 'S', "/usr/bin/sleep", false},
      {"100 0 5 7777 0\n", "plimd", 'Z', "/usr/sbin/plimd", false},
      {"100 0 5 7777 0\n", "plimd x", 'S', "/usr/sbin/plimd", false},
      {"100 0 5 7777 0 ab-1f\n", "plimd", 'S', "/usr/sbin/plimd", true},
      {"100 0 5 7776 0 ab-1f\n", "plimd", 'S', "/usr/sbin/plimd", false},
  };
  const std::string proc = Path("proc");
  for (const Case& c : cases) {
    std::filesystem::remove_all(proc);
    std::filesystem::create_directories(proc + "/100");
    WriteFile(proc + "/100/stat", StatLine(100, c.comm, c.state, 7777));
    if (!c.exe.empty()) std::filesystem::create_symlink(c.exe, proc + "/100/exe");
    WriteFile(files_.pid_file, c.pid_file);
    const ServiceProcesses p = ReadServiceProcesses(files_.pid_file, proc);
    EXPECT_EQ(p.listener, c.accepted ? 100 : 0) << c.pid_file << c.comm << " " << c.exe;
    EXPECT_EQ(p.started, c.accepted ? 5 : 0);
    const bool has_run = c.pid_file.find("ab-1f") != std::string::npos;
    EXPECT_EQ(p.run, c.accepted && has_run ? "ab-1f" : "") << c.pid_file;
  }
}

TEST_F(CtlTest, PidFileRecordsEachProcesssStartTime) {
  const std::string run = RunIdentity();
  ASSERT_TRUE(WritePidFile(files_.pid_file.c_str(), getpid(), 0, 5, run));
  PidFileLine line;
  ASSERT_TRUE(ReadPidFile(files_.pid_file.c_str(), &line));
  const unsigned long long ticks = StartTicks(ReadFile("/proc/self/stat"));
  ASSERT_NE(ticks, 0u);
  EXPECT_EQ(ReadFile(files_.pid_file),
            std::to_string(getpid()) + " 0 5 " + std::to_string(ticks) + " 0 " + run + "\n");
  EXPECT_EQ(line.listener_ticks, ticks);
  EXPECT_EQ(line.run, run);
  // One field of its own, and another run's even when made at once.
  EXPECT_EQ(run.find_first_of(" \t\n"), std::string::npos) << run;
  EXPECT_GT(run.size(), 17u) << run;
  EXPECT_NE(RunIdentity(), run);
  EXPECT_EQ(StartTicks(StatLine(9, "a) (b", 'S', 42)), 42u) << "a name with \") \"";
}

// `since start` counts this run's records whatever the clock read: records of an earlier boot
// that seem newer, and this run's written before the clock was set, are each told by their run.
TEST(SinceStartTest, CountsTheRecordsOfTheRunNotOfATime) {
  const auto record = [](const char* start, const char* run, ToolStatus::End end) {
    HistoryRecord r;
    r.start = start;
    r.run = run;
    r.analysis = {end, 0};
    r.mark = {ToolStatus::End::kExited, 0};
    return r;
  };
  using End = ToolStatus::End;
  const std::vector<HistoryRecord> records = {
      record("2030-01-01T00:00:00Z", "", End::kExited),           // an older version's
      record("2030-01-02T00:00:00Z", "earlier-1", End::kExited),  // an earlier boot's
      record("1970-01-01T00:01:00Z", "this-2", End::kExited),     // before the clock was set
      record("1970-01-01T00:02:00Z", "this-2", End::kTimeLimit),
      record("2026-12-07T10:00:00Z", "this-2", End::kSignaled),
      record("2026-12-07T10:00:01Z", "this-2", End::kKilled),  // not a time limit
  };
  const time_t started = 1796637600;  // 2026-12-07T10:00:00Z
  const struct {
    std::string run;
    int ok, failed, time_limit, killed;
  } cases[] = {
      {"this-2", 1, 1, 1, 1},
      {"earlier-1", 1, 0, 0, 0},
      {"gone-3", 0, 0, 0, 0},
      {"", 2, 1, 0, 1},  // a service that names no run: by the times, as before
  };
  for (const auto& c : cases) {
    const Outcomes n = CountSince(records, started, c.run);
    EXPECT_EQ(n.ok, c.ok) << c.run;
    EXPECT_EQ(n.failed, c.failed) << c.run;
    EXPECT_EQ(n.time_limit, c.time_limit) << c.run;
    EXPECT_EQ(n.killed, c.killed) << c.run;
  }
  HistoryRecord unset = records[2];
  unset.clock_unset = true;
  unset.name = "News";
  EXPECT_EQ(FormatHistoryLine(unset),
            "1970-01-01T00:01:00Z (clock unset)  0.000 s  ok  exit 0 / exit 0  News\n");
}

TEST(UdpPortTest, ParsesProcNetUdp) {
  const std::string text =
      "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode ref pointer drops\n"
      "  412: 00000000:62A4 00000000:0000 07 00000000:00000000 00:00000000 00000000     0  "
      "      0 31337 2 0000000000000000 0\n"
      " 1023: 0100007F:E3F1 0100007F:62A4 01 00000000:00000000 00:00000000 00000000  1000  "
      "      0 4242 2 0000000000000000 0\n"
      "  7: 00000000000000000000000000000000:62A4 00000000000000000000000000000000:0000 07 "
      "00000000:00000000 00:00000000 00000000   108        0 99 2 0000000000000000 0\n"
      "garbage\n";
  const std::vector<UdpSocket> sockets = ParseProcNetUdp(text);
  ASSERT_EQ(sockets.size(), 3u);
  const UdpSocket expected[] = {{25252, 0, 31337}, {58353, 1000, 4242}, {25252, 108, 99}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sockets[i].port, expected[i].port) << i;
    EXPECT_EQ(sockets[i].uid, expected[i].uid) << i;
    EXPECT_EQ(sockets[i].inode, expected[i].inode) << i;
  }
}

class UdpPortProcTest : public ScratchDirTest {
 protected:
  // A fake /proc: process `pid` called `comm` with sockets of `inodes` on its descriptors, or
  // with descriptors that cannot be read for none.
  void Process(pid_t pid, const std::string& comm, const std::optional<std::vector<int>>& inodes) {
    const std::string folder = Path("proc/" + std::to_string(pid));
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/comm", comm + "\n");
    if (!inodes) return;
    std::filesystem::create_directories(folder + "/fd");
    int fd = 3;
    for (int inode : *inodes) {
      std::filesystem::create_symlink("socket:[" + std::to_string(inode) + "]",
                                      folder + "/fd/" + std::to_string(fd++));
    }
  }
  void Sockets(const std::string& lines) {
    std::filesystem::create_directories(Path("proc/net"));
    WriteFile(Path("proc/net/udp"), "  sl  local_address ...\n" + lines);
  }
  static std::string Line(const char* port, int uid, int inode) {
    return std::string("  1: 00000000:") + port +
           " 00000000:0000 07 00000000:00000000 00:00000000 00000000 " + std::to_string(uid) +
           " 0 " + std::to_string(inode) + " 2 0000000000000000 0\n";
  }
};

// 25252 is 62A4 in hex.
TEST_F(UdpPortProcTest, TellsWhoHoldsTheListenersPort) {
  struct Case {
    const char* what;
    std::string sockets;
    std::optional<std::vector<int>> listener_fds;  // none: not readable (not root)
    bool other_process;                            // process 200 has socket 7
    bool waiting;
    pid_t pid;
    int uid;  // -1: none known
  };
  const Case cases[] = {
      {"bound", Line("62A4", 0, 5), std::vector<int>{5}, false, false, 0, -1},
      {"held by another", Line("62A4", 1000, 7), std::vector<int>{5}, true, true, 200, 1000},
      {"held, process unseen", Line("62A4", 1000, 7), std::vector<int>{5}, false, true, 0, 1000},
      {"held by root", Line("62A4", 0, 7), std::vector<int>{}, true, true, 200, 0},
      {"free", Line("62A5", 0, 5), std::vector<int>{5}, false, true, 0, -1},
      {"not root, root's", Line("62A4", 0, 5), std::nullopt, false, false, 0, -1},
      {"not root, a user's", Line("62A4", 1000, 7), std::nullopt, true, true, 200, 1000},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(Path("proc"));
    Process(100, "plimd", c.listener_fds);
    if (c.other_process) Process(200, "nc", std::vector<int>{7});
    Sockets(c.sockets);
    const PortHolder h = CheckListenerPort(100, 25252, Path("proc"));
    EXPECT_EQ(h.waiting, c.waiting) << c.what;
    EXPECT_EQ(h.pid, c.pid) << c.what;
    EXPECT_EQ(h.comm, c.pid != 0 ? "nc" : "") << c.what;
    EXPECT_EQ(h.uid_known ? static_cast<int>(h.uid) : -1, c.uid) << c.what;
  }
}

TEST(StatusTextTest, SaysWhatThePortIsHeldBy) {
  StatusReport status;
  status.service = {10, 11, 0, ""};
  status.port = 25252;
  const std::string running = "service: running (listener 10, worker 11)\n";
  const struct {
    std::optional<PortHolder> holder;
    std::string line;
  } cases[] = {
      {std::nullopt, ""},
      {PortHolder{false, 0, "", false, 0}, ""},
      {PortHolder{true, 0, "", false, 0}, "listener: waiting for UDP port 25252\n"},
      {PortHolder{true, 0, "", true, 1000},
       "listener: waiting for UDP port 25252, held by uid 1000\n"},
      {PortHolder{true, 77, "n\x1b", true, 1000},
       "listener: waiting for UDP port 25252, held by process 77 (n\\x1b)\n"},
  };
  for (const auto& c : cases) {
    status.holder = c.holder;
    EXPECT_EQ(FormatText(status).substr(0, running.size() + c.line.size() + 7),
              running + c.line + "paused:");
    EXPECT_NE(FormatJson(status).find(std::string("\"waiting_for_port\":") +
                                      (c.holder && c.holder->waiting ? "true" : "false")),
              std::string::npos);
  }
}

}  // namespace
}  // namespace plim

namespace plim {
namespace {

// kill acts on the job in progress only, and asks nothing of the service otherwise.
TEST_F(CtlTest, KillRefusesANameNotInProgress) {
  files_.kill_request = Path("plimd.kill");
  WriteFile(files_.in_progress, "run\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{"kill", "other"}, 1, geteuid() == 0 ? "\"other\" is not the job in progress" : "root"},
      {{"kill"}, 2, "one NAME only"},
      {{"kill", "run", "other"}, 2, "one NAME only"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(files_.kill_request));
  }
}

// A record is looked for in the log, then in the log the last start kept.
TEST_F(CtlTest, LogFallsBackToTheKeptLog) {
  const std::string record = ">>>>>>>> plim start N\nold\n>>>>>>>> plim stop N\n";
  WriteFile(files_.log, ">>>>>>>> plim start M\n>>>>>>>> plim stop M\n");
  WriteFile(files_.log + ".1", record);
  Result r = Run({"log", "N"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, record);
  WriteFile(files_.log, ">>>>>>>> plim start N\nnew\n>>>>>>>> plim stop N\n");
  r = Run({"log", "N"});
  EXPECT_NE(r.out.find("new"), std::string::npos) << r.out;
  EXPECT_EQ(Run({"log", "X"}).status, 1);
}

}  // namespace
}  // namespace plim
