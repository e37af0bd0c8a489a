#include "joblist/string_array.h"

#include <stdio.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "joblist/late_appends.h"
#include "joblist/paths.h"

namespace plim {

namespace {

constexpr int32_t kDoneListLength = 10;

void ReportError(const std::string& path) {
  printf("Error: %s\n", path.c_str());
  // stdout may be a file or a pipe, and the worker never exits to flush it.
  fflush(stdout);
}

}  // namespace

StringArray::StringArray(std::string file_name)
    : Items(new std::string[1]), FileName(std::move(file_name)) {
  Read();
}

void StringArray::Read() {
  source_ = ReadSnapshot(FileName);
  const std::string_view whole = std::string_view(source_.text).substr(0, source_.complete);
  // The queue is read for every job, so its entries get their slots in one allocation.
  const auto lines = std::count(whole.begin(), whole.end(), '\n') + 1;
  if (lines > Capacity - Count) Grow(static_cast<int32_t>(Count + lines));
  ForEachEntry(whole, [this](std::string entry) { Add(std::move(entry)); });
}

void StringArray::Add(std::string entry) {
  if (Count >= Capacity) {
    Grow(Capacity + Increment);
    Increment = Capacity;
  }
  Items[Count++] = std::move(entry);
}

void StringArray::Grow(int32_t capacity) {
  std::unique_ptr<std::string[]> grown(new std::string[capacity]);
  std::move(Items.get(), Items.get() + Count, grown.get());
  Items = std::move(grown);
  Capacity = capacity;
}

std::string StringArray::PrintQueue(const Claim& claim) {
  int32_t head = 0;
  while (head < Count && Items[head] == kSentinel) ++head;
  const bool has_head = head < Count;
  std::string result = has_head ? Items[head] : kSentinel;
  // The in-progress file names the entry before the queue loses it: a crash in between runs
  // the job once more instead of losing the name.
  if (source_.state == FileSnapshot::State::kUnreadable || (has_head && !claim(&result))) {
    ReportError(FileName);
    return kSentinel;
  }
  const int32_t rest = std::min(head + 1, Count);
  const Update update =
      UpdateFile(FileName, source_, JoinEntries(Items.get() + rest, Items.get() + Count));
  if (update == Update::kFailed) {
    if (has_head) claim(nullptr);
    ReportError(FileName);
    return kSentinel;
  }
  if (update == Update::kReplaced) {
    CarryLateAppends(source_.fd.get(), static_cast<off_t>(source_.complete), FileName);
  }
  return result;
}

void StringArray::PrintFertig() {
  const int32_t start = std::max(Count - kDoneListLength, 0);
  std::ignore =
      UpdateFile(FileName, source_, JoinEntries(Items.get() + start, Items.get() + Count));
}

}  // namespace plim
