#include "ctl/history_cmds.h"

#include <set>

#include "ctl/status.h"

namespace plim {

int UsageError(FILE* err, const std::string& problem) {
  fprintf(err, "plimctl: %s\nTry 'plimctl --help'.\n", problem.c_str());
  return kExitUsage;
}

std::string FormatHistoryLine(const HistoryRecord& record) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f s", record.seconds);
  return record.start + "  " + seconds + "  " + Outcome(record) + (record.rerun ? " (rerun)" : "") +
         "  " + Describe(record.analysis) + " / " + Describe(record.mark) + "  " +
         Printable(record.name) + "\n";
}

int History(const std::vector<std::string>& args, const CtlFiles& files, FILE* out, FILE* err) {
  bool json = false;
  bool options_end = false;
  std::set<std::string> names;
  for (const std::string& arg : args) {
    if (!options_end && arg == "--") {
      options_end = true;
    } else if (!options_end && arg == "--json") {
      json = true;
    } else if (!options_end && arg.size() > 1 && arg[0] == '-') {
      return UsageError(err, "history: unknown option " + Printable(arg));
    } else {
      names.insert(RecordedName(arg));
    }
  }
  std::string shown = json ? "[" : "";
  for (const HistoryRecord& record : ReadHistory(files.history)) {
    if (!names.empty() && names.count(record.name) == 0) continue;
    if (!json) {
      shown += FormatHistoryLine(record);
    } else {
      std::string line = FormatRecord(record);
      line.pop_back();
      shown += (shown.size() > 1 ? "," : "") + line;
    }
  }
  fputs((json ? shown + "]\n" : shown).c_str(), out);
  return kExitOk;
}

}  // namespace plim
