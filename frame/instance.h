// One service at a time: the instance lock.
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

}  // namespace plim

#endif  // PLIMD_FRAME_INSTANCE_H_
