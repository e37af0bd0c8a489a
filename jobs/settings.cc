#include "jobs/settings.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <tuple>

#include "joblist/atomic_file.h"
#include "joblist/scoped_fd.h"
#include "joblist/text_lines.h"

namespace plim {

namespace {

std::string_view Trim(std::string_view s) {
  const size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

// A whole number in `base` (8 or 10) from `low` to `high`, digits only.
bool ParseNumber(std::string_view value, int base, long long low, long long high, long long* out) {
  if (value.empty() || value.size() > 7) return false;
  long long number = 0;
  for (char c : value) {
    if (c < '0' || c >= '0' + base) return false;
    number = number * base + (c - '0');
  }
  if (number < low || number > high) return false;
  *out = number;
  return true;
}

// The settings that take a whole number, with their bounds.
struct NumericKey {
  const char* key;
  int base;
  long long min, max;
  std::string problem;
  void (*set)(Settings*, long long);
};

const NumericKey kNumericKeys[] = {
    {"tool_time_limit", 10, 1, kMaxTimeLimit,
     "tool_time_limit must be whole seconds from 1 to " + std::to_string(kMaxTimeLimit),
     [](Settings* s, long long n) { s->tool_time_limit = static_cast<int>(n); }},
    {"tool_umask", 8, 0, 0777, "tool_umask must be octal from 0000 to 0777",
     [](Settings* s, long long n) { s->tool_umask = static_cast<mode_t>(n); }},
    {"log_limit_mb", 10, 1, kMaxLogLimitMb,
     "log_limit_mb must be whole MiB from 1 to " + std::to_string(kMaxLogLimitMb),
     [](Settings* s, long long n) { s->log_limit_mb = static_cast<int>(n); }},
    {"tool_nice", 10, 0, 19, "tool_nice must be from 0 to 19",
     [](Settings* s, long long n) { s->tool_nice = static_cast<int>(n); }},
};

// Applies one line; returns what is wrong with it, or an empty string.
std::string Apply(std::string_view line, Settings* settings) {
  line = Trim(line.substr(0, line.find('#')));
  if (line.empty()) return {};
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return "not \"key = value\"";
  const std::string key(Trim(line.substr(0, equals)));
  const std::string_view value = Trim(line.substr(equals + 1));
  for (const NumericKey& numeric : kNumericKeys) {
    if (key != numeric.key) continue;
    long long number;
    if (!ParseNumber(value, numeric.base, numeric.min, numeric.max, &number))
      return numeric.problem;
    numeric.set(settings, number);
    return {};
  }
  if (key == "tool_io_class") {
    if (value != "idle" && value != "best-effort")
      return "tool_io_class must be \"idle\" or \"best-effort\"";
    settings->tool_io_idle = value == "idle";
    return {};
  }
  if (key == "on_job_done") {
    if (value.empty() || value[0] != '/') return "on_job_done must be an absolute path";
    settings->on_job_done = value;
    return {};
  }
  return "unknown key \"" + key + "\"";
}

// What a file looked like when it was last reported, so that one fault is reported once.
using Stamp = std::tuple<dev_t, ino_t, off_t, long, long, long, long, mode_t, uid_t>;

Stamp StampOf(const struct stat& info) {
  return {info.st_dev,          info.st_ino,          info.st_size,
          info.st_mtim.tv_sec,  info.st_mtim.tv_nsec, info.st_ctim.tv_sec,
          info.st_ctim.tv_nsec, info.st_mode,         info.st_uid};
}

void ReportOnce(const std::string& path, const struct stat& info,
                const std::vector<std::string>& problems) {
  static std::optional<Stamp> reported;
  if (problems.empty() || reported == StampOf(info)) return;
  reported = StampOf(info);
  for (const std::string& problem : problems) {
    fprintf(stderr, "plimd: %s: %s\n", path.c_str(), problem.c_str());
  }
}

// Why the file behind `info` must not be trusted, or null.
const char* Distrust(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return "not a regular file; ignored";
  if (info.st_uid != 0) return "not owned by root; ignored";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by others than root; ignored";
  return nullptr;
}

}  // namespace

Settings ParseSettings(std::string_view text, std::vector<std::string>* problems) {
  Settings settings;
  std::string_view line;
  for (int number = 1; TakeLine(&text, &line); ++number) {
    const std::string problem = Apply(line, &settings);
    if (!problem.empty()) problems->push_back("line " + std::to_string(number) + ": " + problem);
  }
  return settings;
}

SettingsFile LoadSettings(const std::string& path, struct stat* info) {
  SettingsFile file;
  const auto ignore = [&file](std::string why) {
    file.ignored = true;
    file.problems.push_back(std::move(why));
    return file;
  };
  // A link could point anywhere that another user controls; O_NONBLOCK keeps a FIFO from
  // blocking the open.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  *info = {};
  if (!fd.valid()) {
    const int error = errno;
    if (error == ENOENT || lstat(path.c_str(), info) != 0) return file;
    // Only root reads the file for certain; others can still judge its owner and mode.
    if (error == EACCES && geteuid() != 0) {
      const char* why = Distrust(*info);
      return why != nullptr ? ignore(why) : file;
    }
    return ignore(std::string(strerror(error)) + "; ignored");
  }
  std::string text;
  if (fstat(fd.get(), info) != 0) return file;
  if (const char* why = Distrust(*info)) return ignore(why);
  if (!ReadFrom(fd.get(), 0, &text, info->st_size)) {
    return ignore(std::string(strerror(errno)) + "; ignored");
  }
  file.settings = ParseSettings(text, &file.problems);
  return file;
}

Settings ReadSettings(const std::string& path) {
  struct stat info;
  const SettingsFile file = LoadSettings(path, &info);
  ReportOnce(path, info, file.problems);
  return file.settings;
}

}  // namespace plim
