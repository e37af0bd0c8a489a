// The configuration file: a word, then the UDP port, then the index flag, separated by blanks
// or line breaks.
#ifndef PLIMD_JOBLIST_CONFIG_H_
#define PLIMD_JOBLIST_CONFIG_H_

#include <stdio.h>

#include <string>

namespace plim {

struct Config {
  int port = 25252;
  int link_index = 0;
};

// Scans `in`: skips the first word, whatever its length, then reads the port and the index
// flag as decimal numbers with an optional sign. The first number that cannot be read stops
// the scan, and it and every field after it keep their defaults. Numbers beyond the range of
// int are clamped to it.
Config ScanConfig(FILE* in);

// Reads the configuration file at `path`. On failure to open it, returns the defaults.
Config ReadConfig(const std::string& path);

// The UDP port to bind: the low 16 bits of `port`.
unsigned short PortNumber(const Config& config);

}  // namespace plim

#endif  // PLIMD_JOBLIST_CONFIG_H_
