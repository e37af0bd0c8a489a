// Any bytes as the configuration file: the scan ends, stays within int (UBSan watches the
// arithmetic), and a text without a digit leaves every field at its default.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <tuple>

#include "joblist/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (in == nullptr) abort();
  const plim::Config config = plim::ScanConfig(in);
  fclose(in);
  const bool has_digit = std::any_of(data, data + size, [](uint8_t c) { return isdigit(c); });
  const plim::Config defaults;
  if (!has_digit && (config.port != defaults.port || config.link_index != defaults.link_index)) {
    abort();
  }
  std::ignore = plim::PortNumber(config);
  return 0;
}
