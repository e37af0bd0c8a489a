#include "joblist/queue_take.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "joblist/atomic_file.h"
#include "joblist/late_appends.h"
#include "joblist/line_file.h"
#include "joblist/paths.h"
#include "joblist/queue_lines.h"
#include "joblist/scoped_fd.h"

namespace plim {

namespace {

constexpr size_t kWriteSize = 65536;

void ReportError(const std::string& path) {
  printf("Error: %s\n", path.c_str());
  // stdout may be a file or a pipe, and the worker never exits to flush it.
  fflush(stdout);
}

std::string_view EntryOf(const std::string& head) {
  return std::string_view(head).substr(0, head.find('\0'));
}

// Whether `line` is still being written: the last line, without its "\n", of a file that
// some process holds open for writing.
bool Unfinished(const QueueLine& line, int fd) {
  return !line.has_break && ProbeWriters(fd) == Writers::kPresent;
}

struct Head {
  std::string name = kSentinel;
  off_t rest = 0;  // where the lines behind the head begin; 0 when nothing is taken off
  std::vector<SetAsideLine> set_aside;
  bool failed = false;
};

Head FindHead(int fd, off_t size) {
  Head head;
  LineReader lines(fd, 0, size);
  for (QueueLine line; lines.Next(&line) && !Unfinished(line, fd);) {
    head.rest = line.end();
    const std::string_view entry = EntryOf(line.head);
    if (line.TooLong()) {
      head.set_aside.push_back({line.length, std::string(entry.substr(0, kSetAsideStart))});
    } else if (entry != kSentinel) {
      head.name = std::string(entry);
      break;
    }
  }
  head.failed = lines.failed();
  return head;
}

// Writes the lines of `in` from `from` to `size` to `out`. Returns the offset up to which they
// were copied, or -1 on failure.
off_t CopyRest(int in, off_t from, off_t size, int out) {
  LineReader lines(in, from, size);
  std::string pending;
  off_t copied = from;
  for (QueueLine line; lines.Next(&line) && !Unfinished(line, in); copied = line.end()) {
    if (line.TooLong()) {
      if (!WriteAll(out, pending) || !CopyRange(in, line.start, line.length, out)) return -1;
      pending.clear();
    } else {
      pending += EntryOf(line.head);
    }
    pending += '\n';
    if (pending.size() >= kWriteSize && !WriteAll(out, pending)) return -1;
    if (pending.size() >= kWriteSize) pending.clear();
  }
  return !lines.failed() && WriteAll(out, pending) ? copied : -1;
}

// Rewrites the queue from `head.rest` on; returns the offset up to which the old file was
// copied, or -1.
off_t Rewrite(const std::string& queue, int fd, const struct stat& info, const Head& head) {
  off_t copied = -1;
  const bool replaced = ReplaceFileBy(queue, &info, [&](int out) {
    copied = CopyRest(fd, head.rest, info.st_size, out);
    return copied >= 0;
  });
  return replaced ? copied : -1;
}

}  // namespace

std::string PrintQueue(const std::string& queue, const Claim& claim, const SetAside& set_aside) {
  ScopedFd fd(open(queue.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat info;
  if (!fd.valid() && errno == ENOENT) {
    std::ignore = UpdateFile(queue, FileSnapshot(), "");
    return kSentinel;
  }
  const Head head = fd.valid() && fstat(fd.get(), &info) == 0 ? FindHead(fd.get(), info.st_size)
                                                              : Head{kSentinel, 0, {}, true};
  if (head.failed) {
    ReportError(queue);
    return kSentinel;
  }
  if (head.rest == 0) return kSentinel;
  const bool has_head = head.name != kSentinel;
  // The in-progress file names the entry before the queue loses it: a crash in between runs
  // the job once more instead of losing the name.
  if (has_head && !claim(&head.name)) {
    ReportError(queue);
    return kSentinel;
  }
  const off_t copied = Rewrite(queue, fd.get(), info, head);
  if (copied < 0) {
    if (has_head) claim(nullptr);
    ReportError(queue);
    return kSentinel;
  }
  CarryOrKeepLateAppends(std::move(fd), copied, queue);
  for (const SetAsideLine& line : head.set_aside) set_aside(line);
  return head.name;
}

}  // namespace plim
