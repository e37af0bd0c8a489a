// plimd_bench run BINDIR DISK_DIR OUT_DIR ROUNDS [BEFORE_BINDIR]: every figure, ROUNDS times,
//   some also of the plimd in BEFORE_BINDIR; writes raw.tsv, table.md and per_job.dat to
//   OUT_DIR. Run as root; bench/run.sh is the way to call it.
// plimd_bench figure NAME PARAM BINDIR: one figure, inside namespaces that `run` has made.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "bench/figures.h"
#include "bench/harness.h"
#include "bench/report.h"

namespace {

void WriteResults(const bench::Results& results, const bench::RunOptions& options) {
  std::string raw;
  for (const auto& [key, values] : results) {
    raw += key;
    for (double value : values) raw += "\t" + std::to_string(static_cast<long long>(value));
    raw += "\n";
  }
  bench::WriteFile(options.out_dir + "/raw.tsv", raw);
  bench::WriteFile(options.out_dir + "/table.md", bench::Table(results, options.rounds));
  bench::WriteFile(options.out_dir + "/per_job.dat", bench::PlotData(results));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "figure" && argc == 5) {
    return bench::RunFigure(argv[2], atoi(argv[3]), argv[4]) ? 0 : 2;
  }
  if (command == "run" && (argc == 6 || argc == 7)) {
    bench::RunOptions options{argv[2], argc == 7 ? argv[6] : "", argv[3], argv[4], atoi(argv[5])};
    WriteResults(bench::RunAll(options), options);
    return 0;
  }
  fprintf(stderr,
          "usage: plimd_bench run BINDIR DISK_DIR OUT_DIR ROUNDS [BEFORE_BINDIR]\n"
          "       plimd_bench figure NAME PARAM BINDIR\n");
  return 2;
}
