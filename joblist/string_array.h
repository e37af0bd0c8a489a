// StringArray: the entries of one line file, loaded for a single operation and written back.
#ifndef PLIMD_JOBLIST_STRING_ARRAY_H_
#define PLIMD_JOBLIST_STRING_ARRAY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "joblist/line_file.h"

namespace plim {

class StringArray {
 public:
  // Binds the array to `file_name` and reads it. A file that is absent or unreadable gives an
  // empty array; an unreadable one is never rewritten. Lines longer than kLongestLine are left
  // out unread, so that no file makes the array hold more than its names.
  explicit StringArray(std::string file_name);
  StringArray(const StringArray&) = delete;
  StringArray& operator=(const StringArray&) = delete;

  // Reads the bound file, whose entries are then loaded, in file order, as far as they are
  // needed: taking the head off a long queue, done for every job, loads no entry behind it.
  void Read();
  // Appends one entry after all of the file's.
  void Add(std::string entry);

  // Rewrites the file with the newest ten entries. On failure the file stays as it was and
  // false is returned.
  bool PrintFertig();

  // The number of entries, all of them loaded, and one of them.
  int32_t count();
  const std::string& item(int32_t i) const { return Items[i]; }

 private:
  // Loads the next entry of the file; false when none is left.
  bool LoadNext();
  void LoadAll();
  void Store(std::string entry);
  // Moves the entries into a new array of `capacity` slots.
  void Grow(int32_t capacity);

  int32_t Count = 0;
  int32_t Capacity = 1;
  // Grows with the array, so that loading a long queue takes linear time.
  int32_t Increment = 1;
  std::unique_ptr<std::string[]> Items;
  std::string FileName;
  FileSnapshot source_;
  std::string_view unread_;  // the whole entries of source_ not loaded yet
};

}  // namespace plim

#endif  // PLIMD_JOBLIST_STRING_ARRAY_H_
