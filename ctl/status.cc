#include "ctl/status.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "joblist/atomic_file.h"
#include "joblist/config.h"
#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/pid_file.h"
#include "joblist/scoped_fd.h"
#include "joblist/string_array.h"
#include "joblist/text_lines.h"

namespace plim {

namespace {

using Json = nlohmann::ordered_json;

// The names in the folder `path` that are numbers: PIDs or descriptors; none when it cannot be
// read.
std::optional<std::vector<std::string>> NumberedEntries(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<std::string> names;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) names.push_back(name);
  }
  closedir(dir);
  return names;
}

// The inodes of the sockets that the process `pid` has open; none when its descriptors cannot
// be read.
std::optional<std::set<unsigned long long>> SocketInodes(const std::string& proc,
                                                         const std::string& pid) {
  const std::string fds = proc + "/" + pid + "/fd";
  const std::optional<std::vector<std::string>> entries = NumberedEntries(fds);
  if (!entries) return std::nullopt;
  std::set<unsigned long long> inodes;
  for (const std::string& fd : *entries) {
    char target[64];
    const ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
    unsigned long long inode = 0;
    if (n > 0 && (target[n] = '\0', sscanf(target, "socket:[%llu]", &inode) == 1)) {
      inodes.insert(inode);
    }
  }
  return inodes;
}

// One line of /proc/net/udp or /proc/net/udp6.
struct UdpSocket {
  uid_t uid = 0;
  unsigned long long inode = 0;
};

// The sockets on `port` in the listener's network namespace, over IPv4 and IPv6, as the lines of
// /proc/net/udp and udp6 list them; lines that are not one are skipped.
std::vector<UdpSocket> SocketsOn(const std::string& proc, pid_t listener, unsigned short port) {
  std::vector<UdpSocket> found;
  for (const char* table : {"udp", "udp6"}) {
    std::string text = ReadText(proc + "/" + std::to_string(listener) + "/net/" + table);
    if (text.empty()) text = ReadText(proc + "/net/" + table);
    std::string_view lines = text;
    for (std::string_view view; TakeLine(&lines, &view);) {
      const std::string line(view);
      char local[64];
      unsigned local_port = 0;
      unsigned long uid = 0;
      unsigned long long inode = 0;
      // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
      if (sscanf(line.c_str(), " %*[0-9]: %63s %*s %*s %*s %*s %*s %lu %*s %llu", local, &uid,
                 &inode) != 3) {
        continue;
      }
      const char* colon = strrchr(local, ':');
      if (colon != nullptr && sscanf(colon + 1, "%x", &local_port) == 1 && local_port == port) {
        found.push_back({static_cast<uid_t>(uid), inode});
      }
    }
  }
  return found;
}

// Fills in the process that has the socket `inode` open, if one that can be seen has.
void FindProcess(const std::string& proc, unsigned long long inode, PortHolder* holder) {
  for (const std::string& pid : NumberedEntries(proc).value_or(std::vector<std::string>())) {
    const std::optional<std::set<unsigned long long>> inodes = SocketInodes(proc, pid);
    if (!inodes || inodes->count(inode) == 0) continue;
    holder->pid = static_cast<pid_t>(atoi(pid.c_str()));
    holder->comm = ReadText(proc + "/" + pid + "/comm");
    if (!holder->comm.empty() && holder->comm.back() == '\n') holder->comm.pop_back();
    return;
  }
}

std::vector<std::string> Entries(const std::string& path) {
  StringArray entries(path);
  std::vector<std::string> names;
  for (int32_t i = 0; i < entries.count(); ++i) {
    if (entries.item(i) != kSentinel) names.push_back(entries.item(i));
  }
  return names;
}

// The length of the UTF-8 character that `text` starts with, or 0 when it does not start with a
// whole one (a stray or cut-off byte, or an overlong form, which a terminal may take as a C1
// control).
size_t CharLength(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  const size_t length = lead < 0x80                   ? 1
                        : lead >= 0xc2 && lead < 0xe0 ? 2
                        : lead >= 0xe0 && lead < 0xf0 ? 3
                        : lead >= 0xf0 && lead < 0xf5 ? 4
                                                      : 0;
  if (length == 0 || length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
  }
  if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xed && byte(1) > 0x9f) ||
      (lead == 0xf0 && byte(1) < 0x90) || (lead == 0xf4 && byte(1) > 0x8f)) {
    return 0;
  }
  return length;
}

