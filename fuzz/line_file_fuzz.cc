// Any bytes read as a line file: the entries written back read as the same entries, and the
// written text is stable on a second round, in memory and through a file rewritten in place.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "joblist/atomic_file.h"
#include "joblist/line_file.h"
#include "joblist/string_array.h"

namespace {

std::vector<std::string> Entries(std::string_view text) {
  std::vector<std::string> entries;
  plim::ForEachEntry(text, [&entries](std::string entry) { entries.push_back(entry); });
  return entries;
}

// A scratch file on tmpfs, where the rewrite's fsyncs cost nothing; removed at exit.
const std::string& ScratchFile() {
  static char dir[] = "/dev/shm/line_file_fuzz.XXXXXX";
  static const std::string path = std::string(mkdtemp(dir)) + "/f";
  atexit([] {
    unlink(path.c_str());
    rmdir(dir);
  });
  return path;
}

std::string Join(const std::vector<std::string>& entries) {
  return plim::JoinEntries(entries.data(), entries.data() + entries.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string& path = ScratchFile();
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> entries = Entries(text);
  const std::string written = Join(entries);
  if (Entries(written) != entries || Join(Entries(written)) != written) abort();
  // The service's own reader and writer on a file: the done list keeps the newest ten.
  plim::ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid() || !plim::WriteAll(fd.get(), text) || !fd.Reset()) abort();
  plim::StringArray array(path);
  if (array.count() != static_cast<int32_t>(entries.size())) abort();
  array.PrintFertig();
  const size_t kept = entries.size() > 10 ? entries.size() - 10 : 0;
  const std::vector<std::string> newest(entries.begin() + static_cast<long>(kept), entries.end());
  if (Entries(plim::ReadSnapshot(path).text) != newest) abort();
  return 0;
}
