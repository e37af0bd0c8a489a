// Appending to the job history, one durable write per record, trimming it now and then.
#ifndef PLIMD_JOBS_HISTORY_WRITER_H_
#define PLIMD_JOBS_HISTORY_WRITER_H_

#include <string>

#include "jobs/history.h"

namespace plim {

// Every record a writer of this process appends names `run`, this run of the service. Set once
// when the service starts, before its partners are forked, so that each of them inherits it.
void SetHistoryRun(const std::string& run);

// A job started at `start` (a record's start) on a clock that is plainly unset: more than a day
// before this build was made, as a recorder's clock reads after a boot until it is set.
bool ClockUnset(const std::string& start);

// Appends `record` to the history file at `path`, stamped with the run and whether the clock was
// unset, in one write, then flushes it to disk; a last line left without its line break by an
// earlier failure is ended first. The file is trimmed (TrimHistory) once it has grown past
// kHistoryMax lines. Returns false on failure.
bool AppendHistory(const std::string& path, const HistoryRecord& record);

}  // namespace plim

#endif  // PLIMD_JOBS_HISTORY_WRITER_H_