// C0, DEL, and C1 as U+0080..U+009F. A byte that starts no whole character is escaped too: an
// 8-bit terminal obeys 0x80..0x9f as C1, and a UTF-8 one shows any such byte as nothing the
// operator could type back.
bool NeedsEscape(std::string_view text, size_t length) {
  if (length == 0) return true;
  const auto lead = static_cast<unsigned char>(text[0]);
  if (length == 2) return lead == 0xc2 && static_cast<unsigned char>(text[1]) < 0xa0;
  return length == 1 && (lead < 0x20 || lead == 0x7f);
}

void AppendEscaped(std::string_view bytes, std::string* shown) {
  for (unsigned char c : bytes) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\x%02x", c);
    *shown += escaped;
  }
}

// Lists at most `shown` names, so that a long queue does not scroll the rest off a small screen.
void AppendSection(std::string* text, const char* title, const std::vector<std::string>& names,
                   size_t shown = SIZE_MAX) {
  *text += title + (": " + std::to_string(names.size())) + "\n";
  for (size_t i = 0; i < names.size() && i < shown; ++i) *text += "  " + Printable(names[i]) + "\n";
  if (names.size() > shown)
    *text += "  ... and " + std::to_string(names.size() - shown) + " more\n";
}

// The process `pid` under `proc` runs, is not a zombie and is called "plimd"; where its start
// time was recorded (`ticks` not 0), it started then, so that a process that got the PID later
// is not taken for it. Where its executable can be read (as root), that is named "plimd" too.
bool IsService(const std::string& proc, pid_t pid, unsigned long long ticks) {
  if (pid <= 0) return false;
  const std::string folder = proc + "/" + std::to_string(pid);
  const std::string stat = ReadText(folder + "/stat");
  const size_t end = stat.rfind(") ");
  if (stat.compare(0, end + 2, std::to_string(pid) + " (plimd) ") != 0 ||
      stat.compare(end + 2, 1, "Z") == 0 || (ticks != 0 && StartTicks(stat) != ticks)) {
    return false;
  }
  char target[PATH_MAX];
  const ssize_t n = readlink((folder + "/exe").c_str(), target, sizeof target - 1);
  if (n < 0) return errno == EACCES || errno == EPERM || errno == ENOENT;
  const std::string exe(target, static_cast<size_t>(n));
  const std::string file = exe.substr(exe.rfind('/') + 1);
  return file == "plimd" || file == "plimd (deleted)";  // the latter replaced by an upgrade
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

Json ServiceJson(const StatusReport& status) {
  const ServiceProcesses& p = status.service;
  return {{"running", p.listener != 0 && p.worker != 0},
          {"listener", JsonPid(p.listener)},
          {"worker", JsonPid(p.worker)},
          {"waiting_for_port", status.holder && status.holder->waiting}};
}

// The line of a listener that has not bound its port; empty while it has, or does not run.
std::string PortLine(const StatusReport& status) {
  if (!status.holder || !status.holder->waiting) return "";
  const PortHolder& h = *status.holder;
  std::string line = "listener: waiting for UDP port " + std::to_string(status.port);
  if (h.pid != 0) {
    line += ", held by process " + std::to_string(h.pid) + " (" + Printable(h.comm) + ")";
  } else if (h.uid_known) {
    line += ", held by uid " + std::to_string(h.uid);
  }
  return line + "\n";
}

std::string SinceStartLine(const StatusReport& status) {
  if (!status.since_start) {
    const ServiceProcesses& p = status.service;
    return p.listener == 0 && p.worker == 0 ? "(not running)" : "(unknown)";
  }
  const Outcomes& n = *status.since_start;
  // Killed jobs are rare; the line keeps the form scripts know unless there was one.
  return std::to_string(n.ok) + " ok, " + std::to_string(n.failed) + " failed, " +
         std::to_string(n.time_limit) + " time limit" +
         (n.killed > 0 ? ", " + std::to_string(n.killed) + " killed" : "");
}

std::optional<RunningJob> ReadRunningJob(const StatusReport& status, const CtlFiles& files) {
  struct stat info;
  if (!status.jobs.in_progress || status.service.worker == 0 ||
      stat(files.in_progress.c_str(), &info) != 0) {
    return std::nullopt;
  }
  RunningJob job;
  job.started = info.st_mtime;
  job.elapsed = std::max<long long>(0, time(nullptr) - info.st_mtime);
  job.output = ReadToolOutput(files.log);
  return job;
}

std::string RunningLines(const RunningJob& job) {
  const ToolOutput& output = job.output;
  return "started: " + UtcTime(job.started) + " (" + std::to_string(job.elapsed) + " s ago)\n" +
         "tool: " + (output.tool.empty() ? "(none)" : output.tool) + "\n" +
         "last line: " + (output.last_line ? Printable(*output.last_line) : "(none)") + "\n";
}

Json RunningJson(const StatusReport& status) {
  if (!status.running) return nullptr;
  const ToolOutput& output = status.running->output;
  return {{"name", *status.jobs.in_progress},
          {"start", UtcTime(status.running->started)},
          {"elapsed", status.running->elapsed},
          {"tool", output.tool.empty() ? Json(nullptr) : Json(output.tool)},
          {"last_line", output.last_line ? Json(*output.last_line) : Json(nullptr)}};
}

}  // namespace

