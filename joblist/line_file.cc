#include "joblist/line_file.h"

#include <errno.h>
#include <fcntl.h>

#include <tuple>

#include "joblist/atomic_file.h"
#include "joblist/late_appends.h"
#include "joblist/queue_lines.h"
#include "joblist/text_lines.h"

namespace plim {

namespace {

// Only a file whose last line lacks its break is worth asking the kernel about writers.
size_t CompleteLength(const std::string& text, int fd) {
  if (text.empty() || text.back() == '\n') return text.size();
  return WholeLength(text, ProbeWriters(fd));
}

// Creating an empty file must not cut one that a producer created a moment ago, so one that
// exists is left alone. Producers without root write to it too, whatever the service's umask.
void CreateEmpty(const std::string& path) {
  ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, kOpenToAll));
  if (fd.valid()) std::ignore = fchmod(fd.get(), kOpenToAll);
}

// Reads the lines of `fd`'s file up to `size` into `text` but those longer than kLongestLine.
bool ReadShortLines(int fd, off_t size, std::string* text) {
  LineReader lines(fd, 0, size);
  for (QueueLine line; lines.Next(&line);) {
    if (line.TooLong()) continue;
    *text += line.head;
    if (line.has_break) *text += '\n';
  }
  return !lines.failed();
}

}  // namespace

FileSnapshot ReadSnapshot(const std::string& path, LongLines long_lines) {
  FileSnapshot snapshot;
  snapshot.fd = ScopedFd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!snapshot.fd.valid()) {
    snapshot.state =
        errno == ENOENT ? FileSnapshot::State::kAbsent : FileSnapshot::State::kUnreadable;
    return snapshot;
  }
  const int fd = snapshot.fd.get();
  if (fstat(fd, &snapshot.info) != 0 ||
      !(long_lines == LongLines::kKeep
            ? ReadFrom(fd, 0, &snapshot.text, snapshot.info.st_size)
            : ReadShortLines(fd, snapshot.info.st_size, &snapshot.text))) {
    snapshot.state = FileSnapshot::State::kUnreadable;
    return snapshot;
  }
  snapshot.state = FileSnapshot::State::kRead;
  snapshot.complete = CompleteLength(snapshot.text, snapshot.fd.get());
  return snapshot;
}

bool TakeEntry(std::string_view* text, std::string* entry) {
  std::string_view line;
  if (!TakeLine(text, &line)) return false;
  entry->assign(line.substr(0, line.find('\0')));
  return true;
}

std::string JoinEntries(const std::string* begin, const std::string* end) {
  size_t size = 0;
  for (const std::string* entry = begin; entry != end; ++entry) size += entry->size() + 1;
  std::string text;
  text.reserve(size);
  for (const std::string* entry = begin; entry != end; ++entry) {
    text += *entry;
    text += '\n';
  }
  return text;
}

Update UpdateFile(const std::string& path, const FileSnapshot& old, std::string_view text) {
  switch (old.state) {
    case FileSnapshot::State::kUnreadable:
      return Update::kFailed;
    case FileSnapshot::State::kAbsent:
      if (!text.empty())
        return ReplaceFile(path, text, nullptr) ? Update::kReplaced : Update::kFailed;
      CreateEmpty(path);
      return Update::kUnchanged;
    case FileSnapshot::State::kRead:
      break;
  }
  if (std::string_view(old.text).substr(0, old.complete) == text) return Update::kUnchanged;
  return ReplaceFile(path, text, &old.info) ? Update::kReplaced : Update::kFailed;
}

}  // namespace plim
