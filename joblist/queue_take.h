// Taking the head entry off the queue file with bounded memory, whatever the file holds.
#ifndef PLIMD_JOBLIST_QUEUE_TAKE_H_
#define PLIMD_JOBLIST_QUEUE_TAKE_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace plim {

// Records a name elsewhere before the queue loses it; called with null to take that back.
// Returns false if the name could not be recorded.
using Claim = std::function<bool(const std::string* name)>;

// A queue line longer than kLongestLine, taken off unread: its length and its first bytes.
struct SetAsideLine {
  off_t length = 0;
  std::string start;  // its first kSetAsideStart bytes at most, cut at a NUL byte
};
inline constexpr size_t kSetAsideStart = 256;
using SetAside = std::function<void(const SetAsideLine& line)>;

// Returns the first entry of the queue file at `queue` that is neither the sentinel nor longer
// than kLongestLine, and rewrites the file without it and without the lines before it; the
// sentinel when there is no such entry. `claim` gets the entry before the file loses it;
// `set_aside` gets each long line taken off, once the file no longer holds it. The file is
// read in pieces and the entries behind the head are copied in pieces: as the entries they are
// read as (cut at a NUL byte, each with its "\n"), a long line byte for byte. A last line
// without its "\n" is not taken while a writer holds the file open. Lines that producers
// append to the old file during the rewrite are carried into the new one
// (CarryOrKeepLateAppends). An empty queue, or one whose only line is still being written, is
// not rewritten; an absent one is created empty.
// On failure (the file could not be read or rewritten, or `claim` failed) prints
// "Error: <queue>\n" to stdout, returns the sentinel and leaves the file and the claim as
// they were.
std::string PrintQueue(const std::string& queue, const Claim& claim, const SetAside& set_aside);

}  // namespace plim

#endif  // PLIMD_JOBLIST_QUEUE_TAKE_H_
