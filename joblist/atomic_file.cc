#include "joblist/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "joblist/scoped_fd.h"

namespace plim {

std::string TemporaryPath(const std::string& path) { return path + ".tmp"; }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ReadFrom(int fd, off_t offset, std::string* out, off_t size) {
  char buffer[16384];
  while (size <= 0 || offset < size) {
    ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return true;
}

namespace {

constexpr off_t kCopyPiece = 65536;

}  // namespace

bool CopyRange(int in, off_t offset, off_t length, int out) {
  std::string piece(kCopyPiece, '\0');
  while (length > 0) {
    const ssize_t n = pread(in, piece.data(), std::min<off_t>(length, piece.size()), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !WriteAll(out, std::string_view(piece.data(), static_cast<size_t>(n)))) {
      return false;
    }
    offset += n;
    length -= n;
  }
  return true;
}

ScopedFd CreateOpenToAll(const std::string& path, int flags) {
  ScopedFd fd(open(path.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, kOpenToAll));
  // Only the file's maker may set its mode, and the umask must not take from it.
  if (fd.valid()) std::ignore = fchmod(fd.get(), kOpenToAll);
  return fd;
}

namespace {

// Opens the file at `path` with `flags`, creating it with CreateOpenToAll if it is missing, and
// tells in `created` whether it made it. Returns the invalid descriptor, errno set, on failure.
ScopedFd OpenCreatingOpenToAll(const std::string& path, int flags, bool* created = nullptr) {
  flags |= O_CLOEXEC | O_NOCTTY;
  for (int tries = 0; tries < 2; ++tries) {
    ScopedFd fd(open(path.c_str(), flags));
    if (fd.valid() || errno != ENOENT) return fd;
    // A file that another process made meanwhile is opened on the next round.
    fd = CreateOpenToAll(path, flags);
    if (fd.valid() && created != nullptr) *created = true;
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return ScopedFd();
}

}  // namespace

bool AppendRange(int in, off_t offset, off_t length, const std::string& path) {
  ScopedFd fd = OpenCreatingOpenToAll(path, O_WRONLY | O_APPEND);
  // The last piece goes in one write with the line break it may lack, so that a crash cannot
  // leave lines of a name's length cut; only a longer range is copied in several.
  const off_t first = std::max<off_t>(length - kCopyPiece, 0);
  std::string last;
  if (!fd.valid() || !CopyRange(in, offset, first, fd.get()) ||
      !ReadFrom(in, offset + first, &last, offset + length) ||
      static_cast<off_t>(last.size()) < length - first) {
    return false;
  }
  last.resize(static_cast<size_t>(length - first));
  if (!last.empty() && last.back() != '\n') last += '\n';
  return WriteAll(fd.get(), last) && Sync(fd.get()) && fd.Reset();
}

bool Sync(int fd) {
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool EndsMidLine(int fd) {
  struct stat info;
  char last = '\n';
  return fstat(fd, &info) == 0 && info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) == 1 &&
         last != '\n';
}

bool ReadWholeFile(const std::string& path, std::string* text, struct stat* info) {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat ignored;
  if (info == nullptr) info = &ignored;
  return fd.valid() && fstat(fd.get(), info) == 0 && ReadFrom(fd.get(), 0, text, info->st_size);
}

std::string ReadText(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, &text)) text.clear();
  return text;
}

namespace {

ScopedFd CreateTemporary(const std::string& temp, mode_t mode) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY;
  ScopedFd fd(open(temp.c_str(), flags, mode));
  // A temporary file left by a crash holds nothing anyone needs.
  if (!fd.valid() && errno == EEXIST && unlink(temp.c_str()) == 0) {
    fd = ScopedFd(open(temp.c_str(), flags, mode));
  }
  return fd;
}

// Gives the new file behind `fd` the owner, group and mode of `like`. Made by the worker, whose
// umask is 0, it mostly has them already, and one fstat spares both changes.
bool TakeOwnerAndMode(int fd, const struct stat& like) {
  struct stat made;
  if (fstat(fd, &made) != 0) return false;
  const bool other_owner = made.st_uid != like.st_uid || made.st_gid != like.st_gid;
  // Only root may give a file away; a service run by the file's owner keeps it anyway.
  if (other_owner) std::ignore = fchown(fd, like.st_uid, like.st_gid);
  // A change of owner clears the set-ID bits, so the mode is set after it.
  const mode_t mode = like.st_mode & 07777;
  if (!other_owner && (made.st_mode & 07777) == mode) return true;
  return fchmod(fd, mode) == 0;
}

// Writes the temporary file; the caller removes it if this fails.
bool WriteTemporary(const std::string& temp, const struct stat* like,
                    const std::function<bool(int fd)>& write) {
  ScopedFd fd = CreateTemporary(temp, like != nullptr ? like->st_mode & 0777 : kOpenToAll);
  if (!fd.valid()) return false;
  // The umask of whoever rewrites it must not take from the mode either.
  if (like != nullptr ? !TakeOwnerAndMode(fd.get(), *like) : fchmod(fd.get(), kOpenToAll) != 0)
    return false;
  return write(fd.get()) && Sync(fd.get()) && fd.Reset();
}

}  // namespace

bool ReplaceFile(const std::string& path, std::string_view text, const struct stat* like) {
  return ReplaceFileBy(path, like, [text](int fd) { return WriteAll(fd, text); });
}

bool WriteFileDurably(const std::string& path, std::string_view text, mode_t mode) {
  struct stat own = {};
  own.st_uid = geteuid();
  own.st_gid = getegid();
  own.st_mode = S_IFREG | mode;
  return ReplaceFile(path, text, &own);
}

bool ReplaceFileBy(const std::string& path, const struct stat* like,
                   const std::function<bool(int fd)>& write) {
  const std::string temp = TemporaryPath(path);
  if (!WriteTemporary(temp, like, write) || rename(temp.c_str(), path.c_str()) != 0) {
    // The caller reports why the rewrite failed, not why the clean-up did.
    const int error = errno;
    unlink(temp.c_str());
    errno = error;
    return false;
  }
  // The new content is in place whatever happens now; a failed flush of the folder only
  // leaves the rename's durability to the next sync, so it does not count as a failure.
  std::ignore = SyncFolderOf(path);
  return true;
}

bool SyncFolderOf(const std::string& path) {
  ScopedFd dir(open(DirectoryOf(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  return dir.valid() && Sync(dir.get());
}

bool AppendDurably(const std::string& path, std::string_view text) {
  bool created = false;
  ScopedFd fd = OpenCreatingOpenToAll(path, O_WRONLY | O_APPEND, &created);
  // fsync of the file flushes its bytes but not its name, which lives in the folder: without the
  // folder's flush a power cut may lose a file created here, bytes and all.
  return fd.valid() && WriteAll(fd.get(), text) && Sync(fd.get()) && fd.Reset() &&
         (!created || SyncFolderOf(path));
}

}  // namespace plim
