#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "bench/figures.h"
#include "bench/harness.h"
#include "bench/service.h"
#include "joblist/paths.h"

namespace bench {

namespace {

void Print(const char* key, double value) { printf("%s %.0f\n", key, value); }

void Pause(long ns) {
  struct timespec pause = {0, ns};
  nanosleep(&pause, nullptr);
}

// Every name, inode, size and change time under the service's folders, the folders included.
std::string FilesState() {
  std::string state;
  for (const char* dir : {plim::kFilesDir, "/tmp/plim/tmp"}) {
    std::vector<std::string> paths = {dir};
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      paths.push_back(entry.path());
    for (const std::string& path : paths) {
      struct stat info;
      if (lstat(path.c_str(), &info) != 0) continue;
      char line[512];
      snprintf(line, sizeof line, "%s %lu %ld %ld.%09ld %ld.%09ld\n", path.c_str(),
               static_cast<unsigned long>(info.st_ino), static_cast<long>(info.st_size),
               info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_ctim.tv_sec,
               info.st_ctim.tv_nsec);
      state += line;
    }
  }
  return state;
}

// Drains of an empty queue back to back: their CPU time, and whether any of them writes.
void BackToBackDrains(const ServicePids& pids, int triggers) {
  constexpr int kBurst = 100;  // well below what the listener's socket buffer holds
  Trigger trigger;
  const std::string files_before = FilesState();
  const ProcessUsage listener = ReadUsage(pids.listener);
  const ProcessUsage worker = ReadUsage(pids.worker);
  for (int sent = 0; sent < triggers; sent += kBurst) {
    for (int i = 0; i < kBurst; ++i) trigger.Send();
    WaitIdle(pids);
  }
  // The listener writes one byte to the pipe per datagram it received.
  const long drains = ReadUsage(pids.listener).write_calls - listener.write_calls;
  const ProcessUsage after = ReadUsage(pids.worker);
  Print("idle.drains", static_cast<double>(drains));
  Print("idle.drain_cpu_ns", static_cast<double>(after.cpu_ns - worker.cpu_ns) / drains);
  Print("idle.drain_writes", static_cast<double>(after.write_calls - worker.write_calls));
  Print("idle.drain_file_changes", FilesState() == files_before ? 0 : 1);
}

// Drains of an empty queue one datagram at a time, each after the worker slept again: what a
// datagram arriving on its own costs, the worker's wake-up included.
void LoneDrains(const ServicePids& pids, int triggers) {
  Trigger trigger;
  const ProcessUsage worker = ReadUsage(pids.worker);
  long handed_on = ReadUsage(pids.listener).write_calls;
  for (int i = 0; i < triggers; ++i) {
    trigger.Send();
    // Once the byte is in the pipe the worker is runnable; WaitIdle then sees it asleep again.
    while (ReadUsage(pids.listener).write_calls == handed_on) Pause(20000);
    ++handed_on;
    WaitIdle(pids);
  }
  const ProcessUsage after = ReadUsage(pids.worker);
  Print("idle.lone_drain_cpu_ns", static_cast<double>(after.cpu_ns - worker.cpu_ns) / triggers);
}

}  // namespace

void Idle(int jobs, const std::string& bindir) {
  PrepareTree(bindir, false);
  const std::string last = QueueJobs(jobs);
  StartService(bindir);
  WaitUntilDone(last);
  const ServicePids pids = FindService();
  WaitIdle(pids);
  const ProcessUsage listener = ReadUsage(pids.listener);
  const ProcessUsage worker = ReadUsage(pids.worker);
  Print("idle.dirty_listener_kib", static_cast<double>(listener.private_dirty));
  Print("idle.dirty_worker_kib", static_cast<double>(worker.private_dirty));
  Print("idle.dirty_kib", static_cast<double>(listener.private_dirty + worker.private_dirty));
  sleep(3);
  Print("idle.ticks", static_cast<double>(ReadUsage(pids.listener).ticks - listener.ticks +
                                          ReadUsage(pids.worker).ticks - worker.ticks));
  BackToBackDrains(pids, 5000);
  LoneDrains(pids, 500);
}

namespace {

bool Traced(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("TracerPid:");
  return at != std::string::npos && atoi(status.c_str() + at + 10) != 0;
}

// A read of the trigger pipe whose bytes are the trigger "1", after any "0" still on its way;
// the worker reads the pipe in blocks.
bool IsTriggerRead(const std::string& line) {
  if (line.rfind("read(", 0) != 0) return false;
  const size_t open = line.find('"');
  const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
  if (close == std::string::npos || close == open + 1 || line[close - 1] != '1') return false;
  return line.find_first_not_of('0', open + 1) == close - 1;
}

// The calls between the read of the trigger "1" and the read of the next byte, "0".
int CallsBetweenReads(const std::string& trace) {
  std::istringstream lines(trace);
  int calls = -1;
  for (std::string line; std::getline(lines, line);) {
    const bool read = line.rfind("read(", 0) == 0;
    if (IsTriggerRead(line)) {
      calls = 0;
    } else if (read) {
      if (calls >= 0) return calls;
    } else if (calls >= 0) {
      ++calls;
    }
  }
  Fail("no drain in the trace: " + trace);
}

bool HasTriggerRead(const std::string& trace) {
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    if (IsTriggerRead(line)) return true;
  }
  return false;
}

// The trace holds the trigger's read and, after it, the whole read of the next byte.
bool EndsDrain(const std::string& trace) {
  std::istringstream lines(trace);
  bool triggered = false;
  for (std::string line; std::getline(lines, line);) {
    if (triggered && line.rfind("read(", 0) == 0 && line.find("\"0") != std::string::npos) {
      return true;
    }
    triggered = triggered || IsTriggerRead(line);
  }
  return false;
}

}  // namespace

void DrainCalls(const std::string& bindir) {
  PrepareTree(bindir, false);
  WriteFile(plim::Queue, "", 0666);
  StartService(bindir);
  const ServicePids pids = FindService();
  WaitIdle(pids);
  const std::string trace = "/tmp/plim/drain.trace";
  const pid_t tracer =
      Spawn({"/usr/bin/strace", "-qq", "-o", trace, "-p", std::to_string(pids.worker)});
  while (!Traced(pids.worker)) Pause(1000000);
  // The read under way when strace attached may not show, so a "0" goes first; the "1" then
  // gets a read of its own, and a "0" sent once the drain is over ends its trace.
  Trigger trigger;
  do {
    trigger.Send('0');
    Pause(1000000);
  } while (ReadFile(trace).find("read(") == std::string::npos);
  WaitIdle(pids);
  trigger.Send('1');
  while (!HasTriggerRead(ReadFile(trace))) Pause(1000000);
  WaitIdle(pids);
  trigger.Send('0');
  while (!EndsDrain(ReadFile(trace))) Pause(1000000);
  kill(tracer, SIGTERM);
  Wait(tracer);
  Print("idle.drain_syscalls", CallsBetweenReads(ReadFile(trace)));
}

}  // namespace bench
