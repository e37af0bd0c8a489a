// Any bytes as a raw name: the file-system name keeps the length, each of the ten characters
// becomes "_", and every other byte stays as it was.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "jobs/convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char kReplaced[] = "/.\\:*?<>|\"";
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string converted = plim::Convert(raw);
  if (converted.size() != raw.size()) abort();
  for (size_t i = 0; i < raw.size(); ++i) {
    const bool replaced = raw[i] != '\0' && strchr(kReplaced, raw[i]) != nullptr;
    if (converted[i] != (replaced ? '_' : raw[i])) abort();
  }
  return 0;
}
