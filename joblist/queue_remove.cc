#include "joblist/queue_remove.h"

#include <errno.h>

#include <algorithm>

#include "joblist/atomic_file.h"
#include "joblist/job_files.h"
#include "joblist/line_file.h"
#include "joblist/queue_lines.h"

namespace plim {

namespace {

// The index in `names` of the name that `line` is an entry of, or -1. The service cuts a line
// at its first NUL, so such a line runs as the name before it.
int MatchingName(const QueueLine& line, const std::vector<std::string>& names) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (line.entry() == names[i]) return static_cast<int>(i);
  }
  return -1;
}

// Opens the queue for a rewrite; false with errno set when it cannot be read.
bool OpenQueue(const std::string& queue, OpenedLines* old) {
  if (OpenLines(queue, old)) return true;
  if (errno == 0) errno = EIO;
  return false;
}

}  // namespace

bool RemoveFromQueue(const std::string& queue, const std::vector<std::string>& names,
                     std::vector<size_t>* removed) {
  removed->assign(names.size(), 0);
  // Producers that take the same lock append only before or after this whole rewrite.
  const ExclusiveLock lock = LockQueue(queue);
  OpenedLines old;
  if (!OpenQueue(queue, &old)) return errno == ENOENT;
  // Each line is read as far as the longest name, so that a name longer than any job's is found.
  size_t longest = kLongestLine;
  for (const std::string& name : names) longest = std::max(longest, name.size());
  std::vector<off_t> gone;  // where the lines to remove begin
  LineReader lines(old.fd.get(), 0, old.end, longest + 1);
  for (QueueLine line; lines.Next(&line);) {
    const int match = MatchingName(line, names);
    if (match < 0) continue;
    ++(*removed)[static_cast<size_t>(match)];
    gone.push_back(line.start);
  }
  if (lines.failed()) return false;
  if (gone.empty()) return true;
  return RewriteQueue(
      queue, std::move(old), 0, "",
      [&gone](const QueueLine& line) {
        return std::binary_search(gone.begin(), gone.end(), line.start) ? Keep::kNone
                                                                        : Keep::kBytes;
      },
      Rewriter::kOperator);
}

bool QueueFirst(const std::string& queue, const std::vector<std::string>& names) {
  const ExclusiveLock lock = LockQueue(queue);
  const std::string first = JoinEntries(names.data(), names.data() + names.size());
  OpenedLines old;
  if (OpenQueue(queue, &old)) {
    return RewriteQueue(
        queue, std::move(old), 0, first, [](const QueueLine&) { return Keep::kBytes; },
        Rewriter::kOperator);
  }
  return errno == ENOENT && ReplaceFile(queue, first, nullptr);
}

}  // namespace plim
