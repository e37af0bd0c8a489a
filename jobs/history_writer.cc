#include "jobs/history_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"

#ifndef PLIMD_BUILD_TIME
#error "PLIMD_BUILD_TIME, when the build was made in seconds since the epoch, is not defined"
#endif

namespace plim {

namespace {

std::string g_run;

}  // namespace

void SetHistoryRun(const std::string& run) { g_run = run; }

bool ClockUnset(const std::string& start) {
  // A day's leeway: a build host's clock ahead of the recorder's is no unset clock.
  static const std::string earliest = UtcTime(static_cast<time_t>(PLIMD_BUILD_TIME) - 86400);
  return start < earliest;
}

bool AppendHistory(const std::string& path, const HistoryRecord& given) {
  // The lines are counted once per process and then its appends; a count that is wrong (the
  // disk was changed) only moves the moment TrimHistory looks, and it counts again itself.
  static int lines = -1;
  HistoryRecord record = given;
  record.run = g_run;
  record.clock_unset = ClockUnset(record.start);
  if (lines < 0) lines = TrimHistory(path);
  {
    // Only root writes the history: others read it, and must not be able to forge it.
    ScopedFd fd(
        open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0644));
    if (!fd.valid()) return false;
    if (EndsMidLine(fd.get()) && !WriteAll(fd.get(), "\n")) return false;
    if (!WriteAll(fd.get(), FormatRecord(record)) || !Sync(fd.get()) || !fd.Reset()) return false;
  }
  if (lines >= 0 && ++lines > kHistoryMax) lines = TrimHistory(path);
  return true;
}

}  // namespace plim
