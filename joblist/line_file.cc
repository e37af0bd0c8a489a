#include "joblist/line_file.h"

#include <errno.h>

#include "joblist/atomic_file.h"
#include "joblist/queue_lines.h"
#include "joblist/text_lines.h"

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

bool TakeEntry(std::string_view* text, std::string* entry) {
  std::string_view line;
  if (!TakeLine(text, &line)) return false;
  entry->assign(line.substr(0, line.find('\0')));
  return true;
}

std::string JoinEntries(const std::string* begin, const std::string* end) {
  std::string text;
  for (const std::string* entry = begin; entry != end; ++entry) text.append(*entry).push_back('\n');
  return text;
}

Update UpdateFile(const std::string& path, const FileSnapshot& old, std::string_view text) {
  switch (old.state) {
    case FileSnapshot::State::kUnreadable:
      return Update::kFailed;
    case FileSnapshot::State::kAbsent:
      if (!text.empty())
        return ReplaceFile(path, text, nullptr) ? Update::kReplaced : Update::kFailed;
      CreateOpenToAll(path);
      return Update::kUnchanged;
    case FileSnapshot::State::kRead:
      break;
  }
  if (old.text == text) return Update::kUnchanged;
  return ReplaceFile(path, text, &old.info) ? Update::kReplaced : Update::kFailed;
}

}  // namespace plim
