#include "joblist/line_file.h"

#include <errno.h>

#include <tuple>

#include "joblist/atomic_file.h"
#include "joblist/queue_lines.h"

namespace plim {

FileSnapshot ReadSnapshot(const std::string& path) {
  FileSnapshot snapshot;
  OpenedLines file;
  if (!OpenLines(path, &file)) {
    snapshot.state =
        errno == ENOENT ? FileSnapshot::State::kAbsent : FileSnapshot::State::kUnreadable;
    return snapshot;
  }
  snapshot.info = file.info;
  LineReader lines(file.fd.get(), 0, file.end);
  for (QueueLine line; lines.Next(&line);) {
    if (line.TooLong()) continue;
    snapshot.text += line.head;
    if (line.has_break) snapshot.text += '\n';
  }
  snapshot.state = lines.failed() ? FileSnapshot::State::kUnreadable : FileSnapshot::State::kRead;
  return snapshot;
}

std::string JoinEntries(const std::string* begin, const std::string* end) {
  std::string text;
  for (const std::string* entry = begin; entry != end; ++entry) text.append(*entry).push_back('\n');
  return text;
}

bool UpdateFile(const std::string& path, const FileSnapshot& old, std::string_view text) {
  switch (old.state) {
    case FileSnapshot::State::kUnreadable:
      return false;
    case FileSnapshot::State::kAbsent:
      if (!text.empty()) return ReplaceFile(path, text, nullptr);
      // Creating it must not cut a file that a producer created a moment ago.
      std::ignore = CreateOpenToAll(path);
      return true;
    case FileSnapshot::State::kRead:
      break;
  }
  return old.text == text || ReplaceFile(path, text, &old.info);
}

}  // namespace plim
