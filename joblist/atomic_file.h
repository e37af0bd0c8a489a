// Whole-file replacement that survives a crash at any instant.
#ifndef PLIMD_JOBLIST_ATOMIC_FILE_H_
#define PLIMD_JOBLIST_ATOMIC_FILE_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <string_view>

#include "joblist/scoped_fd.h"

namespace plim {

// The temporary file a replacement of `path` writes first: "<path>.tmp".
std::string TemporaryPath(const std::string& path);

// The folder part of `path` ("." when it has none).
std::string DirectoryOf(const std::string& path);

// The job list files are written by producers and other programs without root, so each is made
// with this mode, whoever makes it and whatever their umask.
inline constexpr mode_t kOpenToAll = 0666;

// Creates the file at `path` with mode kOpenToAll, whatever the umask, and opens it with `flags`.
// Returns the invalid descriptor, errno set, when it exists already or cannot be made.
ScopedFd CreateOpenToAll(const std::string& path, int flags = O_WRONLY);

// Replaces the file at `path` by one holding exactly `text`. The bytes go to the temporary
// file first, which is flushed to disk and renamed over `path`; then the folder is flushed,
// so after a crash the file holds its complete old or its complete new content. When `like`
// is given, the new file takes its owner, group and mode; otherwise its mode is kOpenToAll.
// On failure returns false, leaving the old file untouched and no temporary file behind.
bool ReplaceFile(const std::string& path, std::string_view text, const struct stat* like);

// ReplaceFile giving the new file `mode` and the caller as its owner.
bool WriteFileDurably(const std::string& path, std::string_view text, mode_t mode);

// ReplaceFile with the new content written by `write` to the descriptor it is given, for content
// too large to hold in memory. `write` returns false on failure.
bool ReplaceFileBy(const std::string& path, const struct stat* like,
                   const std::function<bool(int fd)>& write);

// Flushes the folder that holds `path`, so that a file created or renamed there survives a power
// cut. Returns false with errno set when the folder cannot be opened or flushed.
bool SyncFolderOf(const std::string& path);

// Appends `text` to `path` and flushes it to disk; a file it creates, with mode kOpenToAll, has
// its folder flushed too. Returns false on failure.
bool AppendDurably(const std::string& path, std::string_view text);

// Flushes the file behind `fd` to disk, retrying after a signal. Returns false on failure.
bool Sync(int fd);

// Whether the file behind `fd` ends in the middle of a line, as a write cut short leaves it.
bool EndsMidLine(int fd);

// Reads the whole file at `path` into `text`, and its owner, group and mode into `info` when
// given. Returns false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* text, struct stat* info = nullptr);

// The whole file at `path`, or an empty text when it cannot be opened or read; for files such
// as those of /proc, where nothing to read and no file tell the caller the same.
std::string ReadText(const std::string& path);

// Writes all of `text` to `fd`, retrying short writes. Returns false on failure.
bool WriteAll(int fd, std::string_view text);

// Copies `length` bytes of `in` from `offset` on to `out`, 64 KiB at a time. Returns false on
// failure, and when `in` ends before.
bool CopyRange(int in, off_t offset, off_t length, int out);

// Appends `length` bytes of `in` from `offset` on to `path` (creating it), with a "\n" after
// them unless they end in one, and flushes it to disk. Returns false on failure.
bool AppendRange(int in, off_t offset, off_t length, const std::string& path);

// Reads `fd` from `offset` to its end into `out`. `size`, when above 0, is the size that fstat
// gave: once that much is read, no further read asks whether more has come. Returns false on a
// read error.
bool ReadFrom(int fd, off_t offset, std::string* out, off_t size = 0);

}  // namespace plim

#endif  // PLIMD_JOBLIST_ATOMIC_FILE_H_
