// The figures, each measured once per call inside fresh namespaces with scratch /hdd and
// /tmp/plim. Each prints its results to stdout as lines "key value", times in nanoseconds.
#ifndef PLIMD_BENCH_FIGURES_H_
#define PLIMD_BENCH_FIGURES_H_

#include <string>

namespace bench {

// Runs figure `name` with its parameter (jobs, triggers or queue lines). Returns false for an
// unknown name.
bool RunFigure(const std::string& name, int param, const std::string& bindir);

// The peers' figures (peers.cc): the same jobs' two tool launches through other means.
void NaiveJobs(int jobs);
void TaskSpoolerJobs(int jobs);
void NqJobs(int jobs);

// The idle figures (idle.cc): memory and CPU of the idle service after `jobs` jobs, and the
// CPU time of empty drains, back to back and one datagram at a time.
void Idle(int jobs, const std::string& bindir);
// The system calls of one empty drain besides the pipe read, counted by strace.
void DrainCalls(const std::string& bindir);

// The work folder and the two launches of job `name`, as the service runs them.
std::string WorkDir(const std::string& name);

}  // namespace bench

#endif  // PLIMD_BENCH_FIGURES_H_
