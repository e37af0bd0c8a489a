// The service's own settings file: "key = value" lines, "#" comments, blanks around both.
#ifndef PLIMD_JOBS_SETTINGS_H_
#define PLIMD_JOBS_SETTINGS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace plim {

struct Settings {
  int tool_time_limit = 0;  // seconds a tool may run; 0: no limit
  std::string on_job_done;  // the program run after each job; empty: none
  // The file-creation mask of the tools and the hook: root's usual, not the worker's 0, so that
  // what they make is not open to every user.
  mode_t tool_umask = 022;
  int log_limit_mb = 16;  // MiB of the tools' output a job's log record may hold
  // The box records and plays streams while jobs run: the tools and the hook take only the CPU
  // and the disk time that those leave over, unless set otherwise.
  int tool_nice = 19;        // their nice value, 0 to 19
  bool tool_io_idle = true;  // the idle I/O class; false: the service's own (best-effort)
};

// The longest time limit, in seconds (about 24 days): a wait takes it in milliseconds as an int.
inline constexpr int kMaxTimeLimit = 2147483;
// The largest log_limit_mb: a record beyond a GiB could not be read back by anyone anyway.
inline constexpr int kMaxLogLimitMb = 1024;

// Reads the settings in `text`: `tool_time_limit` (whole seconds, 1 to kMaxTimeLimit) and
// `on_job_done` (an absolute path), `tool_umask` (octal, 0000 to 0777), `log_limit_mb` (whole
// MiB, 1 to kMaxLogLimitMb), `tool_nice` (0 to 19) and `tool_io_class` ("idle" or
// "best-effort"). A line that is not a known key with a good value is left
// out, with a line saying why in `problems`; the rest still count, the last of a key winning.
Settings ParseSettings(std::string_view text, std::vector<std::string>* problems);

// What the settings file says, and what is wrong with it.
struct SettingsFile {
  Settings settings;
  bool ignored = false;  // the file exists but does not count: the defaults hold
  // "WHY; ignored" for an ignored file, else "line N: WHY" for each line left out.
  std::vector<std::string> problems;
};

// Reads the settings file at `path`. A missing file gives the defaults. The file counts only if
// it is a regular file, not a link, owned by root and writable by root alone, and can be read;
// otherwise it is ignored. A caller without root that may not read it learns only whether the
// file's owner and mode are trusted. `info` gets what lstat or fstat said of it.
SettingsFile LoadSettings(const std::string& path, struct stat* info);

// The service's LoadSettings: what is wrong with the file goes to stderr, once for each change
// of it.
Settings ReadSettings(const std::string& path);

}  // namespace plim

#endif  // PLIMD_JOBS_SETTINGS_H_
