#include "frame/startup.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "frame/descriptors.h"
#include "frame/instance.h"
#include "frame/kept_log.h"
#include "frame/listener.h"
#include "frame/pair.h"
#include "joblist/paths.h"
#include "joblist/pid_file.h"
#include "joblist/scoped_fd.h"
#include "jobs/kill_request.h"
#include "jobs/work_dir.h"

namespace plim {

namespace {

int RefuseStart(bool held, const std::string& problem) {
  pid_t listener = 0, worker = 0;
  time_t started = 0;
  if (!held) {
    fprintf(stderr, "plimd: %s\n", problem.c_str());
  } else if (ReadPidFile(kPidFile, &listener, &worker, &started)) {
    fprintf(stderr, "plimd: already running (listener %d, worker %d)\n", listener, worker);
  } else {
    fprintf(stderr, "plimd: already running\n");
  }
  return 1;
}

// The work folders under the world-writable /tmp are the service's before any job: made where
// missing, and what another user made or planted in their place moved aside. The worker checks
// them again before each job and waits while they cannot be made safe.
void PrepareWorkRoot() {
  std::string why;
  if (!OpenWorkRoot(kWorkRoot, kWorkRootOwnComponents, &why).valid())
    fprintf(stderr, "plimd: %s; no job runs until it can be made safe\n", why.c_str());
}

// A write to the pipe of a worker that has just died must fail, not kill the listener; tools get
// an empty mask of their own.
void BlockSigpipe() {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipe_signal, nullptr);
}

}  // namespace

int RunService() {
  CloseDescriptorsExcept({});
  // A working folder on the recordings disk, where the launcher may be run from, would keep it
  // busy for as long as the service runs: it could not be unmounted while idle.
  std::ignore = chdir("/");
  bool held = false;
  std::string problem;
  ScopedFd lock = TakeInstanceLock(kInstanceLock, &held, &problem);
  if (!lock.valid()) return RefuseStart(held, problem);
  PrepareWorkRoot();
  StartNewLog(Log);
  const pid_t child = fork();
  if (child < 0) perror("plimd: cannot start");
  if (child != 0) return child < 0 ? 1 : 0;
  // A session of its own: no terminal's signals, and one process group for the pair that the
  // init script can kill at once.
  setsid();
  BlockSigpipe();
  // Blocked before the worker exists: plimctl kill may signal it as soon as the PID file names it.
  BlockKillSignal();
  if (!MapPair(lock.Release())) return 0;
  Pair().listener = getpid();
  int pipe_write;
  if (StartWorker(&pipe_write) < 0) return 0;
  RunListener(pipe_write);
  return 0;
}

}  // namespace plim
