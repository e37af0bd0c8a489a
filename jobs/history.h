// The job history: one JSON object per finished job and line, appended, and trimmed now and
// then to the newest records.
#ifndef PLIMD_JOBS_HISTORY_H_
#define PLIMD_JOBS_HISTORY_H_

#include <time.h>

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/job_steps.h"

namespace plim {

struct HistoryRecord {
  std::string name;   // raw, as queued
  std::string start;  // UTC, ISO 8601, to the second: "2026-12-07T02:10:00Z"
  double seconds = 0;
  bool rerun = false;  // the job ran again after an interruption
  ToolStatus analysis;
  ToolStatus mark;
  long long output_dropped = 0;  // bytes of the tools' output left out of the log
  // Why the entry ran no job or the job failed (no work folder, a tool not started), or empty;
  // written only when set.
  std::string error;
  // The clock read a time well before this build was made when the job started, so `start` is
  // no time at all; written only when true.
  bool clock_unset = false;
  // The run of the service that wrote the record (see RunIdentity); empty in older records.
  std::string run;
};

// A history file holding more lines than kHistoryMax is rewritten with the newest kHistoryKeep.
inline constexpr int kHistoryMax = 2000;
inline constexpr int kHistoryKeep = 1000;

// "failed" for a record with an error; otherwise "ok" when both tools exited 0, "killed" when
// plimctl kill ended either, "time limit" when either hit it, and "failed" else.
const char* Outcome(const HistoryRecord& record);

// How a tool ended, for people and for the hook: "exit 0", "signal 9", "time limit", "killed",
// "not run".
std::string Describe(const ToolStatus& status);

// `name` as a record holds it: bytes that are not UTF-8 turned into U+FFFD.
std::string RecordedName(const std::string& name);

// `when` as a record's start holds it: "2026-12-07T02:10:00Z".
std::string UtcTime(time_t when);

// The record to and from JSON, one pair for writing and reading; from_json throws for an object
// that is no record.
void to_json(nlohmann::ordered_json& json, const ToolStatus& status);
void from_json(const nlohmann::ordered_json& json, ToolStatus& status);
void to_json(nlohmann::ordered_json& json, const HistoryRecord& record);
void from_json(const nlohmann::ordered_json& json, HistoryRecord& record);

// The record as a JSON object, its keys in the order of the file's lines; "error", "clock_unset"
// and "run" (before "outcome") only when set, "output_dropped" only when some output was left
// out.
nlohmann::ordered_json RecordJson(const HistoryRecord& record);

// The record as one JSON line, "\n" included.
std::string FormatRecord(const HistoryRecord& record);

// Reads one line; false when it is not a record.
bool ParseRecord(std::string_view line, HistoryRecord* record);

// The records of the file at `path`, oldest first, leaving out lines that are not records.
// A missing or unreadable file holds none.
std::vector<HistoryRecord> ReadHistory(const std::string& path);

// When the file at `path` holds more than kHistoryMax lines, replaces it atomically by its
// newest kHistoryKeep records; otherwise writes nothing. Returns the lines it holds then, or
// -1 when it could not be read or rewritten.
int TrimHistory(const std::string& path);

// Every record a writer of this process appends names `run`, this run of the service. Set once
// when the service starts, before its partners are forked, so that each of them inherits it.
void SetHistoryRun(const std::string& run);

// Appends `record` to the history file at `path`, stamped with the run and whether the clock was
// unset (its start more than a day before this build was made, as a recorder's clock reads after
// a boot until it is set), in one write, then flushes it to disk; a last line left without its
// line break by an earlier failure is ended first. The file is trimmed (TrimHistory) once it has
// grown past kHistoryMax lines. Returns false on failure.
bool AppendHistory(const std::string& path, const HistoryRecord& record);

}  // namespace plim

#endif  // PLIMD_JOBS_HISTORY_H_
