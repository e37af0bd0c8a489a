// plimd_probe: what bench/run.sh cannot time from outside: stamps, /proc and a tight poll. Runs
// in the figure's namespaces (bench/ns.sh); prints "key value" lines, times in nanoseconds.
//   floor N         per job: both tools of N jobs started by fork and exec, each waited for
//   wait-done NAME  returns once the queue and the in-progress file are empty and NAME ends
//                   the done list
//   trigger N LISTENER WORKER  N triggers of the idle service (its two processes' ids): the
//                   median from sendto to the tool's stamp
//   fork-floor N    the median from fork to the same tool's stamp
//   idle NAME LISTENER WORKER  figure 7, once NAME is done
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "joblist/paths.h"

namespace {

void Print(const char* key, double value) { printf("%s %.0f\n", key, value); }

[[noreturn]] void Fail(const char* what) {
  perror(what);
  exit(1);
}

int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Pause(long ns) {
  struct timespec pause = {0, ns};
  nanosleep(&pause, nullptr);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `argv` by fork and exec with stdout to `out` and stderr to `err`, and waits for it.
void Run(const char* const* argv, int out, int err) {
  if (fork() == 0) {
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  wait(nullptr);
}

void Floor(int jobs) {
  for (int i = 0; i < jobs; ++i) {
    const std::string name = "Recording " + std::to_string(i),
                      dir = "/tmp/plim/tmp/" + name + ".rec";
    const char* analysis[] = {plim::kAnalysisTool, "-", dir.c_str(), nullptr};
    const char* mark[] = {plim::kMarkTool, name.c_str(), nullptr};
    const int log = open(plim::Log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    Run(analysis, log, log);
    Run(mark, log, 2);
    close(log);
  }
}

off_t SizeOf(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? info.st_size : -1;
}

// Looked at every half millisecond rather than woken by each of the ten or so changes a job
// makes in the folder: a watcher woken that often would take its share of the two cores.
void WaitDone(const std::string& last) {
  const std::string tail = last + "\n";
  for (;; Pause(500000)) {
    if (SizeOf(plim::InBearbeitung) != 0 || SizeOf(plim::Queue) != 0) continue;
    const std::string done = ReadFile(plim::Fertig);
    if (done.size() >= tail.size() && done.substr(done.size() - tail.size()) == tail) return;
  }
}

// Fields of /proc/PID/stat from the state on (after the command's parenthesis).
std::vector<std::string> StatFields(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  return {std::istream_iterator<std::string>(rest), {}};
}

struct Service {
  pid_t listener = 0, worker = 0;
};

// The listener blocks only in its receive, the worker between drains only in its pipe read:
// both asleep twice in a row means every datagram has been dealt with.
void WaitIdle(const Service& s) {
  for (int settled = 0; settled < 2; Pause(200000)) {
    const bool idle = StatFields(s.listener)[0] == "S" && StatFields(s.worker)[0] == "S";
    settled = idle ? settled + 1 : 0;
  }
}

// The stand-in tool writes its start time to this FIFO (made by bench/ns.sh), open for reading
// and writing so that the tool always finds a reader and a read never sees its end.
int OpenStamps() {
  const int fifo = open("/tmp/plim/stamp", O_RDWR | O_CLOEXEC);
  if (fifo < 0) Fail("open stamp FIFO");
  return fifo;
}

int64_t ReadStamp(int fifo) {
  int64_t stamp;
  if (read(fifo, &stamp, sizeof stamp) != sizeof stamp) Fail("read stamp");
  return stamp;
}

void Send(int socket) {
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(25252);
  if (sendto(socket, "1", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 1)
    Fail("sendto");
}

// As a producer does it: an unlocked append of the name, then one datagram; the clock starts
// just before the sendto, the append being the producer's own cost.
void Trigger(int triggers, const Service& service) {
  const int stamps = OpenStamps();
  const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::vector<double> latencies;
  for (int i = 0; i < triggers; ++i) {
    WaitIdle(service);
    const std::string line = "Trigger " + std::to_string(i) + "\n";
    const int queue = open(plim::Queue, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (write(queue, line.data(), line.size()) < 0) Fail("append");
    close(queue);
    const int64_t start = NowNs();
    Send(socket);
    latencies.push_back(static_cast<double>(ReadStamp(stamps) - start));
    WaitDone(line.substr(0, line.size() - 1));
  }
  Print("trigger.service", Median(latencies));
}

void ForkFloor(int launches) {
  const int stamps = OpenStamps();
  std::vector<double> latencies;
  for (int i = 0; i < launches; ++i) {
    char* argv[] = {const_cast<char*>(plim::kAnalysisTool), const_cast<char*>("-"), nullptr};
    const int64_t start = NowNs();
    if (fork() == 0) {
      execv(argv[0], argv);
      _exit(127);
    }
    latencies.push_back(static_cast<double>(ReadStamp(stamps) - start));
    wait(nullptr);
  }
  Print("trigger.floor", Median(latencies));
}

struct Usage {
  long ticks, runs, write_calls, private_dirty;
  int64_t cpu_ns;
};

long Field(const std::string& text, const char* key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1 : atol(text.c_str() + at + strlen(key));
}

Usage ReadUsage(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::vector<std::string> stat = StatFields(pid);
  Usage usage;
  usage.ticks = atol(stat.at(11).c_str()) + atol(stat.at(12).c_str());
  // schedstat: time on a CPU, time waiting for one, times put on one (each wake-up counts).
  long long waited;
  std::istringstream(ReadFile(proc + "/schedstat")) >> usage.cpu_ns >> waited >> usage.runs;
  usage.write_calls = Field(ReadFile(proc + "/io"), "syscw:");
  usage.private_dirty = Field(ReadFile(proc + "/smaps_rollup"), "Private_Dirty:");
  return usage;
}

// Name, inode, size and change times of everything in the service's folders and of the folders.
std::string FilesState() {
  std::string state;
  for (const char* dir : {plim::kFilesDir, "/tmp/plim/tmp"}) {
    std::vector<std::string> paths = {dir};
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      paths.push_back(entry.path());
    for (const std::string& path : paths) {
      struct stat s;
      if (lstat(path.c_str(), &s) != 0) continue;
      state += path + " " + std::to_string(s.st_ino) + " " + std::to_string(s.st_size) + " " +
               std::to_string(s.st_mtim.tv_nsec) + " " + std::to_string(s.st_ctim.tv_nsec) + "\n";
    }
  }
  return state;
}

// Datagrams "1" that find nothing to do: back to back (5,000 in bursts of 100, well below what
// the socket buffer holds), then one at a time, each sent once both processes sleep again.
void Idle(const std::string& last, const Service& s) {
  WaitDone(last);
  WaitIdle(s);
  const Usage listener = ReadUsage(s.listener), worker = ReadUsage(s.worker);
  Print("idle.dirty_listener_kib", listener.private_dirty);
  Print("idle.dirty_worker_kib", worker.private_dirty);
  Print("idle.dirty_kib", listener.private_dirty + worker.private_dirty);
  sleep(3);
  const auto cpu = [&] { return ReadUsage(s.listener).cpu_ns + ReadUsage(s.worker).cpu_ns; };
  Print("idle.ticks",
        ReadUsage(s.listener).ticks - listener.ticks + ReadUsage(s.worker).ticks - worker.ticks);
  const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const std::string files = FilesState();
  const long writes = ReadUsage(s.worker).write_calls;
  int64_t before = cpu();
  for (int burst = 0; burst < 50; ++burst, WaitIdle(s)) {
    for (int i = 0; i < 100; ++i) Send(socket);
  }
  Print("idle.datagram_cpu_ns", static_cast<double>(cpu() - before) / 5000);
  Print("idle.drain_writes", ReadUsage(s.worker).write_calls - writes);
  Print("idle.drain_file_changes", FilesState() == files ? 0 : 1);
  const long wakeups = ReadUsage(s.worker).runs;
  before = cpu();
  for (int i = 0; i < 500; ++i, WaitIdle(s)) {
    const long runs = ReadUsage(s.listener).runs;
    Send(socket);
    while (ReadUsage(s.listener).runs == runs) Pause(20000);
  }
  Print("idle.lone_datagram_cpu_ns", static_cast<double>(cpu() - before) / 500);
  Print("idle.lone_worker_wakeups", ReadUsage(s.worker).runs - wakeups);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc >= 3 ? argv[1] : "";
  const Service service = {argc == 5 ? atoi(argv[3]) : 0, argc == 5 ? atoi(argv[4]) : 0};
  if (command == "floor")
    Floor(atoi(argv[2]));
  else if (command == "wait-done")
    WaitDone(argv[2]);
  else if (command == "trigger")
    Trigger(atoi(argv[2]), service);
  else if (command == "fork-floor")
    ForkFloor(atoi(argv[2]));
  else if (command == "idle")
    Idle(argv[2], service);
  else
    return fprintf(stderr,
                   "usage: plimd_probe floor|wait-done|trigger|fork-floor|idle ARG [LISTENER "
                   "WORKER]\n"),
           2;
  return 0;
}
