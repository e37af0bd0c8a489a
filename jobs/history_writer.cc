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

bool HistoryWriter::Append(const HistoryRecord& given) {
  HistoryRecord record = given;
  record.run = g_run;
  record.clock_unset = ClockUnset(record.start);
  if (lines_ < 0) lines_ = TrimHistory(path_);
  {
    // Only root writes the history: others read it, and must not be able to forge it.
    ScopedFd fd(
        open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0644));
    if (!fd.valid()) return false;
    // Only a failed append of this writer's could have left half a line since the last look.
    if (!whole_lines_ && EndsMidLine(fd.get()) && !WriteAll(fd.get(), "\n")) return false;
    whole_lines_ = false;
    if (!WriteAll(fd.get(), FormatRecord(record)) || !Sync(fd.get()) || !fd.Reset()) return false;
    whole_lines_ = true;
  }
  if (lines_ >= 0 && ++lines_ > kHistoryMax) lines_ = TrimHistory(path_);
  return true;
}

}  // namespace plim
