// The per-job figures of the ways one would do without the service: a shell script, and the
// job queues task-spooler and nq. Each starts the two tools of every job with the same
// arguments; the clock runs from the first command to the end of the last job.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "bench/figures.h"
#include "bench/harness.h"
#include "bench/service.h"
#include "joblist/paths.h"
#include "jobs/job_runner.h"

namespace bench {

namespace {

// A job's steps as a shell script would run them, with the index flag on.
constexpr const char* kShellSteps[] = {
    "rm -rf \"/hdd/movie/%s.ts.idx\"",
    "rm -rf \"/tmp/plim/tmp/%s.rec\"",
    "mkdir -p \"/tmp/plim/tmp/%s.rec\"",
    "touch \"/hdd/movie/%s.ts.idx\"",
    "ln -s \"/hdd/movie/%s.ts.idx\" \"/tmp/plim/tmp/%s.rec/001.idx\"",
    "ln -s \"/hdd/movie/%s.ts\" \"/tmp/plim/tmp/%s.rec/001.ts\"",
    "echo \">>>>>>>> plim start %s\" >>/hdd/plim/files/plim.log",
    "echo \"*************** plim ***************\" >>/hdd/plim/files/plim.log",
    "/hdd/plim/bin64/plim - \"/tmp/plim/tmp/%s.rec\" >>/hdd/plim/files/plim.log "
    "2>>/hdd/plim/files/plim.log",
    "echo \"*************** plim_mark ***************\" >>/hdd/plim/files/plim.log",
    "/hdd/plim/bin64/plim_mark \"%s\" >>/hdd/plim/files/plim.log",
    "echo \">>>>>>>> plim stop %s\" >>/hdd/plim/files/plim.log",
    "rm -rf \"/tmp/plim/tmp/%s.rec\"",
};

void Print(const char* key, int64_t start, int jobs) {
  printf("%s %.0f\n", key, static_cast<double>(NowNs() - start) / jobs);
}

// Enqueues both launches of every job with `enqueue` prepended, then runs `wait_all`.
void ThroughQueue(const std::vector<std::string>& enqueue, const std::vector<std::string>& wait_all,
                  int jobs) {
  for (int i = 0; i < jobs; ++i) {
    const std::string name = JobName(i);
    std::vector<std::string> analysis = enqueue;
    analysis.insert(analysis.end(), {plim::kAnalysisTool, "-", WorkDir(name)});
    std::vector<std::string> mark = enqueue;
    mark.insert(mark.end(), {plim::kMarkTool, name});
    if (Run(analysis) != 0 || Run(mark) != 0) Fail("cannot enqueue with " + enqueue[0]);
  }
  if (Run(wait_all) != 0) Fail("cannot wait with " + wait_all[0]);
}

}  // namespace

void NaiveJobs(int jobs) {
  const int64_t start = NowNs();
  for (int i = 0; i < jobs; ++i) {
    const std::string name = JobName(i);
    for (const char* step : kShellSteps) Run({"/bin/sh", "-c", plim::Fill(step, name)});
  }
  Print("jobs.naive", start, jobs);
}

// With -n, task-spooler keeps no output file: it writes less per job than the service does.
void TaskSpoolerJobs(int jobs) {
  setenv("TS_SOCKET", "/tmp/plim/ts.socket", 1);
  const int64_t start = NowNs();
  ThroughQueue({"/usr/bin/tsp", "-n"}, {"/usr/bin/tsp", "-w"}, jobs);
  Print("jobs.ts", start, jobs);
}

void NqJobs(int jobs) {
  setenv("NQDIR", "/tmp/plim/nq", 1);
  const int64_t start = NowNs();
  ThroughQueue({"/usr/bin/nq", "-q"}, {"/usr/bin/nq", "-w"}, jobs);
  Print("jobs.nq", start, jobs);
}

}  // namespace bench
