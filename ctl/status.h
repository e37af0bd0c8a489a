// What the job list files say, read without changing them, and shown to people or scripts.
#ifndef PLIMD_CTL_STATUS_H_
#define PLIMD_CTL_STATUS_H_

#include <optional>
#include <string>
#include <vector>

namespace plim {

struct JobLists {
  std::vector<std::string> queued;         // in the order the service takes them
  std::optional<std::string> in_progress;  // the raw name of the job running, if any
  std::vector<std::string> done;           // oldest first
};

// Reads the three files under the flock on the queue's folder that Get takes, so that a name
// is not seen both queued and in progress. Missing or unreadable files count as empty; entries
// the service would drop (the sentinel) are left out. Writes nothing.
JobLists ReadJobLists(const std::string& queue, const std::string& in_progress,
                      const std::string& done);

// `name` with its control characters shown as "\xNN", so that it cannot rewrite a terminal.
std::string Printable(const std::string& name);

// For people: one section per file, names one per line and indented, made printable.
std::string FormatText(const JobLists& lists);

// For scripts: {"queued":[...],"in_progress":null or "...","done":[...]} and a line break.
// Bytes that are not UTF-8 come out as U+FFFD, so the output is always valid JSON.
std::string FormatJson(const JobLists& lists);

}  // namespace plim

#endif  // PLIMD_CTL_STATUS_H_
