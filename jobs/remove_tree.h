// Removal of a file or a whole folder ("rm -rf") through descriptors: each folder is opened
// from the one that holds it without following a link, so an entry that another user swaps for
// a link while the removal runs is removed as the link it has become, never followed.
#ifndef PLIMD_JOBS_REMOVE_TREE_H_
#define PLIMD_JOBS_REMOVE_TREE_H_

#include <string>

namespace plim {

// Removes the entry `name` of the folder `dir` and, for a folder, all it holds. `shown` names
// the entry in messages. A missing entry is no failure. On failure says so on stderr for the
// entry that could not be removed and returns false; everything else is still removed.
bool RemoveTreeAt(int dir, const std::string& name, const std::string& shown);

}  // namespace plim

#endif  // PLIMD_JOBS_REMOVE_TREE_H_
