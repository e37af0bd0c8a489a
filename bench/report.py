#!/usr/bin/env python3
"""The results tables of BENCHMARKS.md from bench/run.sh's "key value" lines, one per figure and
round (times in ns): medians, ranges, ratios and targets. report.py ROUNDS < raw"""
import statistics
import sys

# Figure | key | unit (t: ns, k: KiB) | key of the ratio's divisor (else the target is on the value) | target
ROWS = [[cell.strip() for cell in row.split("|")] for row in """\
1. Per job: service | jobs.service | t | jobs.floor | ≤ 1.3
1. Per job: service before the hardening | before.jobs.service | t | jobs.floor |
2. Per job: floor (fork, exec, wait of both tools) | jobs.floor | t | |
3. Per job: naive, steps through /bin/sh -c | jobs.naive | t | jobs.service | ≥ 8
4. Per job: task-spooler (tsp) | jobs.ts | t | jobs.service | > 1
4. Per job: nq | jobs.nq | t | jobs.service | > 1
5. Trigger: sendto of the datagram to the analysis tool's start | trigger.service | t | trigger.floor | ≤ 1.5
5. Floor: fork to the same tool's start | trigger.floor | t | |
6. Start to first tool, 10,000 lines | scale.service.10000 | t | scale.copy.10000 |
6. Start to first tool, 100,000 lines | scale.service.100000 | t | scale.copy.100000 | ≤ 10
6. Growth from 10,000 to 100,000 lines | scale.service.100000 | t | scale.service.10000 | ≤ 10
6. Copy of 100,000 lines (cat) | scale.copy.100000 | t | |
7. Idle private dirty memory, both | idle.dirty_kib | k | | ≤ 256 KiB
7. Idle private dirty memory, listener | idle.dirty_listener_kib | k | |
7. Idle private dirty memory, worker | idle.dirty_worker_kib | k | |
7. Idle CPU ticks in 3 s, both | idle.ticks | | | ≤ 0
7. CPU time of a datagram that finds nothing to do, back to back (both processes) | idle.datagram_cpu_ns | t | before.idle.datagram_cpu_ns | ≤ 0.5
7. The same before the hardening | before.idle.datagram_cpu_ns | t | |
7. The same, lone datagram (wake-ups included) | idle.lone_datagram_cpu_ns | t | before.idle.lone_datagram_cpu_ns | ≤ 0.5
7. The same before the hardening | before.idle.lone_datagram_cpu_ns | t | |
7. Worker wake-ups for 500 lone datagrams | idle.lone_worker_wakeups | | | ≤ 0
7. The same before the hardening | before.idle.lone_worker_wakeups | | |
7. System calls for such a datagram besides its receipt | idle.drain_syscalls | | | ≤ 2
7. Write calls of the worker for those datagrams | idle.drain_writes | | | ≤ 0
7. Files changed by those datagrams | idle.drain_file_changes | | | ≤ 0
8. Per job on disk: service | disk.jobs.service | t | disk.jobs.floor |
8. Per job on disk: floor | disk.jobs.floor | t | |
8. Price of the fsyncs: service on disk / on tmpfs | disk.jobs.service | t | jobs.service |
9. Worker's peak memory (VmHWM), a 100 MB queue line set aside | longline.worker_peak_kib | k | | ≤ 8192 KiB
""".splitlines()]
PRIORITY = [[cell.strip() for cell in row.split("|")] for row in """\
10. Nice-0 process beside a CPU-bound tool, default settings: its rate / alone | priority.low_rate | ≥ 90
10. The same: its share of the CPU time it and the tool got | priority.low_share | ≥ 90
10. With tool_nice = 0, tool_io_class = best-effort: its rate / alone | priority.even_rate |
10. The same: its share of the CPU time it and the tool got | priority.even_share |
""".splitlines()]


def show(value, unit):
    if unit == "t":
        return f"{value / 1e3:.1f} µs" if value < 1e6 else f"{value / 1e6:.2f} ms"
    return f"{value:.0f} KiB" if unit == "k" else f"{value:.0f}"


def holds(value, target):
    sign, limit = target.split()[:2]
    limit = float(limit)
    ok = {"≤": value <= limit, "≥": value >= limit, ">": value > limit}[sign]
    return "yes" if ok else "**no**"


values = {}
for line in sys.stdin:
    key, value = line.split()
    values.setdefault(key, []).append(float(value))
median = {key: statistics.median(v) for key, v in values.items()}

print(f"| Figure | Median of {sys.argv[1]} rounds | Min – max | Ratio | Target | Holds |")
print("|---|---|---|---|---|---|")
for figure, key, unit, divisor, target in ROWS:
    if key not in values:
        print(f"| {figure} | not measured |||||")
        continue
    row = f"| {figure} | {show(median[key], unit)} | {show(min(values[key]), unit)} – " \
          f"{show(max(values[key]), unit)} |"
    checked = median[key]
    if divisor in median:
        # Each round runs a figure beside its divisor, so that a spell of load hits both: the
        # ratio of each round cancels it, where a ratio of the medians would mix spells.
        checked = statistics.median(a / b for a, b in zip(values[key], values[divisor]))
        row += f" {checked:.2f} × {divisor} |"
    else:
        row += " |"
    print(f"{row} {target} | {holds(checked, target) if target else ''} |")
spreads = {k: (max(v) - min(v)) / median[k] for k, v in values.items() if median[k] > 0 and not k.startswith("priority")}
widest = max(spreads, key=spreads.get)
print(f"\nSpread of the rounds, (max − min) / median: {100 * statistics.median(spreads.values()):.0f} %"
      f" for the median figure, {100 * spreads[widest]:.0f} % at most ({widest}).\n")
print(f"| Figure | Median of {sys.argv[1]} rounds | Min – max | Target | Holds |")
print("|---|---|---|---|---|")
for figure, key, target in PRIORITY:
    v = values.get(key, [0])
    m = statistics.median(v)
    print(f"| {figure} | {m:.0f} % | {min(v):.0f} % – {max(v):.0f} % | {target + ' %' if target else ''} "
          f"| {holds(m, target) if target else ''} |")
