// plimctl: queues recordings for the service, triggers it and shows its job lists.
#ifndef PLIMD_CTL_CTL_H_
#define PLIMD_CTL_CTL_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "joblist/paths.h"

namespace plim {

// The files plimctl works on; tests point them at scratch files.
struct CtlFiles {
  std::string queue = Queue;
  std::string in_progress = InBearbeitung;
  std::string done = Fertig;
  std::string conf = Conf;
  std::string stream = kStreamPath;  // "%s" stands for the file-system name
  std::string log = Log;
  std::string paused = kPausedMark;
  std::string pid_file = kPidFile;
  std::string history = kHistory;
  std::string settings = kSettings;
  std::string kill_request = kKillRequest;
};

// Exit statuses, as documented in plimctl(1).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Runs the command in `args` (the arguments after the program's name), writing results to
// `out` and messages to `err`. Returns kExitUsage, having changed nothing, for a command line
// or a name that is not right; kExitFailed when a file or the datagram could not be written.
int RunCtl(const std::vector<std::string>& args, const CtlFiles& files, FILE* out, FILE* err);

}  // namespace plim

#endif  // PLIMD_CTL_CTL_H_
