#include "ctl/queue_cmds.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "ctl/command_line.h"
#include "ctl/log_record.h"
#include "ctl/status.h"
#include "joblist/atomic_file.h"
#include "joblist/job_files.h"
#include "joblist/queue_append.h"
#include "joblist/queue_remove.h"
#include "joblist/scoped_fd.h"
#include "jobs/convert.h"

namespace plim {

namespace {

// The names of `args`, as `add` takes them: every argument after "--", and before it every one
// not starting with "-". Empty, with `problem` set, when one is not right.
std::vector<std::string> Names(const std::string& command, const std::vector<std::string>& args,
                               std::string* problem) {
  CommandLine line;
  if (!ParseCommandLine(command, args, {}, {}, &line, problem)) return {};
  for (const std::string& name : line.names) {
    if (const char* why = NameProblem(name)) {
      *problem = command + ": the name \"" + Printable(name) + "\" " + why;
      return {};
    }
  }
  if (line.names.empty()) *problem = command + ": no NAME given";
  return line.names;
}

void TellNotQueued(const std::string& name, const CtlFiles& files, FILE* err) {
  const bool running = GetActiveFrom(files.in_progress) == name;
  fprintf(err, "plimctl: remove: \"%s\" is not queued%s\n", Printable(name).c_str(),
          running ? "; it is the job in progress, which plimctl kill ends" : "");
}

}  // namespace

int RemoveNames(const std::vector<std::string>& args, const CtlFiles& files, FILE* err) {
  std::string problem;
  std::vector<std::string> names = Names("remove", args, &problem);
  if (names.empty()) return UsageError(err, problem);
  // A name given twice is queued or not, once.
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

int ShowLog(const std::vector<std::string>& args, const CtlFiles& files, FILE* out, FILE* err) {
  std::string problem;
  const std::vector<std::string> names = Names("log", args, &problem);
  if (names.empty()) return UsageError(err, problem);
  if (names.size() > 1) return UsageError(err, "log: one NAME only");
  // A record holds what the tools printed, and a name may hold escape sequences: a terminal
  // gets them escaped, a file or pipe the record as the log holds it.
  const bool terminal = isatty(fileno(out)) == 1;
  switch (PrintLatestKeptRecord(files.log, Convert(names[0]), terminal, out)) {
    case LogRecord::kPrinted:
      return kExitOk;
    case LogRecord::kNone:
      fprintf(err, "plimctl: log: %s and %s.1 hold no record of \"%s\"\n", files.log.c_str(),
              files.log.c_str(), Printable(names[0]).c_str());
      return kExitFailed;
    case LogRecord::kUnreadable:
      break;
  }
  fprintf(err, "plimctl: cannot read %s: %s\n", files.log.c_str(), strerror(errno));
  return kExitFailed;
}

int Pause(const std::vector<std::string>& args, const CtlFiles& files, FILE* err) {
  if (!args.empty()) return UsageError(err, "pause takes no arguments");
  ScopedFd mark(
      open(files.paused.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644));
  // A mark left by someone else may keep its mode; it pauses the service all the same.
  if (mark.valid()) std::ignore = fchmod(mark.get(), 0644);
  if (!mark.valid() || fsync(mark.get()) != 0 || !mark.Reset() || !SyncFolderOf(files.paused)) {
    fprintf(err, "plimctl: cannot write %s: %s\n", files.paused.c_str(), strerror(errno));
    return kExitFailed;
  }
  return kExitOk;
}

int RemovePauseMark(const std::vector<std::string>& args, const CtlFiles& files, FILE* err) {
  if (!args.empty()) return UsageError(err, "resume takes no arguments");
  if (unlink(files.paused.c_str()) != 0 && errno != ENOENT) {
    fprintf(err, "plimctl: cannot remove %s: %s\n", files.paused.c_str(), strerror(errno));
    return kExitFailed;
  }
  // The mark is gone for the running service either way; only a power cut before the next
  // flush of the folder could bring it back.
  if (!SyncFolderOf(files.paused)) {
    fprintf(err, "plimctl: warning: cannot flush %s: %s\n", DirectoryOf(files.paused).c_str(),
            strerror(errno));
  }
  return kExitOk;
}

}  // namespace plim
