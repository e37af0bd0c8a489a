// The service's own settings file: "key = value" lines, "#" comments, blanks around both.
#ifndef PLIMD_JOBS_SETTINGS_H_
#define PLIMD_JOBS_SETTINGS_H_

#include <string>
#include <string_view>
#include <vector>

namespace plim {

struct Settings {
  int tool_time_limit = 0;  // seconds a tool may run; 0: no limit
  std::string on_job_done;  // the program run after each job; empty: none
};

// The longest time limit, in seconds (about 24 days): a wait takes it in milliseconds as an int.
inline constexpr int kMaxTimeLimit = 2147483;

// Reads the settings in `text`: `tool_time_limit` (whole seconds, 1 to kMaxTimeLimit) and
// `on_job_done` (an absolute path). A line that is not a known key with a good value is left
// out, with a line saying why in `problems`; the rest still count, the last of a key winning.
Settings ParseSettings(std::string_view text, std::vector<std::string>* problems);

// Reads the settings file at `path`. A missing file gives the defaults. The file counts only if
// it is a regular file, not a link, owned by root and writable by root alone; otherwise the
// defaults are returned. What is wrong with the file goes to stderr, once for each change of it.
Settings ReadSettings(const std::string& path);

}  // namespace plim

#endif  // PLIMD_JOBS_SETTINGS_H_
