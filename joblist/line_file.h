// Reading and writing line files: one entry per line, each written as "%s\n".
#ifndef PLIMD_JOBLIST_LINE_FILE_H_
#define PLIMD_JOBLIST_LINE_FILE_H_

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "joblist/text_lines.h"

namespace plim {

// A line file as it was read.
struct FileSnapshot {
  enum class State {
    kAbsent,      // the file does not exist
    kRead,        // `text` holds its entries
    kUnreadable,  // it exists but could not be read; it must never be rewritten
  };
  State state = State::kAbsent;
  // Its whole lines but those longer than kLongestLine, which are never held whole. A last line
  // without its line break is left out while another process holds the file open for writing,
  // since it may not be finished yet.
  std::string text;
  struct stat info = {};  // owner, group and mode, when read
};

// Reads the file at `path`.
FileSnapshot ReadSnapshot(const std::string& path);

// Calls `add` with each entry of `text`, in order: each line without its "\n", cut at its first
// NUL byte since names end there wherever they are used. A last line without "\n" is one too.
template <typename AddFn>
void ForEachEntry(std::string_view text, AddFn&& add) {
  for (std::string_view line; TakeLine(&text, &line);) {
    add(std::string(line.substr(0, line.find('\0'))));
  }
}

// The file text for entries [begin, end): each as "%s\n".
std::string JoinEntries(const std::string* begin, const std::string* end);

// Makes the file at `path`, last read as `old`, hold `text`. Writes nothing when it already
// reads so; an absent file that is to be empty is created empty, never cut.
// Otherwise the file is replaced atomically, keeping owner, group and mode.
// On failure, and always for a file that could not be read, returns false and leaves the file
// as it was.
bool UpdateFile(const std::string& path, const FileSnapshot& old, std::string_view text);

}  // namespace plim

#endif  // PLIMD_JOBLIST_LINE_FILE_H_
