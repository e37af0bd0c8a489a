// The queue file rewritten on an operator's word, with the rewrite that Get uses: names taken
// off, or put first.
#ifndef PLIMD_JOBLIST_QUEUE_REMOVE_H_
#define PLIMD_JOBLIST_QUEUE_REMOVE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace plim {

// Takes every entry that reads as one of `names` off the queue file at `queue`, under the
// exclusive flock on its folder that Get and producers take, and sets (*removed)[i] to how
// many entries of names[i] went. The other lines keep their bytes and their order; each ends
// with a line break. The file is replaced atomically, keeping owner, group and mode, and lines
// that producers append to the old file meanwhile are carried into the new one. A file with
// none of the names, or no file, is left as it is. No other file is touched.
// On failure (the queue could not be read or replaced) returns false with errno set; the file
// stays as it was.
bool RemoveFromQueue(const std::string& queue, const std::vector<std::string>& names,
                     std::vector<size_t>* removed);

// Puts `names`, in order, before the entries of the queue file at `queue` (creating it when
// missing), under the same lock and with the same atomic rewrite as RemoveFromQueue, which
// keeps the other lines' bytes and carries over late appends. On failure returns false with
// errno set; the file stays as it was.
bool QueueFirst(const std::string& queue, const std::vector<std::string>& names);

}  // namespace plim

#endif  // PLIMD_JOBLIST_QUEUE_REMOVE_H_
