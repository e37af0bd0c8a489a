#include "ctl/ctl.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "ctl/command_line.h"
#include "ctl/history_cmds.h"
#include "ctl/kill.h"
#include "ctl/queue_cmds.h"
#include "ctl/status.h"
#include "ctl/trigger.h"
#include "joblist/config.h"
#include "joblist/queue_append.h"
#include "jobs/convert.h"
#include "jobs/job_runner.h"

namespace plim {

namespace {

constexpr char kUsage[] =
    "Usage: plimctl add NAME...\n"
    "       plimctl remove NAME...\n"
    "       plimctl kill NAME\n"
    "       plimctl status [--json]\n"
    "       plimctl log NAME\n"
    "       plimctl pause | resume\n"
    "       plimctl trigger\n"
    "       plimctl history [--json] [NAME...]\n"
    "       plimctl wait [--timeout SECONDS] NAME...\n"
    "\n"
    "Feeds and watches plimd, the recorder's post-processing service.\n"
    "\n"
    "  add NAME...      queue the recording /hdd/movie/NAME.ts for each NAME, in order,\n"
    "                   then ask plimd to work through its queue\n"
    "  remove NAME...   take every entry of each NAME off the queue (not the job in\n"
    "                   progress); status 1 if a NAME was not queued\n"
    "  kill NAME        end the job in progress if it is NAME (as root): SIGTERM to its\n"
    "                   tool's process group, SIGKILL 5 s later; it is not run again;\n"
    "                   waits for its end: status 0 killed, 1 not, 124 not within 10 s\n"
    "  status           show whether plimd runs and is paused, how the jobs since its\n"
    "                   start ended, the last one, the job in progress, the queue and\n"
    "                   the names done last\n"
    "  status --json    the same as one JSON object, for scripts\n"
    "  log NAME         show NAME's latest record from the log, so far if it still runs\n"
    "  pause            let the job in progress finish and start no other, across restarts\n"
    "  resume           end a pause and ask plimd to work through its queue\n"
    "  trigger          ask plimd to work through its queue\n"
    "  history          show the finished jobs, oldest first, with how each tool ended;\n"
    "                   only those of the NAMEs given; --json: as a JSON array\n"
    "  wait NAME...     wait until no NAME is queued or in progress; exit 0 if each\n"
    "                   one's latest job was ok, 1 if not or a NAME is unknown,\n"
    "                   124 once --timeout SECONDS have passed\n"
    "  -h, --help       show this help\n"
    "  --version        show the version\n"
    "\n"
    "Exit status: 0 done, 1 a file or the datagram could not be written (or, for remove\n"
    "and log, a NAME was not found), 2 bad usage.\n"
    "See plimctl(1) and plimd(8).\n";

int Trigger(const CtlFiles& files, FILE* err, bool queued) {
  const unsigned short port = PortNumber(ReadConfig(files.conf));
  switch (SendTrigger(port)) {
    case TriggerResult::kSent:
      return kExitOk;
    case TriggerResult::kNobodyListens:
      fprintf(err, "plimctl: nothing listens on UDP port %u; is plimd running?%s\n", port,
              queued ? " The names stay queued for its next start." : "");
      return queued ? kExitOk : kExitFailed;
    case TriggerResult::kFailed:
      break;
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

int Add(const std::vector<std::string>& args, const CtlFiles& files, FILE* err) {
  CommandLine line;
  std::string problem;
  if (!ParseCommandLine("add", args, {}, {}, &line, &problem)) return UsageError(err, problem);
  const std::vector<std::string>& names = line.names;
  if (names.empty()) return UsageError(err, "add: no NAME given");
  for (const std::string& name : names) {
    if (const char* why = NameProblem(name)) {
      return UsageError(err,
                        "add: the name \"" + Printable(name) + "\" " + why + "; nothing queued");
    }
  }
  for (const std::string& name : names) WarnOfMissingStream(files, name, err);
  if (!AppendToQueue(files.queue, names)) {
    fprintf(err, "plimctl: cannot append to %s: %s\n", files.queue.c_str(), strerror(errno));
    return kExitFailed;
  }
  return Trigger(files, err, /*queued=*/true);
}

int Status(const std::vector<std::string>& options, const CtlFiles& files, FILE* out, FILE* err) {
  const bool json = options.size() == 1 && options[0] == "--json";
  if (!options.empty() && !json) return UsageError(err, "status: unknown argument " + options[0]);
  const StatusReport status = ReadStatus(files);
  fputs((json ? FormatJson(status) : FormatText(status)).c_str(), out);
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

int RunCtl(const std::vector<std::string>& args, const CtlFiles& files, FILE* out, FILE* err) {
  if (args.empty()) return UsageError(err, "no command given");
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "help" || AsksForHelp(args)) {
    fputs(kUsage, out);
    return kExitOk;
  }
  if (command == "--version") {
    fprintf(out, "plimctl %s\n", PLIMD_VERSION);
    return kExitOk;
  }
  if (command == "add") return Add(rest, files, err);
  if (command == "status") return Status(rest, files, out, err);
  if (command == "remove") return RemoveNames(rest, files, err);
  if (command == "kill") return KillJob(rest, files, out, err);
  if (command == "log") return ShowLog(rest, files, out, err);
  if (command == "pause") return Pause(rest, files, err);
  if (command == "resume") {
    const int status = RemovePauseMark(rest, files, err);
    return status == kExitOk ? Trigger(files, err, /*queued=*/true) : status;
  }
  if (command == "history") return History(rest, files, out, err);
  if (command == "wait") return Wait(rest, files, err);
  if (command == "trigger") {
    return rest.empty() ? Trigger(files, err, /*queued=*/false)
                        : UsageError(err, "trigger takes no arguments");
  }
  return UsageError(err, "unknown command " + command);
}

}  // namespace plim
