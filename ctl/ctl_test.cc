#include "ctl/ctl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

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

// One parser serves every command: getopt_long's forms of a value and "--".
// A job's folder is "<converted name>.rec", one file name of at most 255 bytes; a name that
// cannot fit, or that the queue could not hold, is refused before anything is queued, as if
// none of the names had been given. remove takes every entry of each name, says each name not
// queued once, and never touches the job in progress (how lines match is QueueEditTest's).
TEST_F(CtlTest, CommandsQueueAndRemoveNamesAndSendOneTrigger) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string after;    // the queue; one trigger goes when it grew, none otherwise
    std::string message;  // found once in stderr, or in stdout for help
    std::string before = "";
    std::string out = "";
  };
  const std::string fits(251, 'a'), too_long(252, 'b');
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
      {{"add", "--first", "x", too_long},
       2,
       "",
       "\"" + too_long +
           "\" is too long: with \".rec\" added for its work folder it passes the file-name "
           "limit of 255 bytes; nothing queued"},
      {{"wait", "--timeout"}, 2, "", "wait: --timeout takes a value\n"},
      {{"wait", "--timeout=x", "run"}, 2, "", "takes a number of seconds, not x"},
      {{"add", "--help", "x"}, 0, "", "Usage: plimctl add [--first] NAME..."},
      {{"status", "--bogus"}, 2, "", "unknown option --bogus (put -- before a NAME with a -)"},
      {{"history", "nothing", "done", "nothing", "--json"},
       1,
       "",
       "history: no record of \"nothing\"\n",
       "",
       "\"name\":\"done\""},
      {{"remove", "Some Title"},
       0,
       "some title\nSome Title \n",
       "",
       "some title\nSome Title\nSome Title \n"},
      {{"remove", "a", "zz", "b", "a"}, 1, "c\n", "remove: \"zz\" is not queued\n", "a\nb\nc\n"},
      {{"remove", "run"}, 1, "x\n", "it is the job in progress, which plimctl kill ends", "x\n"},
      {{"remove", "a", "b\nc"}, 2, "a\n", "contains a line break", "a\n"},
      {{"remove", "z\xc2\x9b"}, 1, "a\n", "remove: \"z\\xc2\\x9b\" is not queued\n", "a\n"},
  };
  WriteFile(dir_ + "/Some Title.ts", "");
  WriteFile(files_.in_progress, "run\n");
  HistoryRecord done;
  done.name = "done";
  WriteFile(files_.history, FormatRecord(done));
  for (const Case& c : cases) {
    std::filesystem::remove(files_.queue);
    if (!c.before.empty()) WriteFile(files_.queue, c.before);
    const Result r = Run(c.args);
    const std::string shown = testing::PrintToString(c.args).substr(0, 80);
    EXPECT_EQ(r.status, c.status) << shown;
    EXPECT_EQ(ReadFile(files_.queue), c.after) << shown;
    EXPECT_EQ(ReadFile(files_.in_progress), "run\n") << shown;
    const bool grew = c.after.size() > c.before.size();
    EXPECT_EQ(Received(grew), grew ? "1|" : "") << shown;
    const std::string said = r.err + r.out;
    const size_t at = said.find(c.message);
    EXPECT_NE(at, std::string::npos) << said;
    EXPECT_EQ(said.find(c.message, at + 1), std::string::npos) << "said twice: " << said;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << shown;
    EXPECT_EQ(r.err.find("Some Title"), std::string::npos) << "its recording exists";
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
  for (const std::string& path : {files_.queue, files_.in_progress, files_.done})
    std::filesystem::remove(path);
  const std::string json = Run({"status", "--json"}).out;
  EXPECT_NE(json.find("\"queued\":[],\"in_progress\":null,\"done\":[]"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(files_.queue)) << "status makes no job list file";
}

// What a terminal would obey, and every byte that is not part of valid UTF-8, is escaped byte by
// byte (overlong forms, surrogates, beyond U+10FFFF, cut sequences); printable UTF-8, also with
// continuation bytes in 0x80..0x9f, stays. Lines are kept for the log only.
TEST(PrintableTest, EscapesC0DelC1AndWhatIsNotUtf8) {
  const std::string text =
      "a\x1b[2J\x7f\tb\n \xc2\x9b \xc2\x80 \xc2\xa0 caf\xc3\xa9 \xf0\x9f\x8e\xac \x9b \xff "
      "\xe0\x82\x9b \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xf5 \xf0\x9f\x8e! \xe2\x82";
  const std::string escaped =
      "\\xc2\\x9b \\xc2\\x80 \xc2\xa0 caf\xc3\xa9 \xf0\x9f\x8e\xac \\x9b \\xff \\xe0\\x82\\x9b "
      "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xf5 \\xf0\\x9f\\x8e! \\xe2\\x82";
  EXPECT_EQ(Printable(text), "a\\x1b[2J\\x7f\\x09b\\x0a " + escaped);
  EXPECT_EQ(Printable(text + "\r", /*keep_lines=*/true),
            "a\\x1b[2J\\x7f\tb\n " + escaped + "\\x0d");
}

// A record, or with --tail its last N lines, the stop line counted, a last line without its
// break too (a carriage return ends no line); byte for byte to a file or pipe, to a terminal
// with its control characters escaped, also where one is cut across two reads of the log.
using LogRecordTest = ScratchDirTest;

TEST_F(LogRecordTest, PrintsTheRecordOrItsLastLines) {
  const std::string start = ">>>>>>>> plim start N\n", stop = ">>>>>>>> plim stop N\n";
  const std::string filler = start + std::string(65535 - start.size(), 'f');
  const std::string controls =
      "\xc2\x9b"
      "2J\x1b]0;x\x07\n\tok caf\xe9\n";
  std::string many_lines = start;
  for (int i = 1; i <= 40000; ++i) many_lines += "line " + std::to_string(i) + "\n";
  // The log, the lines asked for, whether for a terminal, and what is printed.
  const std::tuple<std::string, size_t, bool, std::string> cases[] = {
      {filler + controls + stop, SIZE_MAX, false, filler + controls + stop},
      {filler + controls + stop, SIZE_MAX, true,
       filler + "\\xc2\\x9b2J\\x1b]0;x\\x07\n\tok caf\\xe9\n" + stop},
      {start + "a\nb\n>>>>>>>> plim start O\nother\n>>>>>>>> plim stop O\n", 1, false, "b\n"},
      {start + "old\n" + stop + start + "new\n" + stop, 2, false, "new\n" + stop},
      {start + "a\nb\nc", 2, false, "b\nc"},
      {start + "a\n1%\r2%\r\nb\n", 2, false, "1%\r2%\r\nb\n"},
      {many_lines + stop, 3, false, "line 39999\nline 40000\n" + stop},
  };
  const std::string log = Path("plim.log");
  for (const auto& [text, tail, printable, printed] : cases) {
    WriteFile(log, text);
    EXPECT_EQ(Printed([&, printable = printable, tail = tail](FILE* out) {
                EXPECT_EQ(PrintLatestRecord(log, "N", printable, out, tail), LogRecord::kPrinted);
              }),
              printed)
        << text.substr(0, 40);
  }
}

// A PID of the file counts only for a process that is the service's: by its name, its
// executable where that can be read, and its start time where the file records one.
TEST_F(CtlTest, StatusNamesOnlyTheProcessesThePidFileMeant) {
  // The file, the process's name, state and executable (no link when empty), and the verdict.
  const std::tuple<std::string, std::string, char, std::string, bool> cases[] = {
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
  for (const auto& [pid_file, comm, state, exe, accepted] : cases) {
    std::filesystem::remove_all(proc);
    std::filesystem::create_directories(proc + "/100");
    // Its fields as status reads them: the name, the state and the start time (7777).
    WriteFile(proc + "/100/stat", "100 (" + comm + ") " + state +
                                      " 1 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 7777 1000\n");
    if (!exe.empty()) std::filesystem::create_symlink(exe, proc + "/100/exe");
    WriteFile(files_.pid_file, pid_file);
    const ServiceProcesses p = ReadServiceProcesses(files_.pid_file, proc);
    EXPECT_EQ(p.listener, accepted ? 100 : 0) << pid_file << comm << " " << exe;
    EXPECT_EQ(p.started, accepted ? 5 : 0);
    const bool has_run = pid_file.find("ab-1f") != std::string::npos;
    EXPECT_EQ(p.run, accepted && has_run ? "ab-1f" : "") << pid_file;
  }
}

// "since start" counts the records of this run (by its identity) whatever their times, which
// an unset clock or an earlier boot's records scramble; without an identity, by time.
TEST(SinceStartTest, CountsTheRecordsOfTheRunNotOfATime) {
  using End = ToolStatus::End;
  const std::pair<const char*, End> made[] = {
      {"2030-01-02T00:00:00Z", End::kExited},  // an earlier boot's
      {"1970-01-01T00:01:00Z", End::kExited},  // before the clock was set
      {"1970-01-01T00:02:00Z", End::kTimeLimit},
      {"2026-12-07T10:00:00Z", End::kSignaled},
      {"2026-12-07T10:00:01Z", End::kKilled}};
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
}

// What status shows of a running service that e2e producers and lifecycle do not read back: the
// job's JSON fields, its last line and the name of whoever holds the port escaped, and the first
// ten queued names, the rest with --all only.
TEST(StatusTextTest, ShowsTheRunningJobThePortsHolderAndTenNames) {
  StatusReport status;
  for (int i = 1; i <= 11; ++i) status.jobs.queued.push_back("q" + std::to_string(i));
  status.jobs.in_progress = "J\x1b";
  status.running = RunningJob{86400, 61, {true, "plim_mark", "m\x9b"}};
  status.port = 25252;
  status.holder = PortHolder{true, 200, "n\x1b"};
  const std::string text = FormatText(status, false);
  for (const char* shown : {"listener: waiting for UDP port 25252, held by process 200 (n\\x1b)\n",
                            "in progress: J\\x1b\n", "tool: plim_mark\nlast line: m\\x9b\n",
                            "  q10\n  ... and 1 more\ndone"}) {
    EXPECT_NE(text.find(shown), std::string::npos) << shown << " in " << text;
  }
  EXPECT_NE(FormatText(status, true).find("  q10\n  q11\ndone"), std::string::npos);
  EXPECT_NE(FormatJson(status).find("\"waiting_for_port\":true"), std::string::npos);
  EXPECT_NE(FormatJson(status).find("\"job\":{\"name\":\"J\\u001b\",\"start\":\"1970-01-02T00:00:"
                                    "00Z\",\"elapsed\":61,\"tool\":\"plim_mark\",\"last_line\":"
                                    "\"m\xef\xbf\xbd\"}"),
            std::string::npos)
      << FormatJson(status);
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
    ASSERT_NE(begin, std::string::npos) << command.name << " is not in plimctl(1)'s synopsis";
    const std::string synopsis = manual.substr(begin, manual.find("\n.br\n", begin) - begin);
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
