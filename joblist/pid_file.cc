#include "joblist/pid_file.h"

#include <ctype.h>
#include <stdio.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <tuple>

#include "joblist/atomic_file.h"

namespace plim {

namespace {

// The start time of process `pid`, 0 when it is gone.
unsigned long long ProcessStartTicks(pid_t pid) {
  std::string stat;
  if (pid <= 0 || !ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &stat)) return 0;
  return StartTicks(stat);
}

}  // namespace

bool WritePidFile(const char* path, pid_t listener, pid_t worker, time_t started,
                  const std::string& run) {
  const std::string line = std::to_string(listener) + " " + std::to_string(worker) + " " +
                           std::to_string(static_cast<long long>(started)) + " " +
                           std::to_string(ProcessStartTicks(listener)) + " " +
                           std::to_string(ProcessStartTicks(worker)) +
                           (run.empty() ? "" : " " + run) + "\n";
  // Readable by all, and writable by none but the service whatever its umask.
  return WriteFileDurably(path, line, 0644);
}

bool ReadPidFile(const char* path, PidFileLine* line) {
  FILE* in = fopen(path, "re");
  if (in == nullptr) return false;
  long long seconds = 0;
  unsigned long long listener_ticks = 0, worker_ticks = 0;
  char run[64] = "";
  // A service of an older version leaves three or five fields.
  const int fields = fscanf(in, "%d %d %lld %llu %llu %63s", &line->listener, &line->worker,
                            &seconds, &listener_ticks, &worker_ticks, run);
  fclose(in);
  line->run = fields == 6 ? run : "";
  line->started = static_cast<time_t>(seconds);
  line->listener_ticks = fields >= 5 ? listener_ticks : 0;
  line->worker_ticks = fields >= 5 ? worker_ticks : 0;
  return fields >= 3;
}

std::string RunIdentity() {
  std::string boot_id, digits;
  std::ignore = ReadWholeFile("/proc/sys/kernel/random/boot_id", &boot_id);
  for (const char c : boot_id) {
    if (digits.size() < 16 && isxdigit(static_cast<unsigned char>(c)))
      digits += static_cast<char>(tolower(c));
  }
  char text[48];
  if (digits.size() < 16) {
    // Not waiting for the entropy pool: early after a boot that may take minutes.
    unsigned long long random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
      random = (static_cast<unsigned long long>(time(nullptr)) << 20) ^ getpid();
    }
    snprintf(text, sizeof text, "%016llx", random);
    digits = text;
  }
  struct timespec since_boot;
  clock_gettime(CLOCK_BOOTTIME, &since_boot);
  snprintf(text, sizeof text, "-%llx",
           static_cast<unsigned long long>(since_boot.tv_sec) * 1000000 +
               static_cast<unsigned long long>(since_boot.tv_nsec) / 1000);
  return digits + text;
}

unsigned long long StartTicks(const std::string& stat) {
  // The name in parentheses may hold blanks and ")"; the fields after it do not.
  const size_t name_end = stat.rfind(") ");
  if (name_end == std::string::npos) return 0;
  unsigned long long ticks = 0;
  // Fields 3 (the state) to 21 are skipped.
  const int read = sscanf(stat.c_str() + name_end + 2,
                          "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s "
                          "%*s %*s %llu",
                          &ticks);
  return read == 1 ? ticks : 0;
}

}  // namespace plim
