#include "joblist/string_array.h"

#include <algorithm>
#include <utility>

namespace plim {

namespace {

constexpr int32_t kDoneListLength = 10;

}  // namespace

StringArray::StringArray(std::string file_name)
    : FileName(std::move(file_name)), source_(ReadSnapshot(FileName)) {
  ForEachEntry(source_.text, [this](std::string entry) { Items.push_back(std::move(entry)); });
}

bool StringArray::PrintFertig() {
  const size_t start = Items.size() - std::min<size_t>(Items.size(), kDoneListLength);
  return UpdateFile(FileName, source_,
                    JoinEntries(Items.data() + start, Items.data() + Items.size()));
}

}  // namespace plim
