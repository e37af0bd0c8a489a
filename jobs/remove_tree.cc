#include "jobs/remove_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace plim {

namespace {

// How often an entry that keeps changing between folder and link is tried again.
constexpr int kAttempts = 4;

bool Report(const std::string& shown, int error) {
  fprintf(stderr, "plimd: cannot remove %s: %s\n", shown.c_str(), strerror(error));
  return false;
}

bool EmptyFolder(DIR* folder, const std::string& shown) {
  bool emptied = true;
  while (const struct dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    emptied = RemoveTreeAt(dirfd(folder), name, shown + "/" + name) && emptied;
  }
  return emptied;
}

// Empties the folder `name` and removes it. Returns false with errno set when the entry is worth
// another attempt, and reports nothing then; returns true once it is gone.
bool RemoveFolder(int dir, const char* name, const std::string& shown, bool* reported) {
  const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  DIR* folder = fdopendir(fd);
  if (folder == nullptr) {
    *reported = Report(shown, errno);
    close(fd);
    return false;
  }
  const bool emptied = EmptyFolder(folder, shown);
  closedir(folder);
  // What could not be removed inside has been reported; its folder cannot go either.
  if (!emptied) {
    *reported = true;
    return false;
  }
  return unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

bool RemoveTreeAt(int dir, const std::string& name, const std::string& shown) {
  bool reported = false;
  for (int attempt = 0; attempt < kAttempts && !reported; ++attempt) {
    if (unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR) break;
    if (RemoveFolder(dir, name.c_str(), shown, &reported)) return true;
    // A link or file now where the folder was (ELOOP, ENOTDIR), or a folder refilled in the
    // meantime (ENOTEMPTY): start over with what is there now.
    if (errno != ELOOP && errno != ENOTDIR && errno != ENOTEMPTY) break;
  }
  return reported ? false : Report(shown, errno);
}

}  // namespace plim
