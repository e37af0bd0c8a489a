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

int History(const Invocation& call) {
  const bool json = call.Has("json");
  std::set<std::string> names;
  for (const std::string& name : call.operands) names.insert(RecordedName(name));
  std::set<std::string> unseen = names;
  std::string shown = json ? "[" : "";
  for (const HistoryRecord& record : ReadHistory(call.files.history)) {
    if (!names.empty() && names.count(record.name) == 0) continue;
    unseen.erase(record.name);
    if (!json) {
      shown += FormatHistoryLine(record);
    } else {
      std::string object = FormatRecord(record);
      object.pop_back();
      shown += (shown.size() > 1 ? "," : "") + object;
    }
  }
  fputs((json ? shown + "]\n" : shown).c_str(), call.out);
  const int status = unseen.empty() ? kExitOk : kExitFailed;
  for (const std::string& name : call.operands) {
    if (unseen.erase(RecordedName(name)) == 0) continue;  // each name once
    fprintf(call.err, "plimctl: history: no record of \"%s\"\n", Printable(name).c_str());
  }
  return status;
}

}  // namespace plim
