#!/bin/bash
# Figure 10, run by bench/ns.sh after its set-up: what a CPU-bound analysis tool, started by the
# service, leaves of one CPU to a process at nice 0 beside it, as a recording would be; with the
# default settings and with tool_nice = 0. Each round, all pinned to one CPU, counts the nice-0
# process's rate alone and beside the tool of a job under each setting; the ratios are those of
# one round. Other load on that CPU takes its part of both rates, so the nice-0 process's share
# of the CPU time that it and the tool got together is given too: on a quiet CPU the two agree.
# bench/priority.sh BINDIR ROUNDS: prints "key percent" lines, one set per round.
set -euo pipefail
bindir=$1 rounds=$2 seconds=3
# /etc/plimd.conf is changed between the settings: a private /etc for it.
mkdir -p /hdd/etc/upper /hdd/etc/work
mount -t overlay overlay -o lowerdir=/etc,upperdir=/hdd/etc/upper,workdir=/hdd/etc/work /etc
printf '#!/bin/sh\necho $$ >/hdd/tool.new && mv /hdd/tool.new /hdd/tool.pid\nexec %s\n' \
  "$bindir/bench/bench_spin" >/hdd/plim/bin64/plim
chmod 755 /hdd/plim/bin64/plim

cpu=$(($(nproc) - 1))
taskset -c "$cpu" "$bindir/plimd" </dev/null >/hdd/plimd.out 2>&1
until awk '$2 ~ /:62A4$/ { f = 1 } END { exit !f }' /proc/net/udp; do sleep 0.05; done

idle() { [ ! -s /hdd/plim/files/queue.txt ] && [ ! -s /hdd/plim/files/in_bearbeitung.txt ]; }
rate() { taskset -c "$cpu" "$bindir/bench/bench_spin" "$seconds"; }
# beside SETTINGS: the rate and CPU time of the nice-0 loop, then the tool's CPU time, while a
# job's analysis tool spins under those settings.
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

for _ in $(seq "$rounds"); do
  read -r alone _ < <(rate)
  read -r low low_cpu low_tool < <(beside '')
  read -r even even_cpu even_tool < <(beside 'tool_nice = 0\ntool_io_class = best-effort\n')
  echo "priority.low_rate $((100 * low / alone))"
  echo "priority.low_share $((100 * low_cpu / (low_cpu + low_tool)))"
  echo "priority.even_rate $((100 * even / alone))"
  echo "priority.even_share $((100 * even_cpu / (even_cpu + even_tool)))"
done
