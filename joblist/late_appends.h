// Producers may append to the queue file without taking the folder lock. A producer that opened
// the file just before Get replaced it writes into the replaced file; these functions find out
// whether any process still holds a file open for writing and carry such late lines over.
#ifndef PLIMD_JOBLIST_LATE_APPENDS_H_
#define PLIMD_JOBLIST_LATE_APPENDS_H_

#include <sys/types.h>

#include <string>

#include "joblist/scoped_fd.h"

namespace plim {

// Where the whole lines of `fd`'s file end, `size` being its size as fstat gave it: at `size`,
// but after its last line break while another process holds the file open for writing and its
// last line lacks its break, since that line may not be finished yet. -1 when a read fails.
off_t EndOfWholeLines(int fd, off_t size);

// Copies what was appended to the replaced file `old_fd` from `offset` on to the end of the
// file at `path`: whole lines while a writer still holds the old file, and everything, a last
// line completed with "\n", once none does. Returns when no writer is left, or when the kernel
// cannot tell, or after a writer held the old file for more than ten seconds.
// On failure to append, the lines stay only in the old file and a message goes to stderr.
void CarryLateAppends(int old_fd, off_t offset, const std::string& path);

// The service's form of CarryLateAppends, which a writer cannot hold up: it waits at most a
// second for the writers of the replaced file (not at all while another file is kept), then
// keeps the file as a straggler, whose later lines CarryStragglers carries. At most
// kMostStragglers are kept; beyond that the oldest is dropped with a message on stderr.
inline constexpr size_t kMostStragglers = 8;
void CarryOrKeepLateAppends(ScopedFd old_fd, off_t offset, const std::string& path);

// Carries what the kept files have received since they were last looked at, and drops those
// that no process holds open for writing any more.
void CarryStragglers();

// Whether a replaced file is kept because a writer still holds it.
bool KeepsStragglers();

// Forgets the kept files without closing them: a process forked from this one's forebear has
// them closed already, and their numbers may name other files now.
void ForgetStragglers();

// Closes the kept files that are not on the file system `device` (all of them for 0): after a
// change of the mount table, a file of a disk that went, or of another one, is no queue's.
void DropStragglersOff(dev_t device);

}  // namespace plim

#endif  // PLIMD_JOBLIST_LATE_APPENDS_H_
