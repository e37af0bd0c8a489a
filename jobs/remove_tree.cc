#include "jobs/remove_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <tuple>

#include "joblist/scoped_fd.h"

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

// Empties the folder `name`, open as `fd`, and removes it. Returns false with errno set when
// the entry is worth another attempt, and reports nothing then; returns true once it is gone.
bool EmptyAndRemove(int dir, const char* name, int fd, const std::string& shown, bool* reported) {
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

bool RemoveFolder(int dir, const char* name, const std::string& shown, bool* reported) {
  const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  return EmptyAndRemove(dir, name, fd, shown, reported);
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

bool RemoveOpenFolderAt(int dir, const std::string& name, ScopedFd folder, const std::string& shown,
                        const char* const* made, int count) {
  for (int i = 0; i < count; ++i) std::ignore = unlinkat(folder.get(), made[i], 0);
  if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0) return true;
  bool reported = false;
  if (EmptyAndRemove(dir, name.c_str(), folder.Release(), shown, &reported)) return true;
  return !reported && RemoveTreeAt(dir, name, shown);
}

}  // namespace plim
