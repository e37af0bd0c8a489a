#include "frame/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include "frame/listener.h"
#include "frame/worker.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

void CutLog() { ScopedFd log(open(Log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)); }

}  // namespace

int RunService() {
  CutLog();
  if (fork() != 0) return 0;
  // Close-on-exec keeps the trigger pipe out of the tools the worker runs.
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return 0;
  const pid_t worker = fork();
  if (worker < 0) return 0;
  if (worker == 0) {
    rpcread(pipe_ends[0]);
  } else {
    rpcwrite(pipe_ends[1]);
  }
  return 0;
}

}  // namespace plim
