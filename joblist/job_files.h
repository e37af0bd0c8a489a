// The job list files: the queue, the in-progress file and the done list.
#ifndef PLIMD_JOBLIST_JOB_FILES_H_
#define PLIMD_JOBLIST_JOB_FILES_H_

#include <sys/types.h>

#include <functional>
#include <string>

#include "joblist/scoped_fd.h"

namespace plim {

// A queue line longer than kLongestLine, taken off unread: its length and its first bytes.
struct SetAsideLine {
  off_t length = 0;
  std::string start;  // its first kSetAsideStart bytes at most, cut at a NUL byte
};
inline constexpr size_t kSetAsideStart = 256;
using SetAside = std::function<void(const SetAsideLine& line)>;

// The lock that Get and producers share around the queue file at `queue`: an exclusive flock on
// its folder, since the file itself is replaced by a rename. Waits for it; where the folder
// cannot be opened, the holder goes on unlocked.
ExclusiveLock LockQueue(const std::string& queue);

// Takes the head entry off the queue file, under an exclusive flock on its folder, and names it
// in the in-progress file before the queue loses it. "<ERROR>" lines and lines longer than
// kLongestLine at the head are taken off with it, the long ones handed to `set_aside` once the
// queue no longer holds them. The lines behind the head are rewritten as the entries they read
// as (RewriteQueue), a long line byte for byte. A last line that a producer is still writing is
// not taken, and lines that producers append to the old file meanwhile are carried over. An
// empty queue, or one whose only line is still being written, is not rewritten; an absent one
// is created empty. A lock held three seconds is not waited for any longer: the rewrite goes on
// without it, as for producers that take none. Returns the sentinel when the queue holds no
// entry, and also when the queue or the in-progress file could not be read or written; then
// "Error: <queue path>\n" goes to stdout and both files stay as they were.
std::string Get(const SetAside& set_aside);

// Appends `name` to the done list, which then holds its newest ten lines.
// On failure the done list stays as it was and false is returned.
bool Save(std::string name);

// The last line of the in-progress file that is not longer than kLongestLine, or the sentinel
// when it holds none.
std::string GetActive();

// Removes temporary files that a crash during a rewrite may have left beside the job files.
void RemoveStaleTemporaries();

// The same operations on files that the caller names.
std::string GetFrom(const std::string& queue, const std::string& in_progress,
                    const SetAside& set_aside);
bool SaveTo(const std::string& done_list, std::string name);
std::string GetActiveFrom(const std::string& in_progress);
bool SetActiveIn(const std::string& in_progress, const std::string* name);

}  // namespace plim

#endif  // PLIMD_JOBLIST_JOB_FILES_H_
