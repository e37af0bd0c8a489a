#include "bench/report.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "bench/harness.h"

namespace bench {

namespace {

struct Figure {
  const char* name;
  int param;
  bool on_disk = false;  // /hdd and /tmp/plim on the machine's own file system, not tmpfs
  bool before = false;   // of the plimd built from the code before the hardening
};

constexpr Figure kFigures[] = {
    {"service-jobs", 200},
    {"floor-jobs", 200},
    {"naive-jobs", 200},
    {"ts-jobs", 200},
    {"nq-jobs", 200},
    {"service-trigger", 25},
    {"floor-trigger", 25},
    {"service-scale", 10000},
    {"copy-scale", 10000},
    {"service-scale", 100000},
    {"copy-scale", 100000},
    {"idle", 200},
    {"drain-calls", 0},
    {"long-line", 100},
    {"service-jobs", 200, /*on_disk=*/true},
    {"floor-jobs", 200, /*on_disk=*/true},
    {"service-jobs", 200, /*on_disk=*/false, /*before=*/true},
    {"idle", 200, /*on_disk=*/false, /*before=*/true},
};

const char* KeyPrefix(const Figure& figure) {
  return figure.on_disk ? "disk." : figure.before ? "before." : "";
}

std::string Setup(const Figure& figure, const std::string& disk_dir) {
  const std::string mounts =
      figure.on_disk ? "rm -rf " + disk_dir + "/hdd " + disk_dir + "/tmp && mkdir -p " + disk_dir +
                           "/hdd " + disk_dir + "/tmp && mount --bind " + disk_dir +
                           "/hdd /hdd && mount --bind " + disk_dir + "/tmp /tmp/plim"
                     : "mount -t tmpfs bench-hdd /hdd && mount -t tmpfs bench-tmp /tmp/plim";
  return mounts + " && mount -t tmpfs bench-run /run && ip link set lo up && exec \"$@\"";
}

// Runs one figure in fresh namespaces; the namespace's end takes the service with it.
void RunFigureOnce(const Figure& figure, const RunOptions& options, Results* results) {
  const std::string& bindir = figure.before ? options.before_bindir : options.bindir;
  if (bindir.empty()) return;
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length < 0) Fail("readlink /proc/self/exe");
  int out[2];
  if (pipe(out) != 0) Fail("pipe");
  const pid_t child =
      Spawn({"/usr/bin/unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc", "/bin/sh",
             "-c", Setup(figure, options.disk_dir), "sh", std::string(self, length), "figure",
             figure.name, std::to_string(figure.param), bindir},
            out[1], STDERR_FILENO);
  close(out[1]);
  const std::string text = ReadAll(out[0]);
  close(out[0]);
  if (Wait(child) != 0) Fail(std::string("figure ") + figure.name + " failed");
  std::istringstream lines(text);
  std::string key;
  for (double value; lines >> key >> value;) {
    (*results)[KeyPrefix(figure) + key].push_back(value);
  }
}

}  // namespace

Results RunAll(const RunOptions& options) {
  Results results;
  for (int round = 1; round <= options.rounds; ++round) {
    for (const Figure& figure : kFigures) {
      fprintf(stderr, "round %d/%d: %s %d%s\n", round, options.rounds, figure.name, figure.param,
              figure.on_disk  ? " (disk)"
              : figure.before ? " (before the hardening)"
                              : "");
      RunFigureOnce(figure, options, &results);
    }
  }
  return results;
}

