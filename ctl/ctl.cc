#include "ctl/ctl.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "ctl/command_line.h"
#include "ctl/status.h"
#include "joblist/atomic_file.h"
#include "joblist/config.h"
#include "joblist/inet_address.h"
#include "joblist/job_files.h"
#include "joblist/queue_append.h"
#include "joblist/queue_remove.h"
#include "joblist/scoped_fd.h"
#include "joblist/text_lines.h"
#include "jobs/convert.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

constexpr char kAbout[] = "Feeds and watches plimd, the recorder's post-processing service.\n";
constexpr char kExitStatus[] =
    "Exit status: 0 done; 1 a file or the datagram could not be written, or (remove,\n"
    "log, history, wait) a NAME was not found, or (wait) a job was not ok, or (kill)\n"
    "the job was not killed, or (status) one of plimd's two processes is missing;\n"
    "2 bad usage; 3 (status) plimd is not running; 124 (wait) --timeout ran out, or\n"
    "(kill) the job has not ended within 10 s.\n"
    "See plimctl(1) and plimd(8).\n";

// Asks the service to work through its queue: one datagram "1" to its port on 127.0.0.1. A
// service that does not run takes `queued` names at its next start, so that is no failure for
// them.
int SendTriggerFor(const CtlFiles& files, FILE* err, bool queued) {
  const unsigned short port = PortNumber(ReadConfig(files.conf));
  ScopedFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const struct sockaddr_in address = InetAddress(INADDR_LOOPBACK, port);
  // Only a connected socket is told of the loopback's "port unreachable", which arrives before
  // send returns, so a service that is not running shows up without any waiting.
  const bool connected =
      sock.valid() &&
      connect(sock.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == 0;
  if (connected && send(sock.get(), "1", 1, 0) == 1) {
    // The service never answers, so a receive finds either nothing or that pending error.
    char answer;
    if (recv(sock.get(), &answer, 1, MSG_DONTWAIT) >= 0 || errno != ECONNREFUSED) return kExitOk;
  }
  if (connected && errno == ECONNREFUSED) {
    fprintf(err, "plimctl: nothing listens on UDP port %u; is plimd running?%s\n", port,
            queued ? " The names stay queued for its next start." : "");
    return queued ? kExitOk : kExitFailed;
  }
  fprintf(err, "plimctl: cannot send to UDP port %u: %s\n", port, strerror(errno));
  return kExitFailed;
}

void WarnOfMissingStream(const CtlFiles& files, const std::string& name, FILE* err) {
  const std::string stream = Fill(files.stream.c_str(), Convert(name));
  struct stat info;
  if (stat(stream.c_str(), &info) != 0) {
    fprintf(err, "plimctl: warning: no recording %s; \"%s\" is queued all the same\n",
            Printable(stream).c_str(), Printable(name).c_str());
  }
}

int Add(const Invocation& call) {
  const std::vector<std::string>& names = call.operands;
  const std::string problem = BadName("add", names, /*as_file=*/true);
  if (!problem.empty()) return UsageError(call.err, problem + "; nothing queued");
  for (const std::string& name : names) WarnOfMissingStream(call.files, name, call.err);
  const bool first = call.Has("first");
  if (first ? !QueueFirst(call.files.queue, names) : !AppendToQueue(call.files.queue, names)) {
    fprintf(call.err, "plimctl: cannot %s %s: %s\n", first ? "rewrite" : "append to",
            call.files.queue.c_str(), strerror(errno));
    return kExitFailed;
  }
  WarnIfHeldBack(call.files, call.err);
  return SendTriggerFor(call.files, call.err, /*queued=*/true);
}

void TellNotQueued(const std::string& name, const CtlFiles& files, FILE* err) {
  const bool running = GetActiveFrom(files.in_progress) == name;
  fprintf(err, "plimctl: remove: \"%s\" is not queued%s\n", Printable(name).c_str(),
          running ? "; it is the job in progress, which plimctl kill ends" : "");
}

int RemoveNames(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* err = call.err;
  const std::string problem = BadName("remove", call.operands);
  if (!problem.empty()) return UsageError(err, problem);
  // A name given twice is queued or not, once.
  std::vector<std::string> names = call.operands;
  for (auto it = names.begin(); it != names.end(); ++it) {
    names.erase(std::remove(it + 1, names.end(), *it), names.end());
  }
  std::vector<size_t> removed;
  if (!RemoveFromQueue(files.queue, names, &removed)) {
    fprintf(err, "plimctl: cannot rewrite %s: %s\n", files.queue.c_str(), strerror(errno));
    return kExitFailed;
  }
  int status = kExitOk;
  for (size_t i = 0; i < names.size(); ++i) {
    if (removed[i] > 0) continue;
    TellNotQueued(names[i], files, err);
    status = kExitFailed;
  }
  return status;
}

int Status(const Invocation& call) {
  const StatusReport status = ReadStatus(call.files);
  fputs((call.Has("json") ? FormatJson(status) : FormatText(status, call.Has("all"))).c_str(),
        call.out);
  return ServiceStatusCode(status.service);
}

// The mark lasts across restarts; it and its folder are flushed to disk.
int Pause(const Invocation& call) {
  if (!WriteFileDurably(call.files.paused, "", 0644)) {
    fprintf(call.err, "plimctl: cannot write %s: %s\n", call.files.paused.c_str(), strerror(errno));
    return kExitFailed;
  }
  return kExitOk;
}

int Resume(const Invocation& call) {
  const std::string& paused = call.files.paused;
  if (unlink(paused.c_str()) != 0 && errno != ENOENT) {
    fprintf(call.err, "plimctl: cannot remove %s: %s\n", paused.c_str(), strerror(errno));
    return kExitFailed;
  }
  // The mark is gone for the running service either way; only a power cut before the next
  // flush of the folder could bring it back.
  if (!SyncFolderOf(paused)) {
    fprintf(call.err, "plimctl: warning: cannot flush %s: %s\n", DirectoryOf(paused).c_str(),
            strerror(errno));
  }
  return SendTriggerFor(call.files, call.err, /*queued=*/true);
}

int TriggerCommand(const Invocation& call) {
  WarnIfHeldBack(call.files, call.err);
  return SendTriggerFor(call.files, call.err, /*queued=*/false);
}

int Help(const Invocation& call);

// One entry per command, in the usage's order. A command is a handler `int F(const Invocation&)`
// and an entry; an option is one {long name, short letter or 0, value's name or nullptr} in its
// entry's list, read in the handler with call.Has("name") or call.values. ctl_test.cc checks
// that the bash completion and plimctl(1)'s synopsis name each of them.
const std::vector<Command> kCommands = {
    {"add",
     "NAME...",
     "queue the recording /hdd/movie/NAME.ts for each NAME, in\n"
     "order, then ask plimd to work through its queue; warns when\n"
     "plimd is paused or not running; --first: at the head of the\n"
     "queue, before the names waiting",
     {{"first", 0, nullptr}},
     Add},
    {"remove",
     "NAME...",
     "take every entry of each NAME off the queue (not the job in\n"
     "progress); status 1 if a NAME was not queued",
     {},
     RemoveNames},
    {"kill",
     "NAME",
     "end the job in progress if it is NAME (as root): SIGTERM to\n"
     "its tool's process group, SIGKILL 5 s later; it is not run\n"
     "again; waits for its end: status 0 killed, 1 not, 124 not\n"
     "within 10 s",
     {},
     KillJob},
    {"status",
     "",
     "show whether plimd runs and is paused, how the jobs since its\n"
     "start ended, the last one, the job in progress, the queue and\n"
     "the names done last, with the running job's start, tool and\n"
     "last line and the first 10 queued names (--all: every one);\n"
     "--json: as one JSON object, for scripts; status 0 running,\n"
     "1 a process missing, 3 not running",
     {{"json", 0, nullptr}, {"all", 0, nullptr}},
     Status},
    {"log",
     "NAME",
     "show NAME's latest record from the log, so far if it still\n"
     "runs; --tail N: its last N lines; -f, --follow: then follow\n"
     "the running job's record until it ends, with its outcome as\n"
     "wait's status",
     {{"tail", 0, "N"}, {"follow", 'f', nullptr}},
     ShowLog},
    {"pause", "", "let the job in progress finish and start no other, across\nrestarts", {}, Pause},
    {"resume", "", "end a pause and ask plimd to work through its queue", {}, Resume},
    {"trigger", "", "ask plimd to work through its queue", {}, TriggerCommand},
    {"history",
     "[NAME...]",
     "show the finished jobs, oldest first, with how each tool\n"
     "ended; only those of the NAMEs given (status 1 if one has\n"
     "none);"
     " --json: as a JSON array",
     {{"json", 0, nullptr}},
     History},
    {"wait",
     "NAME...",
     "wait until no NAME is queued or in progress; exit 0 if each\n"
     "one's latest job was ok, 1 if not or a NAME is unknown,\n"
     "124 once --timeout SECONDS have passed",
     {{"timeout", 0, "SECONDS"}},
     Wait},
    {"help", "", "show this help", {}, Help},
};

void PrintUsage(FILE* out) {
  const char* lead = "Usage: ";
  for (const Command& command : kCommands) {
    fprintf(out, "%splimctl %s\n", lead, Synopsis(command).c_str());
    lead = "       ";
  }
  fprintf(out, "%splimctl -h | --help | --version\n\n%s\n", lead, kAbout);
  for (const Command& command : kCommands) {
    std::string_view summary = command.summary;
    const char* name = command.name;
    for (std::string_view line; TakeLine(&summary, &line); name = "") {
      fprintf(out, "  %-15s %s\n", name, std::string(line).c_str());
    }
  }
  fprintf(out, "  %-15s %s\n  %-15s %s\n\n%s", "-h, --help", "show this help", "--version",
          "show the version", kExitStatus);
}

int Help(const Invocation& call) {
  PrintUsage(call.out);
  return kExitOk;
}

bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

}  // namespace

const std::vector<Command>& Commands() { return kCommands; }

int RunCtl(const std::vector<std::string>& args, const CtlFiles& files, FILE* out, FILE* err) {
  if (args.empty()) return UsageError(err, "no command given");
  if (AsksForHelp(args)) {
    PrintUsage(out);
    return kExitOk;
  }
  if (args[0] == "--version") {
    fprintf(out, "plimctl %s\n", PLIMD_VERSION);
    return kExitOk;
  }
  for (const Command& command : kCommands) {
    if (args[0] != command.name) continue;
    Invocation call{files, out, err, {}, {}, {}};
    std::string problem;
    if (!ParseOptions(command, {args.begin() + 1, args.end()}, &call, &problem)) {
      return UsageError(err, problem);
    }
    return command.run(call);
  }
  return UsageError(err, "unknown command " + Printable(args[0]));
}

}  // namespace plim
