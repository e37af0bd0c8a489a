#include "ctl/history_cmds.h"

#include <set>

#include "ctl/command_line.h"
#include "ctl/status.h"

namespace plim {

std::string FormatHistoryLine(const HistoryRecord& record) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f s", record.seconds);
  return record.start + (record.clock_unset ? " (clock unset)" : "") + "  " + seconds + "  " +
         Outcome(record) + (record.rerun ? " (rerun)" : "") + "  " + Describe(record.analysis) +
         " / " + Describe(record.mark) + "  " + Printable(record.name) +
         (record.error.empty() ? "" : "  (" + Printable(record.error) + ")") + "\n";
}

int History(const std::vector<std::string>& args, const CtlFiles& files, FILE* out, FILE* err) {
  CommandLine line;
  std::string problem;
  if (!ParseCommandLine("history", args, {"--json"}, {}, &line, &problem)) {
    return UsageError(err, problem);
  }
  const bool json = line.flags.count("--json") != 0;
  std::set<std::string> names;
  for (const std::string& name : line.names) names.insert(RecordedName(name));
  std::string shown = json ? "[" : "";
  for (const HistoryRecord& record : ReadHistory(files.history)) {
    if (!names.empty() && names.count(record.name) == 0) continue;
    if (!json) {
      shown += FormatHistoryLine(record);
    } else {
      std::string object = FormatRecord(record);
      object.pop_back();
      shown += (shown.size() > 1 ? "," : "") + object;
    }
  }
  fputs((json ? shown + "]\n" : shown).c_str(), out);
  return kExitOk;
}

}  // namespace plim
