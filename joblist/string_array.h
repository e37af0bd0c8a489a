// StringArray: the entries of one line file, loaded for a single operation and written back.
#ifndef PLIMD_JOBLIST_STRING_ARRAY_H_
#define PLIMD_JOBLIST_STRING_ARRAY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "joblist/line_file.h"

namespace plim {

class StringArray {
 public:
  // Binds the array to `file_name` and reads its entries. A file that is absent or unreadable
  // gives an empty array; an unreadable one is never rewritten. Lines longer than kLongestLine
  // are left out unread, so that no file makes the array hold more than its names.
  explicit StringArray(std::string file_name);
  StringArray(const StringArray&) = delete;
  StringArray& operator=(const StringArray&) = delete;

  // Appends one entry after all of the file's.
  void Add(std::string entry) { Items.push_back(std::move(entry)); }

  // Rewrites the file with the newest ten entries. On failure the file stays as it was and
  // false is returned.
  bool PrintFertig();

  int32_t count() const { return static_cast<int32_t>(Items.size()); }
  const std::string& item(int32_t i) const { return Items[i]; }

 private:
  std::vector<std::string> Items;
  std::string FileName;
  FileSnapshot source_;
};

}  // namespace plim

#endif  // PLIMD_JOBLIST_STRING_ARRAY_H_
