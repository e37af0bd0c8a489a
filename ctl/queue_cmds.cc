#include "ctl/queue_cmds.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "ctl/command_line.h"
#include "ctl/log_follow.h"
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

// The operands of `call`, or empty with `problem` set when a name is not right.
std::vector<std::string> Names(const char* command, const Invocation& call, std::string* problem) {
  for (const std::string& name : call.operands) {
    if (const char* why = NameProblem(name)) {
      *problem = std::string(command) + ": the name \"" + Printable(name) + "\" " + why;
      return {};
    }
  }
  return call.operands;
}

// The value of `log --tail`, SIZE_MAX without one; false for one that is no count of lines.
bool TailCount(const Invocation& call, size_t* tail, std::string* problem) {
  const auto given = call.values.find("tail");
  if (given == call.values.end()) return true;
  const std::string& text = given->second;
  char* end = nullptr;
  errno = 0;
  const unsigned long long count = strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0) {
    *problem = "log: --tail takes a number of lines, not " + Printable(text);
    return false;
  }
  *tail = static_cast<size_t>(std::min<unsigned long long>(count, SIZE_MAX - 1));
  return true;
}

void TellNotQueued(const std::string& name, const CtlFiles& files, FILE* err) {
  const bool running = GetActiveFrom(files.in_progress) == name;
  fprintf(err, "plimctl: remove: \"%s\" is not queued%s\n", Printable(name).c_str(),
          running ? "; it is the job in progress, which plimctl kill ends" : "");
}

}  // namespace

int RemoveNames(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* err = call.err;
  std::string problem;
  std::vector<std::string> names = Names("remove", call, &problem);
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

int ShowLog(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* out = call.out;
  FILE* err = call.err;
  std::string problem;
  size_t tail = SIZE_MAX;
  const std::vector<std::string> names = Names("log", call, &problem);
  if (names.empty() || !TailCount(call, &tail, &problem)) return UsageError(err, problem);
  // A record holds what the tools printed, and a name may hold escape sequences: a terminal
  // gets them escaped, a file or pipe the record as the log holds it.
  const bool terminal = isatty(fileno(out)) == 1;
  if (call.Has("follow")) return FollowLog(files, names[0], tail, terminal, out, err);
  switch (PrintLatestKeptRecord(files.log, Convert(names[0]), terminal, out, tail)) {
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

int Pause(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* err = call.err;
  if (!WriteFileDurably(files.paused, "", 0644)) {
    fprintf(err, "plimctl: cannot write %s: %s\n", files.paused.c_str(), strerror(errno));
    return kExitFailed;
  }
  return kExitOk;
}

int RemovePauseMark(const Invocation& call) {
  const CtlFiles& files = call.files;
  FILE* err = call.err;
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
