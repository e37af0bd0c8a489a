// The folder the jobs work in. It sits under the world-writable /tmp, so the service opens it
// one component at a time and looks after the folders it owns itself: made if missing, given
// the service's owner and mode 0755 through a descriptor, and, where another user made or
// planted something in their place (a link, a file, a folder of their own), that is moved aside
// and the folder made anew. Each job walks the path again. Nothing another user owns or can
// change is ever followed.
#ifndef PLIMD_JOBS_WORK_DIR_H_
#define PLIMD_JOBS_WORK_DIR_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "joblist/scoped_fd.h"

namespace plim {

// What becomes of one entry met on the way to the work folder.
enum class Verdict {
  kEnter,    // a folder that can be trusted as it is
  kRepair,   // one of the service's own folders, given its owner and mode 0755 where they differ
  kReplace,  // where one of the service's own folders belongs, another user's entry: moved aside
  kFollow,   // a link that its owner's trust lets the walk follow
  kRefuse,   // the walk stops here; the work folder cannot be made safe
};

// Judges `entry` (as lstat sees it), found in the folder `parent` (as fstat sees it). `own` says
// whether the service makes and owns this folder; `self` is the only user besides root that is
// trusted. On kRefuse and kReplace, `why` says what is wrong with the entry.
Verdict Judge(const struct stat& parent, const struct stat& entry, bool own, uid_t self,
              std::string* why);

// Opens the folder `path` (absolute), making its last `own` components where they are missing
// and repairing them (owner the effective user and group, mode 0755); another user's entry in
// the place of one of them is renamed to "<name>.moved.<unique>" beside it (said on stderr with
// that name) and the folder made anew. A link is followed only where its owner is trusted, and
// the folder reached must be the trusted user's and writable by no one else. On failure returns
// an invalid descriptor and `why` says, with the path, why the folder cannot be made safe;
// nothing that is not the service's own is changed (another user's entry is only renamed).
ScopedFd OpenWorkRoot(const std::string& path, int own, std::string* why);

}  // namespace plim

#endif  // PLIMD_JOBS_WORK_DIR_H_
