#include "bench/service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "bench/harness.h"
#include "joblist/paths.h"

namespace bench {

void PrepareTree(const std::string& bindir, bool stamping) {
  for (const char* dir : {plim::kFilesDir, "/hdd/plim/bin64", "/hdd/movie", "/tmp/plim/tmp"}) {
    MakeDirectories(dir);
  }
  WriteFile(plim::Conf, "plim 25252 1\n");
  CopyFile(bindir + (stamping ? "/bench/bench_stamp" : "/bench/bench_tool"), plim::kAnalysisTool,
           0755);
  CopyFile(bindir + "/bench/bench_tool", plim::kMarkTool, 0755);
  if (stamping && mkfifo(kStampFifo, 0666) != 0) Fail("mkfifo");
}

std::string JobName(int i) {
  char name[64];
  snprintf(name, sizeof name, "Recording %06d, Evening News Channel 1", i);
  return name;
}

std::string QueueJobs(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += JobName(i) + "\n";
  WriteFile(plim::Queue, text, 0666);
  return JobName(count - 1);
}

plim::ScopedFd OpenStamps() {
  // Read and write, so that the stand-in always finds a reader and a read never sees the end.
  plim::ScopedFd fifo(open(kStampFifo, O_RDWR | O_CLOEXEC));
  if (!fifo.valid()) Fail("open stamp FIFO");
  return fifo;
}

int64_t ReadStamp(int fifo) {
  int64_t stamp;
  if (read(fifo, &stamp, sizeof stamp) != sizeof stamp) Fail("read stamp");
  return stamp;
}

void StartService(const std::string& bindir) {
  if (Run({bindir + "/plimd"}) != 0) Fail("plimd did not return 0");
}

Trigger::Trigger() : socket_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(25252);
  if (connect(socket_.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    Fail("connect");
  }
}

void Trigger::Send(char byte) {
  if (send(socket_.get(), &byte, 1, 0) != 1) Fail("send");
}

namespace {

off_t SizeOf(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? info.st_size : -1;
}

bool Done(const std::string& last) {
  if (SizeOf(plim::InBearbeitung) != 0 || SizeOf(plim::Queue) != 0) return false;
  const std::string done = ReadFile(plim::Fertig);
  const std::string tail = last + "\n";
  return done.size() >= tail.size() &&
         done.compare(done.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

namespace {

// Fields of /proc/PID/stat after the command's closing parenthesis, from the state on.
std::vector<std::string> StatFields(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

void Pause(long ns) {
  struct timespec pause = {0, ns};
  nanosleep(&pause, nullptr);
}

}  // namespace

void WaitUntilDone(const std::string& last) {
  // Looked at every half millisecond rather than woken by each change in the folder: a job
  // changes it about ten times, and a watcher woken that often would take its share of the
  // two cores from the service it measures. The last look comes at most 0.5 ms late, a few
  // microseconds per job of a run.
  while (!Done(last)) Pause(500000);
}

ServicePids FindService() {
  for (int attempt = 0; attempt < 10000; ++attempt, Pause(100000)) {
    ServicePids pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      if (ReadFile("/proc/" + name + "/comm") != "plimd\n") continue;
      const pid_t pid = atoi(name.c_str());
      const pid_t parent = atoi(StatFields(pid).at(1).c_str());
      (parent == 1 ? pids.listener : pids.worker) = pid;
    }
    if (pids.listener != 0 && pids.worker != 0) return pids;
  }
  Fail("plimd's listener and worker not found");
}

void WaitIdle(const ServicePids& pids) {
  // The listener blocks only in its receive, the worker (between drains) only in its read of
  // the pipe, so both blocking twice in a row means both queues are empty.
  for (int settled = 0; settled < 2; Pause(200000)) {
    const bool idle = StatFields(pids.listener)[0] == "S" && StatFields(pids.worker)[0] == "S";
    settled = idle ? settled + 1 : 0;
  }
}

namespace {

long Field(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1 : atol(text.c_str() + at + key.size());
}

}  // namespace

ProcessUsage ReadUsage(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::vector<std::string> stat = StatFields(pid);
  ProcessUsage usage;
  usage.ticks = atol(stat.at(11).c_str()) + atol(stat.at(12).c_str());
  // schedstat: time on a CPU, time waiting for one, and the number of times put on one.
  std::istringstream schedstat(ReadFile(proc + "/schedstat"));
  long long waited = 0;
  schedstat >> usage.cpu_ns >> waited >> usage.runs;
  usage.write_calls = Field(ReadFile(proc + "/io"), "syscw:");
  usage.private_dirty = Field(ReadFile(proc + "/smaps_rollup"), "Private_Dirty:");
  return usage;
}

}  // namespace bench