ServiceProcesses ReadServiceProcesses(const std::string& pid_file, const std::string& proc) {
  PidFileLine line;
  if (!ReadPidFile(pid_file.c_str(), &line)) return ServiceProcesses();
  ServiceProcesses p;
  p.listener = IsService(proc, line.listener, line.listener_ticks) ? line.listener : 0;
  p.worker = IsService(proc, line.worker, line.worker_ticks) ? line.worker : 0;
  p.started = line.started;
  p.run = line.run;
  if (p.listener == 0 && p.worker == 0) {
    p.started = 0;
    p.run.clear();
  }
  return p;
}

// A record's start is no guide to the run that wrote it: a recorder's clock may read 1970 after a
// boot and be set later, so records of earlier boots seem newer and this run's older. Where the
// run is known, the records that name it are counted, and only they: one without a run is an
// older version's. Without one, starts and the service's start are both UTC to the second in one
// format, and compare as text.
Outcomes CountSince(const std::vector<HistoryRecord>& records, time_t started,
                    const std::string& run) {
  const std::string since = UtcTime(started);
  Outcomes n;
  for (const HistoryRecord& record : records) {
    if (run.empty() ? record.start < since : record.run != run) continue;
    const std::string outcome = Outcome(record);
    ++(outcome == "ok"       ? n.ok
       : outcome == "failed" ? n.failed
       : outcome == "killed" ? n.killed
                             : n.time_limit);
  }
  return n;
}

StatusReport ReadStatus(const CtlFiles& files) {
  StatusReport status;
  status.service = ReadServiceProcesses(files.pid_file);
  status.port = PortNumber(ReadConfig(files.conf));
  if (status.service.listener != 0) {
    status.holder = CheckListenerPort(status.service.listener, status.port);
  }
  status.jobs = ReadJobLists(files.queue, files.in_progress, files.done);
  struct stat info;
  status.paused = stat(files.paused.c_str(), &info) == 0;
  const std::vector<HistoryRecord> records = ReadHistory(files.history);
  if (!records.empty()) status.last = records.back();
  if (status.service.started != 0) {
    status.since_start = CountSince(records, status.service.started, status.service.run);
  }
  // The same check as the service's before each job, so that what its stderr said is seen here.
  status.settings_path = files.settings;
  status.settings = LoadSettings(files.settings, &info);
  status.running = ReadRunningJob(status, files);
  return status;
}

int ServiceStatusCode(const ServiceProcesses& service) {
  if (service.listener != 0 && service.worker != 0) return kExitOk;
  if (service.listener != 0 || service.worker != 0) return kExitProcessMissing;
  return kExitNotRunning;
}

void WarnIfHeldBack(const CtlFiles& files, FILE* err) {
  struct stat info;
  if (stat(files.paused.c_str(), &info) == 0) {
    fprintf(err,
            "plimctl: warning: plimd is paused (%s exists); no job starts until 'plimctl resume'\n",
            files.paused.c_str());
  }
  const ServiceProcesses service = ReadServiceProcesses(files.pid_file);
  const int code = ServiceStatusCode(service);
  if (code == kExitNotRunning) {
    fputs("plimctl: warning: plimd is not running; no job starts until it is started\n", err);
  } else if (code == kExitProcessMissing) {
    fprintf(err,
            "plimctl: warning: plimd's %s is missing; no job starts until plimd is restarted\n",
            service.listener == 0 ? "listener" : "worker");
  }
}

