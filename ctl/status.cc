#include "ctl/status.h"

#include <stdio.h>

#include <fstream>
#include <iterator>

#include "frame/instance.h"
#include "joblist/job_files.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"
#include "joblist/string_array.h"

namespace plim {

namespace {

std::vector<std::string> Entries(const std::string& path) {
  const StringArray entries(path);
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

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 if there is none.
size_t Utf8Length(std::string_view s) {
  const auto byte = [&s](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  size_t length = lead < 0x80 ? 1 : lead < 0xc2 ? 0 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
  if (length == 0 || lead > 0xf4 || length > s.size()) return 0;
  // Second-byte limits rule out overlong forms, UTF-16 surrogates and code points past U+10FFFF.
  const unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char c = byte(i);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf)) return 0;
  }
  return length;
}

std::string JsonString(std::string_view s) {
  std::string json = "\"";
  while (!s.empty()) {
    const size_t length = Utf8Length(s);
    const unsigned char c = static_cast<unsigned char>(s[0]);
    char escaped[8];
    if (length == 0) {
      json += "\\ufffd";
    } else if (c == '"' || c == '\\') {
      json += {'\\', static_cast<char>(c)};
    } else if (IsControl(c)) {
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      json += escaped;
    } else {
      json += s.substr(0, length);
    }
    s.remove_prefix(length == 0 ? 1 : length);
  }
  return json + "\"";
}

std::string JsonArray(const std::vector<std::string>& names) {
  std::string json = "[";
  for (size_t i = 0; i < names.size(); ++i) json += (i == 0 ? "" : ",") + JsonString(names[i]);
  return json + "]";
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

std::string JsonPid(pid_t pid) { return pid != 0 ? std::to_string(pid) : "null"; }

}  // namespace

ServiceProcesses ReadServiceProcesses(const std::string& pid_file) {
  ServiceProcesses p;
  if (!ReadPidFile(pid_file.c_str(), &p.listener, &p.worker)) return ServiceProcesses();
  if (!IsService(p.listener)) p.listener = 0;
  if (!IsService(p.worker)) p.worker = 0;
  return p;
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
  text += "in progress: ";
  text += lists.in_progress ? Printable(*lists.in_progress) : "(none)";
  text += "\n";
  AppendSection(&text, "queued", lists.queued);
  AppendSection(&text, "done, oldest first", lists.done);
  return text;
}

std::string FormatJson(const StatusReport& status) {
  const ServiceProcesses& p = status.service;
  const JobLists& lists = status.jobs;
  const bool running = p.listener != 0 && p.worker != 0;
  return "{\"service\":{\"running\":" + std::string(running ? "true" : "false") +
         ",\"listener\":" + JsonPid(p.listener) + ",\"worker\":" + JsonPid(p.worker) + "}" +
         ",\"queued\":" + JsonArray(lists.queued) +
         ",\"in_progress\":" + (lists.in_progress ? JsonString(*lists.in_progress) : "null") +
         ",\"done\":" + JsonArray(lists.done) + "}\n";
}

}  // namespace plim
