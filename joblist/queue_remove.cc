#include "joblist/queue_remove.h"

#include <errno.h>
#include <sys/types.h>

#include <optional>
#include <string_view>

#include "joblist/job_files.h"
#include "joblist/late_appends.h"
#include "joblist/line_file.h"
#include "joblist/text_lines.h"

namespace plim {

namespace {

// The index in `names` of the name that the raw queue line `line` is an entry of, or -1.
// The service cuts a line at its first NUL, so such a line runs as the name before it.
int MatchingName(std::string_view line, const std::vector<std::string>& names) {
  const std::string_view entry = line.substr(0, line.find('\0'));
  for (size_t i = 0; i < names.size(); ++i) {
    if (entry == names[i]) return static_cast<int>(i);
  }
  return -1;
}

// The lines of `text` that are no entry of `names`, each with its line break, counting the
// others in `removed`.
std::string KeptLines(std::string_view text, const std::vector<std::string>& names,
                      std::vector<size_t>* removed) {
  std::string kept;
  for (std::string_view line; TakeLine(&text, &line);) {
    const int match = MatchingName(line, names);
    if (match >= 0) {
      ++(*removed)[static_cast<size_t>(match)];
    } else {
      kept.append(line.data(), line.size()).push_back('\n');
    }
  }
  return kept;
}

// Makes the queue's whole entries what `rewrite` turns them into (nothing when it returns no
// text), under the lock that Get and producers take, and carries over what producers append to
// the replaced file meanwhile without the lock.
template <typename RewriteFn>
bool RewriteQueue(const std::string& queue, RewriteFn&& rewrite) {
  // Producers that take the same lock append only before or after this whole rewrite.
  const ExclusiveLock lock = LockQueue(queue);
  const FileSnapshot old = ReadSnapshot(queue);
  if (old.state == FileSnapshot::State::kUnreadable) {
    if (errno == 0) errno = EIO;
    return false;
  }
  const std::optional<std::string> text =
      rewrite(std::string_view(old.text).substr(0, old.complete));
  if (!text) return true;
  const Update update = UpdateFile(queue, old, *text);
  if (update == Update::kFailed) return false;
  if (update == Update::kReplaced && old.fd.valid()) {
    CarryLateAppends(old.fd.get(), static_cast<off_t>(old.complete), queue);
  }
  return true;
}

}  // namespace

bool RemoveFromQueue(const std::string& queue, const std::vector<std::string>& names,
                     std::vector<size_t>* removed) {
  removed->assign(names.size(), 0);
  return RewriteQueue(queue, [&](std::string_view entries) -> std::optional<std::string> {
    std::string kept = KeptLines(entries, names, removed);
    for (size_t n : *removed) {
      if (n > 0) return kept;
    }
    return std::nullopt;
  });
}

bool QueueFirst(const std::string& queue, const std::vector<std::string>& names) {
  return RewriteQueue(queue, [&names](std::string_view entries) -> std::optional<std::string> {
    std::string text = JoinEntries(names.data(), names.data() + names.size());
    text.append(entries.data(), entries.size());
    // A last line without its break that no writer holds any more is an entry too.
    if (!entries.empty() && entries.back() != '\n') text += '\n';
    return text;
  });
}

}  // namespace plim
