// Any bytes as a line file: the entries written back read as the same entries, and a file the
// service has rewritten keeps its bytes through a second rewrite.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // On tmpfs, where the rewrite's fsyncs cost nothing; removed at exit.
  static char dir[] = "/dev/shm/line_file_fuzz.XXXXXX";
  static const std::string path = std::string(mkdtemp(dir)) + "/f";
  static const int cleanup = atexit([] { unlink(path.c_str()), rmdir(dir); });
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> entries = Entries(text);
  const std::string written = plim::JoinEntries(entries.data(), entries.data() + entries.size());
  if (Entries(written) != entries) abort();
  plim::ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (cleanup != 0 || !plim::WriteAll(fd.get(), text) || !fd.Reset()) abort();
  plim::StringArray(path).PrintFertig();  // the done list: the newest ten entries
  const std::string once = plim::ReadSnapshot(path).text;
  const size_t dropped = entries.size() > 10 ? entries.size() - 10 : 0;
  if (Entries(once) != std::vector<std::string>(entries.begin() + dropped, entries.end())) abort();
  plim::StringArray(path).PrintFertig();
  if (plim::ReadSnapshot(path).text != once) abort();
  return 0;
}
