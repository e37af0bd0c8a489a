#include "jobs/history.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"

#ifndef PLIMD_BUILD_TIME
#error "PLIMD_BUILD_TIME, when the build was made in seconds since the epoch, is not defined"
#endif

namespace plim {

namespace {

using Json = nlohmann::ordered_json;

std::string g_run;

// In the order of ToolStatus::End.
constexpr const char* kEndNames[] = {"not run", "exit", "signal", "time limit", "killed"};

const char* EndName(ToolStatus::End end) { return kEndNames[static_cast<int>(end)]; }

// Only an exit and a signal come with a value: the status, the signal's number.
bool HasValue(ToolStatus::End end) {
  return end == ToolStatus::End::kExited || end == ToolStatus::End::kSignaled;
}

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Calls `take` with each line of `text`, the newest first, until it returns false.
template <typename TakeFn>
void NewestFirst(std::string_view text, TakeFn&& take) {
  while (!text.empty()) {
    if (text.back() == '\n') text.remove_suffix(1);
    const size_t start = text.rfind('\n') + 1;  // 0 when there is no earlier line
    if (!take(text.substr(start))) return;
    text = text.substr(0, start);
  }
}

// A job started at `start` (a record's start) on a clock that is plainly unset: more than a day
// before this build was made, as a recorder's clock reads after a boot until it is set. A day's
// leeway: a build host's clock ahead of the recorder's is no unset clock.
bool ClockUnset(const std::string& start) {
  static const std::string earliest = UtcTime(static_cast<time_t>(PLIMD_BUILD_TIME) - 86400);
  return start < earliest;
}

}  // namespace

const char* Outcome(const HistoryRecord& record) {
  const auto exited_0 = [](const ToolStatus& s) {
    return s.end == ToolStatus::End::kExited && s.value == 0;
  };
  const auto either = [&record](ToolStatus::End end) {
    return record.analysis.end == end || record.mark.end == end;
  };
  if (!record.error.empty()) return "failed";
  if (exited_0(record.analysis) && exited_0(record.mark)) return "ok";
  // The operator's decision says more than whatever the tool would have come to.
  if (either(ToolStatus::End::kKilled)) return "killed";
  if (either(ToolStatus::End::kTimeLimit)) return "time limit";
  return "failed";
}

std::string Describe(const ToolStatus& status) {
  const std::string end = EndName(status.end);
  return HasValue(status.end) ? end + " " + std::to_string(status.value) : end;
}

std::string RecordedName(const std::string& name) {
  return Json::parse(Dump(Json(name))).get<std::string>();
}

std::string UtcTime(time_t when) {
  struct tm utc;
  char text[80];
  gmtime_r(&when, &utc);
  // Not strftime: it reads the time zone files for every job, and UTC needs none of them.
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
           utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

void to_json(Json& json, const ToolStatus& status) {
  json = Json{{"end", EndName(status.end)}};
  if (HasValue(status.end)) json["value"] = status.value;
}

// Throws for a line that is no record: a key missing, a value of another type, an unknown end.
void from_json(const Json& json, ToolStatus& status) {
  const std::string end = json.at("end").get<std::string>();
  const auto known = std::find(std::begin(kEndNames), std::end(kEndNames), end);
  if (known == std::end(kEndNames)) throw std::invalid_argument("no tool's end: " + end);
  status.end = static_cast<ToolStatus::End>(known - std::begin(kEndNames));
  if (HasValue(status.end)) status.value = json.at("value").get<int>();
}

// The keys added later go before the outcome, so that the lines of scripts that look at a
// line's end still end as they did. The seconds are kept to the millisecond.
void to_json(Json& json, const HistoryRecord& record) {
  json = Json{{"name", record.name},
              {"start", record.start},
              {"seconds", round(record.seconds * 1000) / 1000},
              {"rerun", record.rerun},
              {"analysis", record.analysis},
              {"mark", record.mark}};
  if (!record.error.empty()) json["error"] = record.error;
  if (record.clock_unset) json["clock_unset"] = true;
  if (!record.run.empty()) json["run"] = record.run;
  json["outcome"] = Outcome(record);
  if (record.output_dropped != 0) json["output_dropped"] = record.output_dropped;
}

void from_json(const Json& json, HistoryRecord& record) {
  record.name = json.at("name").get<std::string>();
  record.start = json.at("start").get<std::string>();
  record.seconds = json.at("seconds").get<double>();
  record.rerun = json.at("rerun").get<bool>();
  record.analysis = json.at("analysis").get<ToolStatus>();
  record.mark = json.at("mark").get<ToolStatus>();
  record.error = json.value("error", std::string());
  record.output_dropped = json.value("output_dropped", 0LL);
  record.clock_unset = json.value("clock_unset", false);
  record.run = json.value("run", std::string());
}

std::string FormatRecord(const HistoryRecord& record) { return Dump(Json(record)) + "\n"; }

Json RecordJson(const HistoryRecord& record) { return Json(record); }

bool ParseRecord(std::string_view line, HistoryRecord* record) {
  const Json json = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return false;
  try {
    *record = json.get<HistoryRecord>();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<HistoryRecord> ReadHistory(const std::string& path) {
  std::string text;
  struct stat info;
  if (!ReadWholeFile(path, &text, &info)) return {};
  std::vector<HistoryRecord> records;
  NewestFirst(text, [&records](std::string_view line) {
    HistoryRecord record;
    if (ParseRecord(line, &record)) records.push_back(std::move(record));
    return true;
  });
  std::reverse(records.begin(), records.end());
  return records;
}

int TrimHistory(const std::string& path) {
  std::string text;
  struct stat info;
  if (!ReadWholeFile(path, &text, &info)) return errno == ENOENT ? 0 : -1;
  int lines = 0;
  NewestFirst(text, [&lines](std::string_view) { return ++lines <= kHistoryMax; });
  if (lines <= kHistoryMax) return lines;
  std::vector<std::string_view> kept;
  NewestFirst(text, [&kept](std::string_view line) {
    HistoryRecord record;
    if (ParseRecord(line, &record)) kept.push_back(line);
    return kept.size() < static_cast<size_t>(kHistoryKeep);
  });
  std::string trimmed;
  for (auto line = kept.rbegin(); line != kept.rend(); ++line) trimmed.append(*line) += '\n';
  return ReplaceFile(path, trimmed, &info) ? static_cast<int>(kept.size()) : -1;
}

void SetHistoryRun(const std::string& run) { g_run = run; }

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
