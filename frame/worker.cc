#include "frame/worker.h"

#include <errno.h>
#include <unistd.h>

#include "jobs/drain.h"

namespace plim {

void rpcread(int& pipe_read) {
  Recover();
  Start();
  for (;;) {
    char byte;
    const ssize_t n = read(pipe_read, &byte, 1);
    if (n == 1) {
      if (byte == '1') Start();
    } else if (n == 0 || errno != EINTR) {
      return;
    }
  }
}

}  // namespace plim
