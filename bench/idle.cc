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

// Both processes' CPU time from `before` to now, per datagram.
double CpuPerDatagram(const ServicePids& pids, const ProcessUsage& listener,
                      const ProcessUsage& worker, int datagrams) {
  const int64_t ns = ReadUsage(pids.listener).cpu_ns - listener.cpu_ns +
                     ReadUsage(pids.worker).cpu_ns - worker.cpu_ns;
  return static_cast<double>(ns) / datagrams;
}

// Datagrams that find nothing to do, back to back: what they cost the service, and whether the
// worker writes in their wake.
void BackToBackDatagrams(const ServicePids& pids, int triggers) {
  constexpr int kBurst = 100;  // well below what the listener's socket buffer holds
  Trigger trigger;
  const std::string files_before = FilesState();
  const ProcessUsage listener = ReadUsage(pids.listener);
  const ProcessUsage worker = ReadUsage(pids.worker);
  for (int sent = 0; sent < triggers; sent += kBurst) {
    for (int i = 0; i < kBurst; ++i) trigger.Send();
    WaitIdle(pids);
  }
  Print("idle.datagram_cpu_ns", CpuPerDatagram(pids, listener, worker, triggers));
  Print("idle.drain_writes",
        static_cast<double>(ReadUsage(pids.worker).write_calls - worker.write_calls));
  Print("idle.drain_file_changes", FilesState() == files_before ? 0 : 1);
}

// The same one datagram at a time, each once both processes sleep again: what a datagram
// arriving on its own costs, wake-ups included.
void LoneDatagrams(const ServicePids& pids, int triggers) {
  Trigger trigger;
  const ProcessUsage listener = ReadUsage(pids.listener);
  const ProcessUsage worker = ReadUsage(pids.worker);
  for (int i = 0; i < triggers; ++i) {
    const long runs = ReadUsage(pids.listener).runs;
    trigger.Send();
    // Once the listener has run, WaitIdle sees it (and any worker it woke) asleep again.
    while (ReadUsage(pids.listener).runs == runs) Pause(20000);
    WaitIdle(pids);
  }
  Print("idle.lone_datagram_cpu_ns", CpuPerDatagram(pids, listener, worker, triggers));
  Print("idle.lone_worker_wakeups", static_cast<double>(ReadUsage(pids.worker).runs - worker.runs));
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
  BackToBackDatagrams(pids, 5000);
  LoneDatagrams(pids, 500);
}

namespace {

bool Traced(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("TracerPid:");
  return at != std::string::npos && atoi(status.c_str() + at + 10) != 0;
}

bool IsReceiptOfTrigger(const std::string& line) {
  return line.rfind("recvfrom(", 0) == 0 && line.find(", \"1\", ") != std::string::npos;
}

// The listener's calls after its receipt of the trigger "1", up to its next poll, or -1 while
// the trace does not reach that poll yet.
int CallsAfterReceipt(const std::string& trace) {
  std::istringstream lines(trace);
  int calls = -1;
  for (std::string line; std::getline(lines, line);) {
    if (IsReceiptOfTrigger(line)) {
      calls = 0;
    } else if (calls >= 0 && line.rfind("poll(", 0) == 0) {
      return calls;
    } else if (calls >= 0) {
      ++calls;
    }
  }
  return -1;
}

}  // namespace

// The listener's system calls for a datagram "1" that finds nothing to do, besides its receipt
// (the worker is not woken for it: the lone datagrams' figure counts its wake-ups).
void DrainCalls(const std::string& bindir) {
  PrepareTree(bindir, false);
  WriteFile(plim::Queue, "", 0666);
  StartService(bindir);
  const ServicePids pids = FindService();
  WaitIdle(pids);
  const std::string trace = "/tmp/plim/drain.trace";
  const pid_t tracer =
      Spawn({"/usr/bin/strace", "-qq", "-o", trace, "-p", std::to_string(pids.listener)});
  while (!Traced(pids.listener)) Pause(1000000);
  // A "0" first, until its receipt shows: the trace is then under way when the "1" comes.
  Trigger trigger;
  do {
    trigger.Send('0');
    Pause(1000000);
  } while (ReadFile(trace).find("recvfrom(") == std::string::npos);
  WaitIdle(pids);
  trigger.Send('1');
  int calls;
  while ((calls = CallsAfterReceipt(ReadFile(trace))) < 0) Pause(1000000);
  kill(tracer, SIGTERM);
  Wait(tracer);
  Print("idle.drain_syscalls", calls);
}

}  // namespace bench
