#include "joblist/queue_remove.h"

#include <errno.h>

#include <algorithm>
#include <utility>

#include "joblist/atomic_file.h"
#include "joblist/job_files.h"
#include "joblist/line_file.h"
#include "joblist/queue_lines.h"

namespace plim {

bool RemoveFromQueue(const std::string& queue, const std::vector<std::string>& names,
                     std::vector<size_t>* removed) {
  removed->assign(names.size(), 0);
  // Producers that take the same lock append only before or after this whole rewrite.
  const ExclusiveLock lock = LockQueue(queue);
  OpenedLines old;
  if (!OpenLines(queue, &old)) return errno == ENOENT;
  // Each line is read as far as the longest name, so that a name longer than any job's is found.
  size_t longest = kLongestLine;
  for (const std::string& name : names) longest = std::max(longest, name.size());
  std::vector<off_t> gone;  // where the lines to remove begin
  LineReader lines(old.fd.get(), 0, old.end, longest + 1);
  for (QueueLine line; lines.Next(&line);) {
    // The service cuts a line at its first NUL, so such a line runs as the name before it.
    const auto match = std::find(names.begin(), names.end(), line.entry());
    if (match == names.end()) continue;
    ++(*removed)[static_cast<size_t>(match - names.begin())];
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
  if (OpenLines(queue, &old)) {
    return RewriteQueue(
        queue, std::move(old), 0, first, [](const QueueLine&) { return Keep::kBytes; },
        Rewriter::kOperator);
  }
  return errno == ENOENT && ReplaceFile(queue, first, nullptr);
}

}  // namespace plim
