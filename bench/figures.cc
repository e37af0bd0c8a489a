#include "bench/figures.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "bench/harness.h"
#include "bench/service.h"
#include "joblist/paths.h"
#include "joblist/scoped_fd.h"

namespace bench {

std::string WorkDir(const std::string& name) { return "/tmp/plim/tmp/" + name + ".rec"; }

namespace {

void Print(const char* key, double value) { printf("%s %.0f\n", key, value); }

plim::ScopedFd OpenLog() {
  return plim::ScopedFd(open(plim::Log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
}

// What any implementation pays per job: both tools started with their arguments and
// redirections by plain fork and exec, each waited for.
void LaunchBothTools(const std::string& name) {
  plim::ScopedFd log = OpenLog();
  Wait(Spawn({plim::kAnalysisTool, "-", WorkDir(name)}, log.get(), log.get()));
  Wait(Spawn({plim::kMarkTool, name}, log.get(), STDERR_FILENO));
}

void ServiceJobs(int jobs, const std::string& bindir) {
  PrepareTree(bindir, false);
  const std::string last = QueueJobs(jobs);
  const int64_t start = NowNs();
  StartService(bindir);
  WaitUntilDone(last);
  Print("jobs.service", static_cast<double>(NowNs() - start) / jobs);
}

void FloorJobs(int jobs, const std::string& bindir) {
  PrepareTree(bindir, false);
  const int64_t start = NowNs();
  for (int i = 0; i < jobs; ++i) LaunchBothTools(JobName(i));
  Print("jobs.floor", static_cast<double>(NowNs() - start) / jobs);
}

void ServiceTrigger(int triggers, const std::string& bindir) {
  PrepareTree(bindir, true);
  plim::ScopedFd stamps = OpenStamps();
  StartService(bindir);
  const ServicePids pids = FindService();
  WaitIdle(pids);
  Trigger trigger;
  std::vector<double> latencies;
  for (int i = 0; i < triggers; ++i) {
    const std::string name = JobName(i);
    const int64_t start = NowNs();
    {
      plim::ScopedFd queue(open(plim::Queue, O_WRONLY | O_APPEND | O_CLOEXEC));
      if (write(queue.get(), (name + "\n").data(), name.size() + 1) < 0) Fail("append");
    }
    trigger.Send();
    latencies.push_back(static_cast<double>(ReadStamp(stamps.get()) - start));
    WaitUntilDone(name);
    WaitIdle(pids);
  }
  Print("trigger.service", Median(latencies));
}

void FloorTrigger(int launches, const std::string& bindir) {
  PrepareTree(bindir, true);
  plim::ScopedFd stamps = OpenStamps();
  plim::ScopedFd log = OpenLog();
  std::vector<double> latencies;
  for (int i = 0; i < launches; ++i) {
    const int64_t start = NowNs();
    const pid_t tool = Spawn({plim::kAnalysisTool, "-", WorkDir(JobName(i))}, log.get(), log.get());
    latencies.push_back(static_cast<double>(ReadStamp(stamps.get()) - start));
    Wait(tool);
  }
  Print("trigger.floor", Median(latencies));
}

std::string ScaleKey(const char* who, int lines) {
  return std::string("scale.") + who + "." + std::to_string(lines);
}

std::string QueueOfLines(int lines) {
  std::string text;
  char line[64];
  for (int i = 0; i < lines; ++i) text.append(line, snprintf(line, sizeof line, "%040d\n", i));
  return text;
}

void ServiceScale(int lines, const std::string& bindir) {
  PrepareTree(bindir, true);
  WriteFile(plim::Queue, QueueOfLines(lines), 0666);
  plim::ScopedFd stamps = OpenStamps();
  const int64_t start = NowNs();
  StartService(bindir);
  Print(ScaleKey("service", lines).c_str(), static_cast<double>(ReadStamp(stamps.get()) - start));
}

void CopyScale(int lines) {
  MakeDirectories("/tmp/plim/copy");
  const std::string from = "/tmp/plim/copy/queue.txt";
  WriteFile(from, QueueOfLines(lines));
  plim::ScopedFd to(open("/tmp/plim/copy/new.txt", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  const int64_t start = NowNs();
  if (Run({"/bin/cat", from}, to.get()) != 0) Fail("cat");
  Print(ScaleKey("copy", lines).c_str(), static_cast<double>(NowNs() - start));
}

// The most memory the process has held at once, in KiB.
long PeakKib(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

// A queue line of `megabytes` MB ahead of one name: the worker sets it aside and runs the name.
void LongLine(int megabytes, const std::string& bindir) {
  PrepareTree(bindir, false);
  WriteFile(plim::Queue, std::string(megabytes * 1000000L, 'x') + "\n" + JobName(0) + "\n", 0666);
  StartService(bindir);
  const ServicePids pids = FindService();
  WaitUntilDone(JobName(0));
  Print("longline.worker_peak_kib", static_cast<double>(PeakKib(pids.worker)));
}

}  // namespace

bool RunFigure(const std::string& name, int param, const std::string& bindir) {
  if (name == "service-jobs") {
    ServiceJobs(param, bindir);
  } else if (name == "floor-jobs") {
    FloorJobs(param, bindir);
  } else if (name == "naive-jobs" || name == "ts-jobs" || name == "nq-jobs") {
    PrepareTree(bindir, false);
    (name == "naive-jobs" ? NaiveJobs : name == "ts-jobs" ? TaskSpoolerJobs : NqJobs)(param);
  } else if (name == "service-trigger") {
    ServiceTrigger(param, bindir);
  } else if (name == "floor-trigger") {
    FloorTrigger(param, bindir);
  } else if (name == "service-scale") {
    ServiceScale(param, bindir);
  } else if (name == "copy-scale") {
    CopyScale(param);
  } else if (name == "idle") {
    Idle(param, bindir);
  } else if (name == "long-line") {
    LongLine(param, bindir);
  } else if (name == "drain-calls") {
    DrainCalls(bindir);
  } else {
    return false;
  }
  return true;
}

}  // namespace bench
