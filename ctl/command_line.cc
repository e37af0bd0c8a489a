#include "ctl/command_line.h"

#include "ctl/ctl.h"
#include "ctl/status.h"

namespace plim {

bool ParseCommandLine(const std::string& command, const std::vector<std::string>& args,
                      const std::set<std::string>& flags, const std::set<std::string>& valued,
                      CommandLine* line, std::string* problem) {
  bool options_end = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      line->names.push_back(arg);
    } else if (arg == "--") {
      options_end = true;
    } else if (flags.count(arg) != 0) {
      line->flags.insert(arg);
    } else if (valued.count(arg) != 0 && i + 1 < args.size()) {
      line->values[arg] = args[++i];
    } else {
      // A mistyped option must not be taken for a recording's name.
      *problem =
          command + ": unknown option " + Printable(arg) + " (put -- before a NAME with a -)";
      return false;
    }
  }
  return true;
}

int UsageError(FILE* err, const std::string& problem) {
  fprintf(err, "plimctl: %s\nTry 'plimctl --help'.\n", problem.c_str());
  return kExitUsage;
}

}  // namespace plim
