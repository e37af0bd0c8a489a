#include "joblist/string_array.h"

#include <algorithm>
#include <utility>

namespace plim {

namespace {

constexpr int32_t kDoneListLength = 10;

}  // namespace

StringArray::StringArray(std::string file_name)
    : Items(new std::string[1]), FileName(std::move(file_name)) {
  Read();
}

void StringArray::Read() {
  source_ = ReadSnapshot(FileName, LongLines::kSkip);
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

bool StringArray::PrintFertig() {
  LoadAll();
  const int32_t start = std::max(Count - kDoneListLength, 0);
  return UpdateFile(FileName, source_, JoinEntries(Items.get() + start, Items.get() + Count)) !=
         Update::kFailed;
}

}  // namespace plim