namespace {

enum class Unit { kTime, kKib, kCount };
enum class Goal { kNone, kAtMost, kAtLeast, kAbove };

struct Row {
  const char* figure;
  const char* key;
  Unit unit;
  const char* reference;  // the key the ratio divides by, or null: the goal is on the value
  Goal goal;
  double limit;
};

constexpr Row kRows[] = {
    {"1. Per job: service", "jobs.service", Unit::kTime, "jobs.floor", Goal::kAtMost, 1.15},
    {"1. Per job: service before the hardening", "before.jobs.service", Unit::kTime, "jobs.floor",
     Goal::kNone, 0},
    {"2. Per job: floor (fork, exec, wait of both tools)", "jobs.floor", Unit::kTime, nullptr,
     Goal::kNone, 0},
    {"3. Per job: naive, steps through /bin/sh -c", "jobs.naive", Unit::kTime, "jobs.service",
     Goal::kAtLeast, 8},
    {"4. Per job: task-spooler (tsp)", "jobs.ts", Unit::kTime, "jobs.service", Goal::kAbove, 1},
    {"4. Per job: nq", "jobs.nq", Unit::kTime, "jobs.service", Goal::kAbove, 1},
    {"5. Trigger to analysis tool start", "trigger.service", Unit::kTime, "trigger.floor",
     Goal::kAtMost, 1.5},
    {"5. Floor: fork to exec of the tool", "trigger.floor", Unit::kTime, nullptr, Goal::kNone, 0},
    {"6. Start to first tool, 10,000 lines", "scale.service.10000", Unit::kTime, "scale.copy.10000",
     Goal::kNone, 0},
    {"6. Start to first tool, 100,000 lines", "scale.service.100000", Unit::kTime,
     "scale.copy.100000", Goal::kAtMost, 10},
    {"6. Growth from 10,000 to 100,000 lines", "scale.service.100000", Unit::kTime,
     "scale.service.10000", Goal::kAtMost, 10},
    {"6. Copy of 100,000 lines (cat)", "scale.copy.100000", Unit::kTime, nullptr, Goal::kNone, 0},
    {"7. Idle private dirty memory, both", "idle.dirty_kib", Unit::kKib, nullptr, Goal::kAtMost,
     256},
    {"7. Idle private dirty memory, listener", "idle.dirty_listener_kib", Unit::kKib, nullptr,
     Goal::kNone, 0},
    {"7. Idle private dirty memory, worker", "idle.dirty_worker_kib", Unit::kKib, nullptr,
     Goal::kNone, 0},
    {"7. Idle CPU ticks in 3 s, both", "idle.ticks", Unit::kCount, nullptr, Goal::kAtMost, 0},
    {"7. CPU time of a datagram that finds nothing to do, back to back (both processes)",
     "idle.datagram_cpu_ns", Unit::kTime, "before.idle.datagram_cpu_ns", Goal::kAtMost, 0.5},
    {"7. The same before the hardening", "before.idle.datagram_cpu_ns", Unit::kTime, nullptr,
     Goal::kNone, 0},
    {"7. The same, lone datagram (wake-ups included)", "idle.lone_datagram_cpu_ns", Unit::kTime,
     "before.idle.lone_datagram_cpu_ns", Goal::kAtMost, 0.5},
    {"7. The same before the hardening", "before.idle.lone_datagram_cpu_ns", Unit::kTime, nullptr,
     Goal::kNone, 0},
    {"7. Worker wake-ups for 500 lone datagrams", "idle.lone_worker_wakeups", Unit::kCount, nullptr,
     Goal::kAtMost, 0},
    {"7. The same before the hardening", "before.idle.lone_worker_wakeups", Unit::kCount, nullptr,
     Goal::kNone, 0},
    {"7. System calls for such a datagram besides its receipt", "idle.drain_syscalls", Unit::kCount,
     nullptr, Goal::kAtMost, 2},
    {"7. Write calls of the worker for those datagrams", "idle.drain_writes", Unit::kCount, nullptr,
     Goal::kAtMost, 0},
    {"7. Files changed by those datagrams", "idle.drain_file_changes", Unit::kCount, nullptr,
     Goal::kAtMost, 0},
    {"8. Per job on disk: service", "disk.jobs.service", Unit::kTime, "disk.jobs.floor",
     Goal::kNone, 0},
    {"8. Per job on disk: floor", "disk.jobs.floor", Unit::kTime, nullptr, Goal::kNone, 0},
    {"8. Price of the fsyncs: service on disk / on tmpfs", "disk.jobs.service", Unit::kTime,
     "jobs.service", Goal::kNone, 0},
    {"9. Worker's peak memory (VmHWM), a 100 MB queue line set aside", "longline.worker_peak_kib",
     Unit::kKib, nullptr, Goal::kAtMost, 8192},
};

std::string Format(double value, Unit unit) {
  char text[64];
  switch (unit) {
    case Unit::kTime:
      if (value < 1e6) {
        snprintf(text, sizeof text, "%.1f µs", value / 1e3);
      } else {
        snprintf(text, sizeof text, "%.2f ms", value / 1e6);
      }
      break;
    case Unit::kKib:
      snprintf(text, sizeof text, "%.0f KiB", value);
      break;
    case Unit::kCount:
      snprintf(text, sizeof text, "%.0f", value);
      break;
  }
  return text;
}

// A ratio's target is a plain number; a value's is in the value's unit.
std::string GoalText(const Row& row) {
  const char* const kSigns[] = {"", "≤ ", "≥ ", "> "};
  if (row.goal == Goal::kNone) return "";
  char ratio[32];
  snprintf(ratio, sizeof ratio, "%g", row.limit);
  return kSigns[static_cast<int>(row.goal)] +
         (row.reference != nullptr ? ratio : Format(row.limit, row.unit));
}

bool Meets(Goal goal, double value, double limit) {
  switch (goal) {
    case Goal::kAtMost:
      return value <= limit;
    case Goal::kAtLeast:
      return value >= limit;
    case Goal::kAbove:
      return value > limit;
    case Goal::kNone:
      break;
  }
  return true;
}

struct Summary {
  double median, min, max;
};

Summary Summarize(const std::vector<double>& values) {
  if (values.empty()) return {0, 0, 0};
  const auto [min, max] = std::minmax_element(values.begin(), values.end());
  return {Median(values), *min, *max};
}

std::string TableRow(const Row& row, const Results& results) {
  const auto found = results.find(row.key);
  if (found == results.end()) return std::string("| ") + row.figure + " | not measured |||||\n";
  const Summary value = Summarize(found->second);
  std::string line = std::string("| ") + row.figure + " | " + Format(value.median, row.unit) +
                     " | " + Format(value.min, row.unit) + " – " + Format(value.max, row.unit);
  double checked = value.median;
  if (row.reference != nullptr && results.count(row.reference) != 0) {
    checked = value.median / Median(results.at(row.reference));
    char ratio[32];
    snprintf(ratio, sizeof ratio, "%.2f", checked);
    line += std::string(" | ") + ratio + " × " + row.reference;
  } else {
    line += " |";
  }
  line += " | " + GoalText(row) + " | ";
  if (row.goal != Goal::kNone) line += Meets(row.goal, checked, row.limit) ? "yes" : "**no**";
  return line + " |\n";
}

// How far the rounds of a figure lie apart: (max - min) / median, over all timed figures.
std::string Spread(const Results& results) {
  std::vector<std::pair<double, std::string>> spreads;
  for (const auto& [key, values] : results) {
    const Summary value = Summarize(values);
    if (value.median > 0) spreads.push_back({(value.max - value.min) / value.median, key});
  }
  if (spreads.empty()) return "";
  std::vector<double> ratios;
  for (const auto& spread : spreads) ratios.push_back(spread.first);
  const auto widest = std::max_element(spreads.begin(), spreads.end());
  char text[256];
  snprintf(text, sizeof text,
           "Spread of the rounds, (max − min) / median: %.0f %% for the median figure, "
           "%.0f %% at most (%s).",
           100 * Median(ratios), 100 * widest->first, widest->second.c_str());
  return text;
}

}  // namespace

std::string Table(const Results& results, int rounds) {
  std::string table = "| Figure | Median of " + std::to_string(rounds) +
                      " rounds | Min – max | Ratio | Target | Holds |\n"
                      "|---|---|---|---|---|---|\n";
  for (const Row& row : kRows) table += TableRow(row, results);
  return table + "\n" + Spread(results) + "\n";
}

std::string PlotData(const Results& results) {
  const std::pair<const char*, const char*> bars[] = {
      {"floor", "jobs.floor"},
      {"plimd", "jobs.service"},
      {"plimd before hardening", "before.jobs.service"},
      {"task-spooler", "jobs.ts"},
      {"nq", "jobs.nq"},
      {"naive sh -c", "jobs.naive"}};
  std::string data;
  for (const auto& [label, key] : bars) {
    if (results.count(key) == 0) continue;
    const Summary value = Summarize(results.at(key));
    char line[128];
    snprintf(line, sizeof line, "\"%s\" %.1f %.1f %.1f\n", label, value.median / 1e3,
             value.min / 1e3, value.max / 1e3);
    data += line;
  }
  return data;
}

}  // namespace bench
