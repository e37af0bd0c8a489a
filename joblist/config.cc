#include "joblist/config.h"

#include <limits.h>

#include <algorithm>

namespace plim {

namespace {

// Reads an optionally signed decimal number into `value`, clamped to the range of int. Returns
// false if there is none; the character that ended the number stays in the stream.
bool ScanInt(FILE* in, int* value) {
  long long number;
  if (fscanf(in, "%lld", &number) != 1) return false;
  *value = static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
  return true;
}

}  // namespace

Config ScanConfig(FILE* in) {
  Config config;
  // "%*s" skips the blanks and the word, whatever its length; EOF tells there was none.
  if (fscanf(in, "%*s") != EOF && ScanInt(in, &config.port)) ScanInt(in, &config.link_index);
  return config;
}

Config ReadConfig(const std::string& path) {
  FILE* in = fopen(path.c_str(), "re");
  if (in == nullptr) return Config();
  // Read before every job: a buffer of its own spares the stream an allocation, and the fstat
  // that would size it.
  char buffer[256];
  setvbuf(in, buffer, _IOFBF, sizeof buffer);
  const Config config = ScanConfig(in);
  fclose(in);
  return config;
}

unsigned short PortNumber(const Config& config) {
  return static_cast<unsigned short>(static_cast<unsigned int>(config.port) & 0xffffu);
}

}  // namespace plim
