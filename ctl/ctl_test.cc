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
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "ctl/command_line.h"
#include "ctl/log.h"
#include "ctl/status.h"
#include "joblist/pid_file.h"
#include "tests/scratch_dir.h"

namespace plim {
namespace {

// What `write` prints to the stream it is given.
std::string Printed(const std::function<void(FILE*)>& write) {
  char* bytes = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&bytes, &size);
  write(out);
  fclose(out);
  std::string printed(bytes, size);
  free(bytes);
  return printed;
}

std::string Lines(int from, int to, const std::string& prefix = "line ") {
  std::string text;
  for (int i = from; i <= to; ++i) text += prefix + std::to_string(i) + "\n";
  return text;
}

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
    files_.settings = Path("plimd.conf");
    files_.kill_request = Path("plimd.kill");
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
    Result r;
    r.out = Printed([&](FILE* out) {
      r.err = Printed([&](FILE* err) { r.status = RunCtl(args, files_, out, err); });
    });
    return r;
  }
  CtlFiles files_;
  int listener_ = -1;
};

// One parser serves every command: getopt_long's forms of a value, "--" and the operand counts.
// A job's folder is "<converted name>.rec", one file name of at most 255 bytes; a name that
// cannot fit, or that the queue could not hold, is refused before anything is queued, as if
// none of the names had been given.
TEST_F(CtlTest, CommandsQueueNamesAndSendOneTrigger) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string queue;    // one trigger follows the names queued, none goes without
    std::string message;  // found once in stderr, or in stdout for help
    std::string out = "";
  };
  const std::string fits(251, 'a'), too_long(252, 'b'), slashes(252, '/');
  const std::string limit =
      "\" is too long: with \".rec\" added for its work folder it passes the file-name limit of "
      "255 bytes; nothing queued";
  const Case cases[] = {
      {{"add", "Some Title", "News 20:15 / Part 2."},
       0,
       "Some Title\nNews 20:15 / Part 2.\n",
       "no recording " + dir_ + "/News 20_15 _ Part 2_.ts"},
      {{"add", "--", "-x", "--"}, 0, "-x\n--\n", "no recording " + dir_ + "/-x.ts"},
      {{"add", "a", "", "b"}, 2, "", "is empty; nothing queued"},
      {{"add", "a", "b\nc"}, 2, "", "\"b\\x0ac\" contains a line break"},
      {{"add", "<ERROR>"}, 2, "", "the service drops"},
      {{"add", fits}, 0, fits + "\n", "queued all the same"},
      {{"add", too_long}, 2, "", "\"" + too_long + limit},
      {{"add", slashes}, 2, "", "\"" + slashes + limit},
      {{"add", "--first", "x", too_long}, 2, "", "\"" + too_long + limit},
      {{"add"}, 2, "", "add: no NAME given"},
      {{"frobnicate", "x"}, 2, "", "unknown command"},
      {{}, 2, "", "no command"},
      {{"add", "--help", "x"}, 0, "", "Usage: plimctl add [--first] NAME..."},
      {{"wait", "run", "--timeout", "0"}, 124, "", "wait: timed out"},
      {{"wait", "--timeout"}, 2, "", "wait: --timeout takes a value\n"},
      {{"wait", "--timeout=x", "run"}, 2, "", "takes a number of seconds, not x"},
      {{"status", "--json=1"}, 2, "", "status: --json takes no value\n"},
      {{"status", "--bogus"}, 2, "", "unknown option --bogus (put -- before a NAME with a -)"},
      {{"history", "-x", "done"}, 2, "", "history: unknown option -x"},
      {{"history", "nothing", "done", "nothing", "--json"},
       1,
       "",
       "history: no record of \"nothing\"\n",
       "\"name\":\"done\""},
      {{"log", "a", "b"}, 2, "", "log: one NAME only"},
      {{"pause", "x"}, 2, "", "pause takes no arguments"},
  };
  WriteFile(dir_ + "/Some Title.ts", "");
  WriteFile(files_.in_progress, "run\n");
  HistoryRecord done;
  done.name = "done";
  WriteFile(files_.history, FormatRecord(done));
  for (const Case& c : cases) {
    std::filesystem::remove(files_.queue);
    const Result r = Run(c.args);
    const std::string shown = testing::PrintToString(c.args).substr(0, 80);
    EXPECT_EQ(r.status, c.status) << shown;
    EXPECT_EQ(ReadFile(files_.queue), c.queue) << shown;
    EXPECT_EQ(Received(!c.queue.empty()), c.queue.empty() ? "" : "1|") << shown;
    const std::string said = r.err + r.out;
    const size_t at = said.find(c.message);
    EXPECT_NE(at, std::string::npos) << said;
    EXPECT_EQ(said.find(c.message, at + 1), std::string::npos) << "said twice: " << said;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << shown;
    EXPECT_EQ(r.err.find("Some Title"), std::string::npos) << "its recording exists";
  }
}

