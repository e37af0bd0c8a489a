#include "jobs/work_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace plim {

namespace {

constexpr mode_t kOwnMode = 0755;

bool OthersMayWrite(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// One walk towards the work folder: whom it trusts, how many more links it may follow.
struct Walk {
  uid_t self;
  gid_t group;
  int links_left;
  std::string* why;
};

// A folder on the way, open, with what it was when it was checked (or repaired), so that each
// is examined once.
struct Folder {
  ScopedFd fd;
  struct stat st = {};
};

Folder Opened(ScopedFd fd) {
  Folder folder;
  if (fd.valid() && fstat(fd.get(), &folder.st) == 0) folder.fd = std::move(fd);
  return folder;
}

Folder Refuse(const Walk& walk, const std::string& shown, const std::string& reason) {
  *walk.why = shown + " " + reason;
  return Folder();
}

Folder Failed(const Walk& walk, const std::string& shown, const char* what, int error) {
  return Refuse(walk, shown, std::string(what) + ": " + strerror(error));
}

// Opens `shown` (its components from `start`), where the last `own` are the service's own.
Folder WalkPath(Walk& walk, Folder start, const std::string& path, int own);

Folder FollowLink(Walk& walk, int parent, const char* name, const std::string& shown) {
  if (--walk.links_left < 0) return Refuse(walk, shown, "leads through too many links");
  char target[PATH_MAX];
  const ssize_t length = readlinkat(parent, name, target, sizeof target);
  if (length <= 0 || length == sizeof target) return Failed(walk, shown, "cannot read", errno);
  const std::string to(target, length);
  Folder start = Opened(
      ScopedFd(openat(parent, to[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!start.fd.valid()) return Failed(walk, shown, "cannot follow", errno);
  return WalkPath(walk, std::move(start), to, 0);
}

// The entry's owner and mode are set through the descriptor that was checked, never by path.
// Does nothing where both are right already.
bool Repair(Folder* folder, const Walk& walk) {
  struct stat& st = folder->st;
  if (st.st_uid != walk.self || st.st_gid != walk.group) {
    if (fchown(folder->fd.get(), walk.self, walk.group) != 0) return false;
    st.st_uid = walk.self;
    st.st_gid = walk.group;
  }
  if ((st.st_mode & 07777) != kOwnMode) {
    if (fchmod(folder->fd.get(), kOwnMode) != 0) return false;
    st.st_mode = (st.st_mode & ~07777) | kOwnMode;
  }
  return true;
}

// Renames `name` in `parent` to a name of its own beside it, never replacing an entry there.
bool RenameAside(int parent, const char* name, std::string* aside) {
  static unsigned counter = 0;
  for (int tries = 0; tries < 8; ++tries) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".moved.%lld.%ld.%d.%u", static_cast<long long>(now.tv_sec),
             now.tv_nsec, getpid(), ++counter);
    *aside = std::string(name) + suffix;
#ifdef SYS_renameat2
    constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, parent, name, parent, aside->c_str(), kNoReplace) == 0) return true;
    if (errno == EEXIST) continue;
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    struct stat taken;
    if (fstatat(parent, aside->c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) continue;
    return renameat(parent, name, parent, aside->c_str()) == 0;
  }
  errno = EEXIST;
  return false;
}

// Another user's entry where the service's own folder belongs is moved aside, not followed or
// taken over: whatever its owner prepared in or through it stays theirs.
bool MoveAside(Walk& walk, int parent, const char* name, const std::string& shown) {
  std::string aside;
  if (!RenameAside(parent, name, &aside)) return false;
  const std::string moved = shown.substr(0, shown.rfind('/') + 1) + aside;
  fprintf(stderr, "plimd: %s %s; moved it to %s\n", shown.c_str(), walk.why->c_str(),
          moved.c_str());
  return true;
}

// Looks at `name`, making it first where it is missing and the service's own; another user's
// entry in its place is moved aside and made anew, a few times at most.
bool LookAt(Walk& walk, const Folder& from, const char* name, bool own, const std::string& shown,
            struct stat* st, Verdict* verdict) {
  const int parent = from.fd.get();
  for (int tries = 0; tries < 3; ++tries) {
    if (fstatat(parent, name, st, AT_SYMLINK_NOFOLLOW) != 0) {
      const bool make = errno == ENOENT && own;
      const char* failed = nullptr;
      if (make && mkdirat(parent, name, kOwnMode) != 0 && errno != EEXIST) {
        failed = "cannot be made";
      } else if (!make || fstatat(parent, name, st, AT_SYMLINK_NOFOLLOW) != 0) {
        failed = "cannot be checked";
      }
      if (failed != nullptr) {
        Failed(walk, shown, failed, errno);
        return false;
      }
    }
    *verdict = Judge(from.st, *st, own, walk.self, walk.why);
    if (*verdict != Verdict::kReplace) return true;
    if (!MoveAside(walk, parent, name, shown)) {
      Failed(walk, shown, "cannot be moved aside", errno);
      return false;
    }
  }
  Refuse(walk, shown, "is put back by another user each time it is moved aside");
  return false;
}

Folder Enter(Walk& walk, const Folder& from, const char* name, bool own, const std::string& shown) {
  const int parent = from.fd.get();
  struct stat st;
  Verdict verdict;
  if (!LookAt(walk, from, name, own, shown, &st, &verdict)) return Folder();
  if (verdict == Verdict::kRefuse) return Refuse(walk, shown, *walk.why);
  if (verdict == Verdict::kFollow) return FollowLink(walk, parent, name, shown);
  Folder folder =
      Opened(ScopedFd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
  if (!folder.fd.valid() || folder.st.st_ino != st.st_ino || folder.st.st_dev != st.st_dev) {
    return Refuse(walk, shown, "changed while it was checked");
  }
  if (verdict == Verdict::kRepair && !Repair(&folder, walk))
    return Failed(walk, shown, "cannot be repaired", errno);
  return folder;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t begin = 0, end; begin <= path.size(); begin = end + 1) {
    end = std::min(path.find('/', begin), path.size());
    if (end > begin && path.compare(begin, end - begin, ".") != 0)
      parts.push_back(path.substr(begin, end - begin));
  }
  return parts;
}

Folder WalkPath(Walk& walk, Folder start, const std::string& path, int own) {
  const std::vector<std::string> parts = Components(path);
  std::string shown = path[0] == '/' ? "" : ".";
  for (size_t i = 0; i < parts.size() && start.fd.valid(); ++i) {
    shown += "/" + parts[i];
    if (parts[i] == "..") return Refuse(walk, shown, "climbs with \"..\"");
    const bool is_own = i + own >= parts.size();
    start = Enter(walk, start, parts[i].c_str(), is_own, shown);
  }
  return start;
}

}  // namespace

Verdict Judge(const struct stat& parent, const struct stat& entry, bool own, uid_t self,
              std::string* why) {
  const bool trusted = entry.st_uid == 0 || entry.st_uid == self;
  // In a folder others may write, only the sticky bit keeps them from swapping a trusted entry.
  if (OthersMayWrite(parent) && (parent.st_mode & S_ISVTX) == 0) {
    *why = "is in a folder that others can write";
    return Verdict::kRefuse;
  }
  if (S_ISLNK(entry.st_mode)) {
    if (trusted) return Verdict::kFollow;
    *why = "is a link of user " + std::to_string(entry.st_uid);
  } else if (!S_ISDIR(entry.st_mode)) {
    *why = "is not a folder";
  } else if (!trusted) {
    *why = "belongs to user " + std::to_string(entry.st_uid);
  } else {
    return own ? Verdict::kRepair : Verdict::kEnter;
  }
  return own ? Verdict::kReplace : Verdict::kRefuse;
}

ScopedFd OpenWorkRoot(const std::string& path, int own, std::string* why) {
  Walk walk = {geteuid(), getegid(), 8, why};
  Folder root = Opened(ScopedFd(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  Folder folder = WalkPath(walk, std::move(root), path, own);
  if (folder.fd.valid() && OthersMayWrite(folder.st)) {
    return Refuse(walk, path, "is writable by others").fd;
  }
  return std::move(folder.fd);
}

}  // namespace plim
