#include "joblist/config.h"

#include <ctype.h>
#include <limits.h>

namespace plim {

namespace {

int SkipBlanks(FILE* in) {
  int c;
  do {
    c = getc(in);
  } while (c != EOF && isspace(c));
  return c;
}

// Skips one word. Returns false at end of input.
bool SkipWord(FILE* in) {
  int c = SkipBlanks(in);
  if (c == EOF) return false;
  while (c != EOF && !isspace(c)) c = getc(in);
  if (c != EOF) ungetc(c, in);
  return true;
}

// Reads an optionally signed decimal number. Returns false if there is none; the character
// that ended the number stays in the stream.
bool ScanInt(FILE* in, int* value) {
  int c = SkipBlanks(in);
  const bool negative = c == '-';
  if (c == '-' || c == '+') c = getc(in);
  if (c == EOF || !isdigit(c)) return false;
  long long magnitude = 0;
  for (; c != EOF && isdigit(c); c = getc(in)) {
    if (magnitude <= INT_MAX) magnitude = magnitude * 10 + (c - '0');
  }
  if (c != EOF) ungetc(c, in);
  if (negative) {
    *value = magnitude > -static_cast<long long>(INT_MIN) ? INT_MIN : static_cast<int>(-magnitude);
  } else {
    *value = magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
  }
  return true;
}

}  // namespace

Config ScanConfig(FILE* in) {
  Config config;
  if (SkipWord(in) && ScanInt(in, &config.port)) ScanInt(in, &config.link_index);
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
