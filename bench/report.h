// The whole benchmark: every figure in several rounds, each in its own namespaces, and the
// table and plot data made of their medians.
#ifndef PLIMD_BENCH_REPORT_H_
#define PLIMD_BENCH_REPORT_H_

#include <map>
#include <string>
#include <vector>

namespace bench {

// Values of each key over the rounds.
using Results = std::map<std::string, std::vector<double>>;

struct RunOptions {
  std::string bindir;  // plimd, bench_tool and bench_stamp
  // The same, with a plimd built from the code before the hardening; empty when there is none.
  std::string before_bindir;
  std::string disk_dir;  // scratch folder on the machine's own file system
  std::string out_dir;   // raw.tsv, table.md, per_job.dat
  int rounds = 5;
};

// Runs `rounds` rounds of all figures, interleaved so that a noisy spell of the machine hits
// every figure alike, and returns their values.
Results RunAll(const RunOptions& options);

// The markdown table of the figures with their ratios and targets.
std::string Table(const Results& results, int rounds);

// The gnuplot data of the per-job figures: label, median, min and max in microseconds.
std::string PlotData(const Results& results);

}  // namespace bench

#endif  // PLIMD_BENCH_REPORT_H_
