#include "jobs/convert.h"

#include <limits.h>
#include <string.h>

#include <algorithm>

#include "joblist/paths.h"

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

// The message says the limit in words.
static_assert(NAME_MAX == 255);

const char* PathProblem(const std::string& name) {
  // Conversion keeps the length, so the longest suffix that a pattern adds to it decides.
  const size_t added = std::max(strlen(kWorkDirName), strlen(strrchr(kStreamPath, '/') + 1)) - 2;
  if (name.size() + added <= NAME_MAX) return nullptr;
  return "is too long: with \".rec\" added for its work folder it passes the file-name limit of "
         "255 bytes";
}

}  // namespace plim