// How lines are matched and kept byte for byte is QueueEditTest's; here what remove says and
// that it never touches the job in progress.
TEST_F(CtlTest, RemoveTakesEveryEntryOfEachNameAndNothingElse) {
  struct Case {
    std::vector<std::string> args;
    std::string queue;  // before
    int status;
    std::string after;
    std::string message;  // found in stderr
  };
  const Case cases[] = {
      {{"Some Title"}, "some title\nSome Title\nSome Title \n", 0, "some title\nSome Title \n", ""},
      {{"a", "zz", "b", "a"}, "a\nb\nc\n", 1, "c\n", "remove: \"zz\" is not queued\n"},
      {{"run"}, "x\n", 1, "x\n", "not queued; it is the job in progress, which plimctl kill ends"},
      {{"a", "b\nc"}, "a\n", 2, "a\n", "contains a line break"},
      {{"z\xc2\x9b"}, "a\n", 1, "a\n", "plimctl: remove: \"z\\xc2\\x9b\" is not queued\n"},
  };
  WriteFile(files_.in_progress, "run\n");
  for (const Case& c : cases) {
    WriteFile(files_.queue, c.queue);
    std::vector<std::string> args = {"remove"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(args);
    EXPECT_EQ(ReadFile(files_.queue), c.after) << testing::PrintToString(args);
    EXPECT_EQ(ReadFile(files_.in_progress), "run\n");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    // One line for the name not queued; a usage error adds the pointer to --help.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.message.empty() ? 0 : c.status)
        << r.err;
  }
}

// Whether the service runs and how its jobs ended is checked against the running service; here
// the names: control characters (C1 too) escaped for the terminal, bytes that are not UTF-8
// made U+FFFD in JSON, and the files left as they were.
TEST_F(CtlTest, StatusShowsNamesSafelyAndChangesNothing) {
  WriteFile(files_.queue,
            "b\n<ERROR>\nc\x1b[2J\xff\nq\xc2\x9b"
            "2J\n");
  WriteFile(files_.in_progress, "a\x9b\n");
  WriteFile(files_.done, "x\ny\n");
  struct stat before, after;
  ASSERT_EQ(stat(files_.queue.c_str(), &before), 0);
  EXPECT_EQ(Run({"status"}).out,
            "service: not running\npaused: no\nsince start: (not running)\nlast: (none)\n"
            "in progress: a\\x9b\nqueued: 3\n  b\n  c\\x1b[2J\\xff\n  q\\xc2\\x9b2J\n"
            "done, oldest first: 2\n  x\n  y\n");
  EXPECT_EQ(Run({"status", "--json"}).out,
            "{\"service\":{\"running\":false,\"listener\":null,\"worker\":null,"
            "\"waiting_for_port\":false},\"queued\":[\"b\",\"c\\u001b[2J\xef\xbf\xbd\","
            "\"q\xc2\x9b"
            "2J\"],\"in_progress\":\"a\xef\xbf\xbd\","
            "\"done\":[\"x\",\"y\"],\"paused\":false,\"since_start\":null,\"last\":null,"
            "\"settings\":{\"file\":\"" +
                dir_ + "/plimd.conf\",\"ignored\":false,\"problems\":[]},\"job\":null}\n");
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

// What a terminal would obey, and every byte that is not part of valid UTF-8, is escaped byte by
// byte; printable UTF-8, also with continuation bytes in 0x80..0x9f, stays.
TEST(PrintableTest, EscapesC0DelC1AndWhatIsNotUtf8) {
  struct Case {
    std::string text;
    std::string name;           // Printable(text)
    std::string log_text = "";  // Printable(text, keep_lines), where it differs
  };
  const Case cases[] = {
      {"plain: Title / 2.", "plain: Title / 2."},
      {"a\x1b[2Jb\x7f", "a\\x1b[2Jb\\x7f"},
      {"line\nbreak\ttab\r", "line\\x0abreak\\x09tab\\x0d", "line\nbreak\ttab\\x0d"},
      {"csi \xc2\x9b"
       "2J \xc2\x80 \xc2\x9f",
       "csi \\xc2\\x9b2J \\xc2\\x80 \\xc2\\x9f"},
      {"nbsp \xc2\xa0 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac",
       "nbsp \xc2\xa0 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac"},
      {"raw \x9b"
       "2J \x80 \xff \xe2\x82",
       "raw \\x9b2J \\x80 \\xff \\xe2\\x82"},
      {"overlong \xe0\x82\x9b \xc0\xaf", "overlong \\xe0\\x82\\x9b \\xc0\\xaf"},
      {"latin-1 caf\xe9\n", "latin-1 caf\\xe9\\x0a", "latin-1 caf\\xe9\n"},
      {"surrogate \xed\xa0\x80 beyond \xf4\x90\x80\x80 \xf5",
       "surrogate \\xed\\xa0\\x80 beyond \\xf4\\x90\\x80\\x80 \\xf5"},
      {"cut \xf0\x9f\x8e! whole \xf0\x9f\x8e\xac", "cut \\xf0\\x9f\\x8e! whole \xf0\x9f\x8e\xac"},
  };
  for (const Case& c : cases) {
    const std::string& log_text = c.log_text.empty() ? c.name : c.log_text;
    EXPECT_EQ(Printable(c.text), c.name) << testing::PrintToString(c.text);
    EXPECT_EQ(Printable(c.text, /*keep_lines=*/true), log_text) << testing::PrintToString(c.text);
  }
}

class LogRecordTest : public ScratchDirTest {};

// A record, or with --tail its last N lines, the stop line counted, a last line without its
// break too (a carriage return ends no line); byte for byte to a file or pipe, to a terminal
// with its control characters escaped, also where one is cut across two reads of the log.
TEST_F(LogRecordTest, PrintsTheRecordOrItsLastLines) {
  const std::string start = ">>>>>>>> plim start N\n";
  const std::string other = ">>>>>>>> plim start O\nother\n>>>>>>>> plim stop O\n";
  const std::string stop = ">>>>>>>> plim stop N\n";
  const std::string filler = start + std::string(65535 - start.size(), 'f');
  const std::string controls =
      "\xc2\x9b"
      "2J\x1b]0;x\x07\n\tok caf\xe9\n";
  const struct {
    const char* what;
    std::string log;
    size_t tail;
    bool printable;
    std::string printed;
  } cases[] = {
      {"to a file", filler + controls + stop, SIZE_MAX, false, filler + controls + stop},
      {"to a terminal", filler + controls + stop, SIZE_MAX, true,
       filler + "\\xc2\\x9b2J\\x1b]0;x\\x07\n\tok caf\\xe9\n" + stop},
      {"cut short by the next record", start + "a\nb\n" + other, 1, false, "b\n"},
      {"the latest record", start + "old\n" + stop + start + "new\n" + stop, 2, false,
       "new\n" + stop},
      {"a last line without its break", start + "a\nb\nc", 2, false, "b\nc"},
      {"carriage returns", start + "a\n1%\r2%\r\nb\n", 2, false, "1%\r2%\r\nb\n"},
      {"a long record", start + Lines(1, 40000) + stop, 3, false,
       "line 39999\nline 40000\n" + stop},
  };
  const std::string log = Path("plim.log");
  for (const auto& c : cases) {
    WriteFile(log, c.log);
    EXPECT_EQ(Printed([&](FILE* out) {
                EXPECT_EQ(PrintLatestRecord(log, "N", c.printable, out, c.tail),
                          LogRecord::kPrinted);
              }),
              c.printed)
        << c.what;
  }
}

// What status reads of the log's end: the tool whose part the log ends in and its last line,
// read backwards in pieces, also across a piece's edge and for a line longer than is kept.
TEST_F(LogRecordTest, TellsTheRunningToolAndItsLastLine) {
  const std::string start = ">>>>>>>> plim start N\n*************** plim ***************\n";
  const std::string mark = "*************** plim_mark ***************\n";
  const std::string stop = ">>>>>>>> plim stop N\n";
  const std::string long_line(70000, 'x');
  const struct {
    const char* what;
    std::string log;
    bool in_record;
    std::string tool;
    std::optional<std::string> last_line;
  } cases[] = {
      {"no log", "", false, "", std::nullopt},
      {"a record with its stop line", start + "a\n" + mark + "m\n" + stop, false, "", std::nullopt},
      {"nothing printed yet", start, true, "plim", std::nullopt},
      {"a last line without its break", start + "a\nbc", true, "plim", "bc"},
      {"blank lines after it", start + "a\n\n \t\r\n", true, "plim", "a"},
      {"carriage returns", start + "x\r50%\r60%\r\n", true, "plim", "60%"},
      {"the mark tool", start + "a\n" + mark + "m1\nm2\n", true, "plim_mark", "m2"},
      {"the mark tool, silent", start + "a\n" + mark, true, "plim_mark", std::nullopt},
      {"after a finished record", "old\n" + stop + start + "new\n", true, "plim", "new"},
      {"a long part before the mark tool", start + Lines(1, 40000) + mark, true, "plim_mark",
       std::nullopt},
      {"a line longer than is kept", start + long_line, true, "plim",
       long_line.substr(0, kLineHead)},
  };
  for (const auto& c : cases) {
    const std::string log = Path(std::string("log ") + c.what);
    if (!c.log.empty()) WriteFile(log, c.log);
    const ToolOutput output = ReadToolOutput(log);
    EXPECT_EQ(output.in_record, c.in_record) << c.what;
    EXPECT_EQ(output.tool, c.tool) << c.what;
    EXPECT_EQ(output.last_line, c.last_line) << c.what;
  }
}

// log --follow across pieces of lines, a record cut short by another's start, the job run again
// and a log cut meanwhile: each of the job's lines once, in order, and the job's outcome.
TEST_F(CtlTest, FollowPrintsTheJobsLinesAsTheyCome) {
  WriteFile(files_.log, "old\n>>>>>>>> plim start N\nA\n");
  WriteFile(files_.in_progress, "N\n");
  const std::string out_path = Path("followed");
  const auto printed = [&out_path](const std::string& what) {
    for (int i = 0; i < 1000 && ReadFile(out_path).find(what) == std::string::npos; ++i) {
      usleep(10000);
    }
  };
  std::thread service([&]() {
    printed("A\n");
    for (const char* piece : {"B par", "tial\n>>>>>>>> plim st", "op N\nbetween\n",
                              ">>>>>>>> plim start O\nother\n", ">>>>>>>> plim start N\nagain"}) {
      std::ofstream(files_.log, std::ios::app) << piece;
      usleep(20000);
    }
    printed("again");
    WriteFile(files_.log, ">>>>>>>> plim start N\nfresh\n>>>>>>>> plim stop N\n");
    printed("fresh\n>>>>>>>> plim stop N\n");
    HistoryRecord failed;
    failed.name = "N";
    failed.mark = {ToolStatus::End::kExited, 3};
    WriteFile(files_.history, FormatRecord(failed));
    WriteFile(files_.in_progress, "");
  });
  FILE* out = fopen(out_path.c_str(), "w");
  FILE* err = tmpfile();
  const int status = FollowLog(files_, "N", SIZE_MAX, false, out, err);
  fclose(out);
  fclose(err);
  service.join();
  EXPECT_EQ(status, kExitFailed);
  EXPECT_EQ(ReadFile(out_path),
            ">>>>>>>> plim start N\nA\nB partial\n>>>>>>>> plim stop N\n"
            ">>>>>>>> plim start N\nagain\n>>>>>>>> plim start N\nfresh\n>>>>>>>> plim stop N\n");
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
      {"100 0 5\n", "plimd", 'S', "/usr/sbin/plimd", true},          // an older service's file
      {"100 0 5\n", "plimd", 'S', "/usr/bin/sleep", false},
      {"100 0\n", "plimd", 'S', "/usr/sbin/plimd", false},  // no start: not a PID file
      {"100 0 5 7777 0\n", "plimd", 'Z', "/usr/sbin/plimd", false},
      {"100 0 5 7777 0\n", "plimd x", 'S', "/usr/sbin/plimd", false},
      {"100 0 5 7777 0 ab-1f\n", "plimd", 'S', "/usr/sbin/plimd", true},
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

// The PID file's fields are read back from the running service (e2e control); here what one
// run cannot show: a run identity is one field and another run's even when made at once, and a
// process name with ") " does not shift the start time.
TEST(PidFileTest, RunIdentityIsOneFieldOfItsOwnAndStartTicksSkipTheName) {
  const std::string run = RunIdentity();
  EXPECT_EQ(run.find_first_of(" \t\n"), std::string::npos) << run;
  EXPECT_GT(run.size(), 17u) << run;
  EXPECT_NE(RunIdentity(), run);
  EXPECT_EQ(StartTicks(StatLine(9, "a) (b", 'S', 42)), 42u);
}

// `since start` counts this run's records whatever the clock read: records of an earlier boot
// that seem newer, and this run's written before the clock was set, are each told by their run
// (e2e control shows it with the service's own run); here each outcome to its count, and where
// the service names no run, the count by the times, as before.
TEST(SinceStartTest, CountsTheRecordsOfTheRunNotOfATime) {
  using End = ToolStatus::End;
  const std::pair<const char*, End> made[] = {
      {"2030-01-02T00:00:00Z", End::kExited},  // an earlier boot's
      {"1970-01-01T00:01:00Z", End::kExited},  // before the clock was set
      {"1970-01-01T00:02:00Z", End::kTimeLimit}, {"2026-12-07T10:00:00Z", End::kSignaled},
      {"2026-12-07T10:00:01Z", End::kKilled},  // not a time limit
  };
  std::vector<HistoryRecord> records;
  for (const auto& [start, end] : made) {
    records.emplace_back();
    records.back().start = start;
    records.back().run = records.size() == 1 ? "earlier-1" : "this-2";
    records.back().analysis = {end, 0};
    records.back().mark = {End::kExited, 0};
  }
  const time_t started = 1796637600;  // 2026-12-07T10:00:00Z
  for (const auto& [run, counts] :
       {std::pair<std::string, std::vector<int>>{"this-2", {1, 1, 1, 1}}, {"", {1, 1, 0, 1}}}) {
    const Outcomes n = CountSince(records, started, run);
    EXPECT_EQ((std::vector<int>{n.ok, n.failed, n.time_limit, n.killed}), counts) << run;
  }
  records[1].clock_unset = true;
  records[1].name = "News";
  EXPECT_EQ(FormatHistoryLine(records[1]),
            "1970-01-01T00:01:00Z (clock unset)  0.000 s  ok  exit 0 / exit 0  News\n");
}

using UdpPortProcTest = ScratchDirTest;

// Who holds the listener's port, as status says it, read from a fake /proc: process 100 is the
// listener, with sockets of `listener_fds` on its descriptors (none: they cannot be read, not
// being root); process 200, where there is one, has socket 7. 25252 is 62A4 in hex.
TEST_F(UdpPortProcTest, TellsWhoHoldsTheListenersPort) {
  const auto process = [this](int pid, const char* comm,
                              const std::optional<std::vector<int>>& fds) {
    const std::string folder = Path("proc/" + std::to_string(pid));
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/comm", comm + std::string("\n"));
    if (fds) std::filesystem::create_directory(folder + "/fd");
    for (size_t fd = 0; fds && fd < fds->size(); ++fd) {
      std::filesystem::create_symlink("socket:[" + std::to_string((*fds)[fd]) + "]",
                                      folder + "/fd/" + std::to_string(fd + 3));
    }
  };
  // A line of /proc/net/udp for a socket on local `port` (hex), over IPv4 or IPv6.
  const auto line = [](const char* port, int uid, int inode, bool ipv6 = false) {
    return std::string("  1: ") + (ipv6 ? std::string(32, '0') : "0100007F") + ":" + port +
           " 00000000:0000 07 00000000:00000000 00:00000000 00000000 " + std::to_string(uid) +
           " 0 " + std::to_string(inode) + " 2 0000000000000000 0\n";
  };
  struct Case {
    const char* what;
    std::string sockets;
    std::optional<std::vector<int>> listener_fds;
    bool other_process;
    std::optional<std::string> held;  // after "waiting for UDP port 25252"; none while bound
  };
  const std::string other = ", held by process 200 (n\\x1b)";
  const Case cases[] = {
      {"bound", line("62A4", 0, 5), std::vector<int>{5}, false, std::nullopt},
      {"held by another", line("62A4", 1000, 7), std::vector<int>{5}, true, other},
      {"held, process unseen", line("62A4", 1000, 7), std::vector<int>{5}, false,
       ", held by uid 1000"},
      {"held by root", line("62A4", 0, 7), std::vector<int>{}, true, other},
      {"free", line("62A5", 0, 5) + line("E3F1", 0, 7), std::vector<int>{5}, true, ""},
      {"held over IPv6", line("62A4", 108, 7, true), std::vector<int>{5}, false,
       ", held by uid 108"},
      {"not root, root's", line("62A4", 0, 5), std::nullopt, false, std::nullopt},
      {"not root, a user's", line("62A4", 1000, 7), std::nullopt, true, other},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(Path("proc"));
    process(100, "plimd", c.listener_fds);
    if (c.other_process) process(200, "n\x1b", std::vector<int>{7});
    std::filesystem::create_directories(Path("proc/net"));
    WriteFile(Path("proc/net/udp"),
              "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   "
              "uid  timeout inode ref pointer drops\ngarbage\n" +
                  c.sockets);
    StatusReport status;
    status.port = 25252;
    status.holder = CheckListenerPort(100, 25252, Path("proc"));
    const std::string text = FormatText(status, false);
    const size_t begin = text.find('\n') + 1;
    EXPECT_EQ(text.substr(begin, text.find("paused:") - begin),
              c.held ? "listener: waiting for UDP port 25252" + *c.held + "\n" : "")
        << c.what;
    EXPECT_NE(
        FormatJson(status).find(std::string("\"waiting_for_port\":") + (c.held ? "true" : "false")),
        std::string::npos)
        << c.what;
  }
}

// The queue and the running job as status shows them while the service runs (e2e watch reads
// them from the service): the first ten queued names (ten and no more line at the edge), the
// job's tool and its last line, escaped.
TEST(StatusTextTest, ShowsTheQueueAndTheRunningJob) {
  const struct {
    int queued;
    std::string text;
    std::string json;
    bool all = false;
  } cases[] = {
      {0,
       "in progress: J\\x1b\nstarted: 1970-01-02T00:00:00Z (61 s ago)\ntool: plim_mark\n"
       "last line: m\\x9b\nqueued",
       "\"job\":{\"name\":\"J\\u001b\",\"start\":\"1970-01-02T00:00:00Z\",\"elapsed\":61,"
       "\"tool\":\"plim_mark\",\"last_line\":\"m\xef\xbf\xbd\"}"},
      {10, "queued: 10\n" + Lines(1, 10, "  q") + "done", "\"q10\"]"},
      {12, "queued: 12\n" + Lines(1, 10, "  q") + "  ... and 2 more\ndone", "\"q12\"]"},
      {12, "queued: 12\n" + Lines(1, 12, "  q") + "done", "\"q12\"]", true},
  };
  for (const auto& c : cases) {
    StatusReport status;
    for (int i = 1; i <= c.queued; ++i) status.jobs.queued.push_back("q" + std::to_string(i));
    status.jobs.in_progress = "J\x1b";
    status.running = RunningJob{86400, 61, {true, "plim_mark", "m\x9b"}};
    const std::string text = FormatText(status, c.all);
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
    EXPECT_NE(FormatJson(status).find(c.json), std::string::npos) << FormatJson(status);
  }
}

// Each command and option of the table is completed and in plimctl(1)'s synopsis (from
// ".B plimctl COMMAND" to the next ".br"), and the completion offers nothing the table lacks.
using CommandTableTest = ScratchDirTest;

TEST_F(CommandTableTest, CompletionAndManualPageKnowEachCommandAndOption) {
  const std::string manual = ReadFile(PLIMD_SOURCE_DIR "/packaging/plimctl.1.in");
  // The completion's lines "_plimctl_offer COMMAND..." (under "") and
  // "COMMAND) _plimctl_offer OPTION... ;;".
  std::map<std::string, std::set<std::string>> offered, table = {{"", {"--help", "--version"}}};
  std::istringstream lines(ReadFile(PLIMD_SOURCE_DIR "/packaging/plimctl.bash-completion"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first, word, command;
    words >> first;
    if (first.size() > 1 && first.back() == ')') {
      command = first.substr(0, first.size() - 1);
      words >> first;
    }
    while (first == "_plimctl_offer" && words >> word && word != ";;")
      offered[command].insert(word);
  }
  for (const Command& command : Commands()) {
    table[""].insert(command.name);
    const size_t begin = manual.find("\n.B plimctl " + std::string(command.name) + "\n");
    const std::string synopsis = begin == std::string::npos
                                     ? ""
                                     : manual.substr(begin, manual.find("\n.br\n", begin) - begin);
    EXPECT_NE(synopsis, "") << command.name << " is not in plimctl(1)'s synopsis";
    for (const Option& o : command.options) {
      std::vector<std::string> names = {std::string("--") + o.name};
      if (o.short_name != 0) names.push_back(std::string("-") + o.short_name);
      for (const std::string& name : names) {
        table[command.name].insert(name);
        EXPECT_NE(synopsis.find(std::regex_replace(name, std::regex("-"), "\\-")),
                  std::string::npos)
            << command.name << " " << name << " is not in plimctl(1)'s synopsis";
      }
    }
  }
  EXPECT_EQ(offered, table);
}

}  // namespace
}  // namespace plim