std::string Printable(std::string_view text, bool keep_lines) {
  std::string shown;
  while (!text.empty()) {
    const size_t length = CharLength(text);
    const std::string_view character = text.substr(0, std::max<size_t>(length, 1));
    const bool layout = keep_lines && (character == "\n" || character == "\t");
    if (NeedsEscape(character, length) && !layout) {
      AppendEscaped(character, &shown);
    } else {
      shown += character;
    }
    text.remove_prefix(character.size());
  }
  return shown;
}

size_t WholeCharacters(std::string_view text) {
  for (size_t back = 1; back <= std::min<size_t>(3, text.size()); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xc0) == 0x80) continue;
    // A lead byte whose character the text cuts off.
    const size_t wants = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
    return wants > back ? text.size() - back : text.size();
  }
  return text.size();
}

JobLists ReadJobLists(const std::string& queue, const std::string& in_progress,
                      const std::string& done) {
  JobLists lists;
  lists.queued = Entries(queue);
  const std::string active = GetActiveFrom(in_progress);
  if (active != kSentinel) lists.in_progress = active;
  lists.done = Entries(done);
  return lists;
}

std::string FormatHistoryLine(const HistoryRecord& record) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f s", record.seconds);
  return record.start + (record.clock_unset ? " (clock unset)" : "") + "  " + seconds + "  " +
         Outcome(record) + (record.rerun ? " (rerun)" : "") + "  " + Describe(record.analysis) +
         " / " + Describe(record.mark) + "  " + Printable(record.name) +
         (record.error.empty() ? "" : "  (" + Printable(record.error) + ")") + "\n";
}

std::string FormatText(const StatusReport& status, bool all) {
  const JobLists& lists = status.jobs;
  std::string text = "service: " + ServiceLine(status.service) + "\n" + PortLine(status);
  text += status.paused ? "paused: yes\n" : "paused: no\n";
  text += "since start: " + SinceStartLine(status) + "\n";
  for (const std::string& problem : status.settings.problems)
    text += "settings: " + status.settings_path + ": " + Printable(problem) + "\n";
  text += "last: " + (status.last ? FormatHistoryLine(*status.last) : "(none)\n");
  text += "in progress: ";
  text += lists.in_progress ? Printable(*lists.in_progress) : "(none)";
  text += "\n";
  if (status.running) text += RunningLines(*status.running);
  AppendSection(&text, "queued", lists.queued, all ? SIZE_MAX : kQueuedShown);
  AppendSection(&text, "done, oldest first", lists.done);
  return text;
}

std::string FormatJson(const StatusReport& status) {
  const JobLists& lists = status.jobs;
  Json json = {{"service", ServiceJson(status)},
               {"queued", lists.queued},
               {"in_progress", lists.in_progress ? Json(*lists.in_progress) : Json(nullptr)},
               {"done", lists.done},
               {"paused", status.paused},
               {"since_start", nullptr},
               {"last", status.last ? RecordJson(*status.last) : Json(nullptr)},
               {"settings",
                {{"file", status.settings_path},
                 {"ignored", status.settings.ignored},
                 {"problems", status.settings.problems}}},
               {"job", RunningJson(status)}};
  if (const std::optional<Outcomes>& n = status.since_start) {
    json["since_start"] = {{"ok", n->ok}, {"failed", n->failed}, {"time limit", n->time_limit}};
    // Like the text line, the object keeps its known form unless a job was killed.
    if (n->killed > 0) json["since_start"]["killed"] = n->killed;
  }
  return json.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

PortHolder CheckListenerPort(pid_t listener, unsigned short port, const std::string& proc) {
  PortHolder holder;
  const std::optional<std::set<unsigned long long>> own =
      SocketInodes(proc, std::to_string(listener));
  const std::vector<UdpSocket> on_port = SocketsOn(proc, listener, port);
  const auto listeners = [&](const UdpSocket& s) {
    return own ? own->count(s.inode) != 0 : s.uid == 0;
  };
  holder.waiting = std::none_of(on_port.begin(), on_port.end(), listeners);
  if (!holder.waiting) return holder;
  for (const UdpSocket& socket : on_port) {
    holder.uid_known = true;
    holder.uid = socket.uid;
    FindProcess(proc, socket.inode, &holder);
    if (holder.pid != 0) break;
  }
  return holder;
}

}  // namespace plim
