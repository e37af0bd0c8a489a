#include "jobs/convert.h"

namespace plim {

void replace(std::string& s, std::string from, std::string to) {
  if (from.empty()) return;
  size_t pos = s.find(from);
  while (pos != std::string::npos) {
    s.replace(pos, from.size(), to);
    // A new occurrence can only start where it overlaps the text just put in, so the search
    // goes on from there rather than from the beginning.
    pos = s.find(from, pos + 1 > from.size() ? pos + 1 - from.size() : 0);
  }
}

std::string Convert(std::string name) {
  static const char* const kReplaced[] = {"/", ".", "\\", ":", "*", "?", "<", ">", "|", "\""};
  for (const char* character : kReplaced) replace(name, character, "_");
  return name;
}

}  // namespace plim
