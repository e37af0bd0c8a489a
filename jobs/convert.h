// Turning a raw queue entry into the name used in every path, argument and log line.
#ifndef PLIMD_JOBS_CONVERT_H_
#define PLIMD_JOBS_CONVERT_H_

#include <string>

namespace plim {

// Replaces every occurrence of `from` in `s` by `to`. An occurrence that a replacement
// creates is replaced too. An empty `from` changes nothing.
void replace(std::string& s, std::string from, std::string to);

// The file-system name of `name`: each of / . \ : * ? < > | " replaced by "_", so that the
// name can neither leave its folder nor hide its suffix. Keeps the length.
std::string Convert(std::string name);

// Why no job of `name` could ever run, or null: its work folder ("<converted>.rec") or its
// recording ("<converted>.ts") would be a file name longer than NAME_MAX bytes.
const char* PathProblem(const std::string& name);

}  // namespace plim

#endif  // PLIMD_JOBS_CONVERT_H_
