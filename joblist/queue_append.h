// The producer's side of the queue file: names appended the way the service takes them.
#ifndef PLIMD_JOBLIST_QUEUE_APPEND_H_
#define PLIMD_JOBLIST_QUEUE_APPEND_H_

#include <string>
#include <vector>

namespace plim {

// Why `name` cannot be queued, or null when it can. An entry is one line cut at its first NUL,
// so a name that is empty, holds a line break or a NUL, or reads exactly as the sentinel would
// not come out of the queue as it went in.
const char* NameProblem(const std::string& name);

// Appends each of `names` to the queue file at `queue` as one write of "name\n", flushed to
// disk, under the exclusive flock on the queue's folder that Get takes. If the file's last
// line lacks its line break, that line is ended first so that the first name does not join it.
// A queue file it creates is created first and its folder flushed, so that the file survives a
// power cut.
// On failure returns false with errno set; the names before the failing one stay queued.
bool AppendToQueue(const std::string& queue, const std::vector<std::string>& names);

}  // namespace plim

#endif  // PLIMD_JOBLIST_QUEUE_APPEND_H_
