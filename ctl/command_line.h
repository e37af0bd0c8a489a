// plimctl's commands as one table, and the command line of each: options, then operands, and
// what to say when they are not right.
#ifndef PLIMD_CTL_COMMAND_LINE_H_
#define PLIMD_CTL_COMMAND_LINE_H_

#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "ctl/ctl.h"

namespace plim {

struct Option {
  const char* name;        // the long name, without "--"
  char short_name;         // 0 for none
  const char* value_name;  // what its value is called in the usage; nullptr: it takes none
};

// One command, as parsed from the words after the command's name.
struct Invocation {
  const CtlFiles& files;
  FILE* out;
  FILE* err;
  std::set<std::string> flags;                // the long names of the options given without value
  std::map<std::string, std::string> values;  // the long names of those with one, and the value
  std::vector<std::string> operands;          // the NAMEs, in order

  bool Has(const std::string& option) const { return flags.count(option) != 0; }
};

using Handler = int (*)(const Invocation&);

struct Command {
  const char* name;
  // What follows the options in the usage: "" (the parser refuses operands), "NAME" (exactly
  // one), "NAME..." (one or more), or in brackets (any number).
  const char* operands;
  const char* summary;  // for the usage; "\n" starts another line
  std::vector<Option> options;
  Handler run;
};

// The commands, in the order the usage lists them (defined in ctl.cc).
const std::vector<Command>& Commands();

// "add [--first] NAME...": the command's synopsis, as the usage shows it.
std::string Synopsis(const Command& command);

// Parses `args`, the words after the command's name, with getopt_long: options may come before,
// between and after the operands, "--opt=value" and "--opt value" are the same, "--" ends the
// options. Checks the count of operands against `command.operands`. On an unknown option, a
// missing value or a wrong count, returns false with `problem` set.
bool ParseOptions(const Command& command, const std::vector<std::string>& args, Invocation* call,
                  std::string* problem);

// Says what is wrong with the command line on `err`; returns kExitUsage.
int UsageError(FILE* err, const std::string& problem);

}  // namespace plim

#endif  // PLIMD_CTL_COMMAND_LINE_H_
