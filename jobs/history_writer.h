// Appending to the job history, one durable write per record, trimming it now and then.
#ifndef PLIMD_JOBS_HISTORY_WRITER_H_
#define PLIMD_JOBS_HISTORY_WRITER_H_

#include <string>
#include <utility>

#include "jobs/history.h"

namespace plim {

// Every record a writer of this process appends names `run`, this run of the service. Set once
// when the service starts, before its partners are forked, so that each of them inherits it.
void SetHistoryRun(const std::string& run);

// A job started at `start` (a record's start) on a clock that is plainly unset: more than a day
// before this build was made, as a recorder's clock reads after a boot until it is set.
bool ClockUnset(const std::string& start);

// Appends records to the history file, trimming it when it has grown past kHistoryMax lines.
// Counts its lines once and then its own appends, so that a job does not read the file.
class HistoryWriter {
 public:
  explicit HistoryWriter(std::string path) : path_(std::move(path)) {}
  // Appends `record`, stamped with the run and whether the clock was unset, in one write, then
  // flushes it to disk; a last line left without its line break by an earlier failure is ended
  // first. Returns false on failure.
  bool Append(const HistoryRecord& record);

 private:
  std::string path_;
  int lines_ = -1;  // unknown until first counted
  // The file ended with a whole line after this writer's last append, and only this writer
  // and its trimming write the file, so the next append need not look.
  bool whole_lines_ = false;
};

}  // namespace plim

#endif  // PLIMD_JOBS_HISTORY_WRITER_H_
