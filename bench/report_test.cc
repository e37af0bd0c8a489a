#include "bench/report.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

// The table's row for `figure`, from its "Median" cell on.
std::string RowOf(const std::string& table, const std::string& figure) {
  const size_t start = table.find("| " + figure + " | ");
  if (start == std::string::npos) return "";
  const size_t cells = start + figure.size() + 5;
  return table.substr(cells, table.find('\n', start) - cells);
}

TEST(ReportTest, VerdictsCompareRatiosOfMediansWithTheirTargets) {
  struct Case {
    Results results;
    const char* figure;
    std::string row;
  };
  const Case cases[] = {
      {{{"jobs.service", {1150, 1000, 1200}}, {"jobs.floor", {1000, 900, 1100}}},
       "1. Per job: service",
       "1.1 µs | 1.0 µs – 1.2 µs | 1.15 × jobs.floor | ≤ 1.15 | yes |"},
      {{{"jobs.service", {1200}}, {"jobs.floor", {1000}}},
       "1. Per job: service",
       "1.2 µs | 1.2 µs – 1.2 µs | 1.20 × jobs.floor | ≤ 1.15 | **no** |"},
      {{{"jobs.ts", {1000}}, {"jobs.service", {1000}}},
       "4. Per job: task-spooler (tsp)",
       "1.0 µs | 1.0 µs – 1.0 µs | 1.00 × jobs.service | > 1 | **no** |"},
      {{{"jobs.naive", {8e6}}, {"jobs.service", {1e6}}},
       "3. Per job: naive, steps through /bin/sh -c",
       "8.00 ms | 8.00 ms – 8.00 ms | 8.00 × jobs.service | ≥ 8 | yes |"},
      {{{"idle.ticks", {0, 1, 0}}}, "7. Idle CPU ticks in 3 s, both", "0 | 0 – 1 | | ≤ 0 | yes |"},
      {{{"idle.dirty_kib", {300}}},
       "7. Idle private dirty memory, both",
       "300 KiB | 300 KiB – 300 KiB | | ≤ 256 KiB | **no** |"},
      {{}, "5. Trigger to analysis tool start", "not measured |||||"},
  };
  for (const Case& c : cases) EXPECT_EQ(RowOf(Table(c.results, 3), c.figure), c.row) << c.figure;
}

}  // namespace
}  // namespace bench
