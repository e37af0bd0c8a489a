#include "ctl/command_line.h"

#include <errno.h>
#include <getopt.h>
#include <string.h>
#include <sys/inotify.h>

#include "ctl/status.h"
#include "joblist/atomic_file.h"
#include "joblist/queue_append.h"
#include "jobs/convert.h"

namespace plim {

namespace {

// getopt_long's value for the long form of option i; above every byte a short option can be.
constexpr int kLongBase = 256;

// getopt_long's tables for `command`, the long form of option i as kLongBase + i. `shorts` has
// ':' first, so that a missing value is told apart from an unknown option; '+' is left out, so
// that options may follow the operands.
void OptionTables(const Command& command, std::vector<struct option>* longs, std::string* shorts) {
  *shorts = ":";
  for (size_t i = 0; i < command.options.size(); ++i) {
    const Option& o = command.options[i];
    longs->push_back({o.name, o.value_name ? required_argument : no_argument, nullptr,
                      kLongBase + static_cast<int>(i)});
    if (o.short_name != 0) *shorts += std::string(1, o.short_name) + (o.value_name ? ":" : "");
  }
  longs->push_back({nullptr, 0, nullptr, 0});
}

const Option* Found(const Command& command, int c) {
  if (c >= kLongBase) return &command.options[static_cast<size_t>(c - kLongBase)];
  for (const Option& o : command.options) {
    if (o.short_name == c) return &o;
  }
  return nullptr;
}

// What getopt_long refused: `c` is '?' or ':', `word` the argument it stopped at.
std::string Refused(const Command& command, int c, const char* word) {
  const Option* option = optopt != 0 ? Found(command, optopt) : nullptr;
  const std::string name = option ? std::string("--") + option->name : Printable(word);
  if (c == ':') return std::string(command.name) + ": " + name + " takes a value";
  if (option) return std::string(command.name) + ": " + name + " takes no value";
  const std::string shown = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : name;
  // A mistyped option must not be taken for a recording's name.
  return std::string(command.name) + ": unknown option " + Printable(shown) +
         " (put -- before a NAME with a -)";
}

// Whether `count` operands fit `command`; otherwise says why in `problem`.
bool CountFits(const Command& command, size_t count, std::string* problem) {
  const std::string operands = command.operands;
  const std::string name = command.name;
  if (operands.empty() && count > 0) {
    *problem = name + " takes no arguments";
  } else if (!operands.empty() && operands[0] != '[' && count == 0) {
    *problem = name + ": no NAME given";
  } else if (operands == "NAME" && count > 1) {
    *problem = name + ": one NAME only";
  }
  return problem->empty();
}

}  // namespace

std::string Synopsis(const Command& command) {
  std::string synopsis = command.name;
  for (const Option& o : command.options) {
    synopsis +=
        std::string(" [--") + o.name + (o.value_name ? std::string(" ") + o.value_name : "") + "]";
  }
  return *command.operands != '\0' ? synopsis + " " + command.operands : synopsis;
}

bool ParseOptions(const Command& command, const std::vector<std::string>& args, Invocation* call,
                  std::string* problem) {
  std::vector<std::string> words = {std::string("plimctl ") + command.name};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  std::vector<struct option> longs;
  std::string shorts;
  OptionTables(command, &longs, &shorts);
  opterr = 0;
  optind = 0;  // glibc: starts afresh, also after an earlier command line of this process
  for (int c; (c = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), nullptr)) != -1;) {
    const Option* option = c == '?' || c == ':' ? nullptr : Found(command, c);
    if (option == nullptr) {
      *problem = Refused(command, c, argv[static_cast<size_t>(optind) - 1]);
      return false;
    }
    if (option->value_name) {
      call->values[option->name] = optarg;
    } else {
      call->flags.insert(option->name);
    }
  }
  // getopt_long moved the operands behind the options, in their order.
  call->operands.assign(argv.begin() + optind, argv.end() - 1);
  return CountFits(command, call->operands.size(), problem);
}

int UsageError(FILE* err, const std::string& problem) {
  fprintf(err, "plimctl: %s\nTry 'plimctl --help'.\n", problem.c_str());
  return kExitUsage;
}

std::string BadName(const char* command, const std::vector<std::string>& names, bool as_file) {
  for (const std::string& name : names) {
    const char* why = NameProblem(name);
    if (why == nullptr && as_file) why = PathProblem(name);
    if (why != nullptr)
      return std::string(command) + ": the name \"" + Printable(name) + "\" " + why;
  }
  return "";
}

ScopedFd WatchFolders(const std::vector<std::string>& paths, uint32_t mask, FILE* err) {
  ScopedFd inotify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  bool watched = inotify.valid();
  for (const std::string& path : paths) {
    watched = watched && inotify_add_watch(inotify.get(), DirectoryOf(path).c_str(), mask) >= 0;
  }
  if (watched) return inotify;
  fprintf(err, "plimctl: cannot watch %s: %s\n", DirectoryOf(paths[0]).c_str(), strerror(errno));
  return ScopedFd();
}

}  // namespace plim
