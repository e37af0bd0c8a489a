#!/bin/bash
# Figure 10 of BENCHMARKS.md: what a CPU-bound analysis tool, started by the service, leaves of
# one CPU to a process at nice 0 beside it, as a recording would be; with the default settings
# and with tool_nice = 0. Each round, all pinned to one CPU, counts the nice-0 process's rate
# alone and beside the tool of a job under each setting; the ratios are those of one round.
# Other load on that CPU takes its part of both rates, so the nice-0 process's share of the CPU
# time that it and the tool got together is reported too: on a quiet CPU the two agree.
# bench/priority.sh BINDIR [ROUNDS]: as root, in namespaces of its own with scratch /hdd,
# /tmp/plim, /run and a private /etc/plimd.conf; prints the figure as a Markdown table.
set -euo pipefail
bindir=$(readlink -f "$1")
rounds=${2:-5}
seconds=3
if [ -z "${PLIMD_BENCH_INSIDE:-}" ]; then
  PLIMD_BENCH_INSIDE=1 exec unshare --mount --net --pid --fork --mount-proc --kill-child \
    bash "$0" "$bindir" "$rounds"
fi

mount -t tmpfs bench-hdd /hdd && mount -t tmpfs bench-tmp /tmp/plim && mount -t tmpfs bench-run /run
ip link set lo up
mkdir -p /hdd/etc/upper /hdd/etc/work /hdd/plim/files /hdd/plim/bin64 /hdd/movie /tmp/plim/tmp
mount -t overlay overlay -o lowerdir=/etc,upperdir=/hdd/etc/upper,workdir=/hdd/etc/work /etc
echo 'plim 25252 1' >/hdd/plim/files/plim.conf
printf '#!/bin/sh\necho $$ >/hdd/tool.new && mv /hdd/tool.new /hdd/tool.pid\nexec %s\n' \
  "$bindir/bench/bench_spin" >/hdd/plim/bin64/plim
cp "$bindir/bench/bench_tool" /hdd/plim/bin64/plim_mark
chmod 755 /hdd/plim/bin64/plim

cpu=$(($(nproc) - 1))
taskset -c "$cpu" "$bindir/plimd" </dev/null >/hdd/plimd.out 2>&1
until awk '$2 ~ /:62A4$/ { f = 1 } END { exit !f }' /proc/net/udp; do sleep 0.05; done

rate() { taskset -c "$cpu" "$bindir/bench/bench_spin" "$seconds"; }
idle() { [ ! -s /hdd/plim/files/queue.txt ] && [ ! -s /hdd/plim/files/in_bearbeitung.txt ]; }
# beside SETTINGS: the rate while a job's analysis tool spins under those settings.
jobs=0
beside() {
  printf '%b' "$1" >/etc/plimd.conf
  rm -f /hdd/tool.pid
  jobs=$((jobs + 1))
  echo "job $jobs" >>/hdd/plim/files/queue.txt
  printf 1 >/dev/udp/127.0.0.1/25252
  until [ -s /hdd/tool.pid ]; do sleep 0.05; done
  sleep 0.5 # the tool in full swing
  local tool before measured after
  tool=$(cat /hdd/tool.pid)
  read -r before _ <"/proc/$tool/schedstat"
  measured=$(rate)
  read -r after _ <"/proc/$tool/schedstat"
  echo "$measured $((after - before))"
  kill "$tool"
  until idle; do sleep 0.05; done
}

ratios=$(mktemp)
for _ in $(seq "$rounds"); do
  alone=$(rate)
  low=$(beside '')
  even=$(beside 'tool_nice = 0\ntool_io_class = best-effort\n')
  # Columns: rate alone (and its CPU time), then rate, CPU time and the tool's CPU time beside
  # the tool at the defaults, and the same at tool_nice = 0.
  echo "$alone $low $even" >>"$ratios"
  echo "round: $alone $low $even" >&2
done

echo "| Figure | Median of $rounds rounds | Min – max | Target | Holds |"
echo "|---|---|---|---|---|"
# row NAME AWK_EXPRESSION TARGET: the median, min and max over the rounds, as a table row.
row() {
  awk "{ print 100 * ($2) }" "$ratios" | sort -n | awk -v name="$1" -v target="$3" '
    { r[NR] = $1 }
    END {
      m = NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2
      holds = target == "" ? "" : (m >= target ? "yes" : "no")
      printf "| %s | %.0f %% | %.0f %% – %.0f %% | %s | %s |\n", name, m, r[1], r[NR],
        target == "" ? "" : "≥ " target " %", holds
    }'
}
row "10. Nice-0 process beside a CPU-bound tool, default settings: its rate / alone" '$3 / $1' 90
row "10. The same: its share of the CPU time it and the tool got" '$4 / ($4 + $5)' 90
row "10. With tool_nice = 0, tool_io_class = best-effort: its rate / alone" '$6 / $1' ""
row "10. The same: its share of the CPU time it and the tool got" '$7 / ($7 + $8)' ""
