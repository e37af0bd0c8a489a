// The log at the service's start: emptied, with what it held kept as the one older generation.
#ifndef PLIMD_FRAME_KEPT_LOG_H_
#define PLIMD_FRAME_KEPT_LOG_H_

#include <string>

namespace plim {

// Renames the log `log` to `log` + ".1", replacing an older one, and creates `log` anew, empty
// (mode 0644 within the umask). Works through the folder's descriptor and never writes through
// a link: only a regular file is renamed, the rename replaces whatever is at the ".1" name
// without following it, and what stays at `log` (a link, a folder, a FIFO) is reported on
// stderr and left alone. Without the folder (no disk yet), does nothing.
void StartNewLog(const std::string& log);

}  // namespace plim

#endif  // PLIMD_FRAME_KEPT_LOG_H_
