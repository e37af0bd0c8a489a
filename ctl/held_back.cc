#include "ctl/held_back.h"

#include <sys/stat.h>

namespace plim {

int ServiceStatusCode(const ServiceProcesses& service) {
  if (service.listener != 0 && service.worker != 0) return kExitOk;
  if (service.listener != 0 || service.worker != 0) return kExitProcessMissing;
  return kExitNotRunning;
}

bool WarnIfHeldBack(const CtlFiles& files, FILE* err) {
  bool warned = false;
  struct stat info;
  if (stat(files.paused.c_str(), &info) == 0) {
    fprintf(err,
            "plimctl: warning: plimd is paused (%s exists); no job starts until 'plimctl resume'\n",
            files.paused.c_str());
    warned = true;
  }
  const ServiceProcesses service = ReadServiceProcesses(files.pid_file);
  switch (ServiceStatusCode(service)) {
    case kExitNotRunning:
      fputs("plimctl: warning: plimd is not running; no job starts until it is started\n", err);
      return true;
    case kExitProcessMissing:
      fprintf(err,
              "plimctl: warning: plimd's %s is missing; no job starts until plimd is restarted\n",
              service.listener == 0 ? "listener" : "worker");
      return true;
  }
  return warned;
}

}  // namespace plim
