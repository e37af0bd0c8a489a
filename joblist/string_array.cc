#include "joblist/string_array.h"

#include <stdio.h>

#include <algorithm>
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
  unread_ = std::string_view(source_.text).substr(0, source_.complete);
}

bool StringArray::LoadNext() {
  std::string entry;
  if (!TakeEntry(&unread_, &entry)) return false;
  Store(std::move(entry));
  return true;
}

void StringArray::LoadAll() {
  // All the slots in one allocation, rather than a growth every time the array is full.
  const auto lines = std::count(unread_.begin(), unread_.end(), '\n') + 1;
  if (lines > Capacity - Count) Grow(static_cast<int32_t>(Count + lines));
  while (LoadNext()) {
  }
}

void StringArray::Add(std::string entry) {
  LoadAll();
  Store(std::move(entry));
}

int32_t StringArray::count() {
  LoadAll();
  return Count;
}

void StringArray::Store(std::string entry) {
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
  while ((head < Count || LoadNext()) && Items[head] == kSentinel) ++head;
  const bool has_head = head < Count;
  std::string result = has_head ? Items[head] : kSentinel;
  // The in-progress file names the entry before the queue loses it: a crash in between runs
  // the job once more instead of losing the name.
  if (source_.state == FileSnapshot::State::kUnreadable || (has_head && !claim(&result))) {
    ReportError(FileName);
    return kSentinel;
  }
  // The entries behind the head are written back as they were read, unless a line of them
  // was cut at a NUL byte or lacks its line break: then as the entries they were read as.
  std::string_view rest = unread_;
  std::string joined;
  if (rest.find('\0') != std::string_view::npos || (!rest.empty() && rest.back() != '\n')) {
    const int32_t loaded = Count;
    LoadAll();
    joined = JoinEntries(Items.get() + loaded, Items.get() + Count);
    rest = joined;
  }
  const Update update = UpdateFile(FileName, source_, rest);
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

bool StringArray::PrintFertig() {
  LoadAll();
  const int32_t start = std::max(Count - kDoneListLength, 0);
  return UpdateFile(FileName, source_, JoinEntries(Items.get() + start, Items.get() + Count)) !=
         Update::kFailed;
}

}  // namespace plim
