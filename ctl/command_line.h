// The command lines of plimctl's commands: options, then NAMEs, and what to say when they are
// not right.
#ifndef PLIMD_CTL_COMMAND_LINE_H_
#define PLIMD_CTL_COMMAND_LINE_H_

#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace plim {

struct CommandLine {
  std::vector<std::string> names;
  std::set<std::string> flags;                // the options given that take no value
  std::map<std::string, std::string> values;  // the options given with their value
};

// Splits `args`, the words after `command`: every word after "--" is a NAME, and before it every
// one not starting with "-"; of the others, those in `flags` stand alone and those in `valued`
// take the next word as their value. On an unknown option, or a valued one at the end, returns
// false with `problem` set.
bool ParseCommandLine(const std::string& command, const std::vector<std::string>& args,
                      const std::set<std::string>& flags, const std::set<std::string>& valued,
                      CommandLine* line, std::string* problem);

// Says what is wrong with the command line on `err`; returns kExitUsage.
int UsageError(FILE* err, const std::string& problem);

}  // namespace plim

#endif  // PLIMD_CTL_COMMAND_LINE_H_
