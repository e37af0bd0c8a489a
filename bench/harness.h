// Clocks, processes and files for the benchmark figures.
#ifndef PLIMD_BENCH_HARNESS_H_
#define PLIMD_BENCH_HARNESS_H_

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// The monotonic clock in nanoseconds, the clock the stamping tool writes too.
int64_t NowNs();

// The median of `values`; 0 for none.
double Median(std::vector<double> values);

// Starts argv[0] (a path) with `argv`; its stdout goes to `out` and its stderr to `err` where
// those are not negative, to /dev/null otherwise. Exits the benchmark if fork fails.
pid_t Spawn(const std::vector<std::string>& argv, int out = -1, int err = -1);
// Waits for `pid` and returns its exit status (-1 when it did not exit normally).
int Wait(pid_t pid);
// Spawn, then Wait.
int Run(const std::vector<std::string>& argv, int out = -1, int err = -1);

// Ends the benchmark with a message on stderr.
[[noreturn]] void Fail(const std::string& what);

// Reads `fd` (a file or a pipe) from where it stands to its end.
std::string ReadAll(int fd);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644);
void CopyFile(const std::string& from, const std::string& to, mode_t mode);
void MakeDirectories(const std::string& path);

}  // namespace bench

#endif  // PLIMD_BENCH_HARNESS_H_
