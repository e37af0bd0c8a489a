// One service at a time: the instance lock, and the file naming the service's two processes.
#ifndef PLIMD_FRAME_INSTANCE_H_
#define PLIMD_FRAME_INSTANCE_H_

#include <sys/types.h>
#include <time.h>

#include <string>

#include "joblist/scoped_fd.h"

namespace plim {

// Opens the lock file `path` without following a link (creating it 0600), makes it the caller's
// alone (owner and mode 0600) and takes an exclusive flock on it without waiting. The lock lasts
// as long as some process holds the returned descriptor or a copy of it.
// On failure returns an invalid descriptor and says why in `problem`; `*held` tells that
// another process holds the lock.
ScopedFd TakeInstanceLock(const char* path, bool* held, std::string* problem);

// Replaces `path` by "LISTENER WORKER STARTED\n" (0 for a process that is missing; STARTED is
// when the service started, in seconds since the epoch), through a rename, so a reader sees the
// old or the new line whole. Returns false on failure.
bool WritePidFile(const char* path, pid_t listener, pid_t worker, time_t started);

// Reads the line back; `*started` is 0 for a file that names only the two processes. Returns
// false if the file is missing or malformed.
bool ReadPidFile(const char* path, pid_t* listener, pid_t* worker, time_t* started);

}  // namespace plim

#endif  // PLIMD_FRAME_INSTANCE_H_
