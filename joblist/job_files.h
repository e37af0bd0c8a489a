// The job list files: the queue, the in-progress file and the done list.
#ifndef PLIMD_JOBLIST_JOB_FILES_H_
#define PLIMD_JOBLIST_JOB_FILES_H_

#include <string>

#include "joblist/queue_take.h"
#include "joblist/scoped_fd.h"

namespace plim {

// The lock that Get and producers share around the queue file at `queue`: an exclusive flock on
// its folder, since the file itself is replaced by a rename. Waits for it; where the folder
// cannot be opened, the holder goes on unlocked.
ExclusiveLock LockQueue(const std::string& queue);

// Takes the head entry off the queue file (PrintQueue), under an exclusive flock on its folder,
// and names it in the in-progress file before the queue loses it. "<ERROR>" lines and lines
// longer than kLongestLine at the head are taken off with it, the long ones handed to
// `set_aside`. A lock held kServiceLockPatience seconds is not waited for any longer: the
// rewrite goes on without it, as for producers that take none. Returns the sentinel when the
// queue holds no entry, and also when the queue or the in-progress file could not be written;
// then "Error: <queue path>\n" goes to stdout and both files stay as they were.
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
