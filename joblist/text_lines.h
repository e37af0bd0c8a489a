// Splitting a whole text into its lines.
#ifndef PLIMD_JOBLIST_TEXT_LINES_H_
#define PLIMD_JOBLIST_TEXT_LINES_H_

#include <string_view>

namespace plim {

// Takes the first line off `text` into `line`, without its "\n"; false when `text` is empty.
// A last line without a "\n" is a line all the same, and a final "\n" starts none.
inline bool TakeLine(std::string_view* text, std::string_view* line) {
  if (text->empty()) return false;
  const size_t end = text->find('\n');
  *line = text->substr(0, end);
  text->remove_prefix(end == std::string_view::npos ? text->size() : end + 1);
  return true;
}

}  // namespace plim

#endif  // PLIMD_JOBLIST_TEXT_LINES_H_
