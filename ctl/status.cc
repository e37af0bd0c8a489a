#include "ctl/status.h"

#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "ctl/history_cmds.h"
#include "frame/instance.h"
#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "joblist/string_array.h"

namespace plim {

namespace {

using Json = nlohmann::ordered_json;

std::vector<std::string> Entries(const std::string& path) {
  StringArray entries(path);
  std::vector<std::string> names;
  for (int32_t i = 0; i < entries.count(); ++i) {
    if (entries.item(i) != kSentinel) names.push_back(entries.item(i));
  }
  return names;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

void AppendSection(std::string* text, const char* title, const std::vector<std::string>& names) {
  *text += title + (": " + std::to_string(names.size())) + "\n";
  for (const std::string& name : names) *text += "  " + Printable(name) + "\n";
}

// A process with `pid` runs, is not a zombie and is called "plimd"; readable by any user.
bool IsService(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat(std::istreambuf_iterator<char>(in), {});
  const size_t end = stat.rfind(") ");
  return stat.compare(0, end + 2, std::to_string(pid) + " (plimd) ") == 0 &&
         stat.compare(end + 2, 1, "Z") != 0;
}

std::string ServiceLine(const ServiceProcesses& p) {
  const std::string listener = "listener " + std::to_string(p.listener);
  const std::string worker = "worker " + std::to_string(p.worker);
  if (p.listener != 0 && p.worker != 0) return "running (" + listener + ", " + worker + ")";
  if (p.listener != 0) return listener + " running, worker missing";
  if (p.worker != 0) return worker + " running, listener missing";
  return "not running";
}

Json JsonPid(pid_t pid) { return pid != 0 ? Json(pid) : Json(nullptr); }

Json ServiceJson(const ServiceProcesses& p) {
  return {{"running", p.listener != 0 && p.worker != 0},
          {"listener", JsonPid(p.listener)},
          {"worker", JsonPid(p.worker)}};
}

std::string SinceStartLine(const StatusReport& status) {
  if (!status.since_start) {
    const ServiceProcesses& p = status.service;
    return p.listener == 0 && p.worker == 0 ? "(not running)" : "(unknown)";
  }
  const Outcomes& n = *status.since_start;
  return std::to_string(n.ok) + " ok, " + std::to_string(n.failed) + " failed, " +
         std::to_string(n.time_limit) + " time limit";
}

// The records' starts and the service's start are both UTC to the second in one format, so
// they compare as text.
Outcomes CountSince(const std::vector<HistoryRecord>& records, time_t started) {
  const std::string since = UtcTime(started);
  Outcomes n;
  for (const HistoryRecord& record : records) {
    if (record.start < since) continue;
    const std::string outcome = Outcome(record);
    ++(outcome == "ok" ? n.ok : outcome == "failed" ? n.failed : n.time_limit);
  }
  return n;
}

}  // namespace

ServiceProcesses ReadServiceProcesses(const std::string& pid_file) {
  ServiceProcesses p;
  if (!ReadPidFile(pid_file.c_str(), &p.listener, &p.worker, &p.started)) {
    return ServiceProcesses();
  }
  if (!IsService(p.listener)) p.listener = 0;
  if (!IsService(p.worker)) p.worker = 0;
  if (p.listener == 0 && p.worker == 0) p.started = 0;
  return p;
}

StatusReport ReadStatus(const CtlFiles& files) {
  StatusReport status;
  status.service = ReadServiceProcesses(files.pid_file);
  status.jobs = ReadJobLists(files.queue, files.in_progress, files.done);
  struct stat info;
  status.paused = stat(files.paused.c_str(), &info) == 0;
  const std::vector<HistoryRecord> records = ReadHistory(files.history);
  if (!records.empty()) status.last = records.back();
  if (status.service.started != 0) {
    status.since_start = CountSince(records, status.service.started);
  }
  return status;
}

std::string Printable(const std::string& name) {
  std::string shown;
  for (unsigned char c : name) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\x%02x", c);
    shown += IsControl(c) ? std::string(escaped) : std::string(1, static_cast<char>(c));
  }
  return shown;
}

JobLists ReadJobLists(const std::string& queue, const std::string& in_progress,
                      const std::string& done) {
  const ExclusiveLock lock = LockQueue(queue);
  JobLists lists;
  lists.queued = Entries(queue);
  const std::string active = GetActiveFrom(in_progress);
  if (active != kSentinel) lists.in_progress = active;
  lists.done = Entries(done);
  return lists;
}

std::string FormatText(const StatusReport& status) {
  const JobLists& lists = status.jobs;
  std::string text = "service: " + ServiceLine(status.service) + "\n";
  text += status.paused ? "paused: yes\n" : "paused: no\n";
  text += "since start: " + SinceStartLine(status) + "\n";
  text += "last: " + (status.last ? FormatHistoryLine(*status.last) : "(none)\n");
  text += "in progress: ";
  text += lists.in_progress ? Printable(*lists.in_progress) : "(none)";
  text += "\n";
  AppendSection(&text, "queued", lists.queued);
  AppendSection(&text, "done, oldest first", lists.done);
  return text;
}

std::string FormatJson(const StatusReport& status) {
  const JobLists& lists = status.jobs;
  Json json = {{"service", ServiceJson(status.service)},
               {"queued", lists.queued},
               {"in_progress", lists.in_progress ? Json(*lists.in_progress) : Json(nullptr)},
               {"done", lists.done},
               {"paused", status.paused},
               {"since_start", nullptr},
               {"last", status.last ? RecordJson(*status.last) : Json(nullptr)}};
  if (const std::optional<Outcomes>& n = status.since_start) {
    json["since_start"] = {{"ok", n->ok}, {"failed", n->failed}, {"time limit", n->time_limit}};
  }
  return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace plim
