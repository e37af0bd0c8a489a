#!/bin/bash
# One figure of bench/run.sh in namespaces of its own (mount, net, pid: their end takes the
# service with it), with scratch /hdd, /tmp/plim and /run, the stand-in tools and the service's
# configuration (index flag on, so that every step of a job runs). Prints "key value" lines,
# times in nanoseconds; the wall-clock figures are timed by hyperfine, so that only the work
# counts, not the namespaces or the files made for it.
# bench/ns.sh BINDIR FS FIGURE ARG: BINDIR holds plimd and bench/ (the stand-ins, plimd_probe);
# FS is tmpfs or a scratch folder on the machine's own file system to bind over both.
set -euo pipefail
if [ -z "${PLIMD_BENCH_INSIDE:-}" ]; then
  PLIMD_BENCH_INSIDE=1 exec unshare --mount --net --pid --fork --mount-proc --kill-child \
    bash "$0" "$@"
fi
bin=$(readlink -f "$1") fs=$2 figure=$3 arg=$4
probe=$bin/bench/plimd_probe
if [ "$fs" = tmpfs ]; then
  mount -t tmpfs bench-hdd /hdd && mount -t tmpfs bench-tmp /tmp/plim
else
  rm -rf "$fs" && mkdir -p "$fs/hdd" "$fs/tmp"
  mount --bind "$fs/hdd" /hdd && mount --bind "$fs/tmp" /tmp/plim
fi
mount -t tmpfs bench-run /run
ip link set lo up
mkdir -p /hdd/plim/files /hdd/plim/bin64 /hdd/movie /tmp/plim/tmp
echo 'plim 25252 1' >/hdd/plim/files/plim.conf
# The analysis tool writes its start time to /tmp/plim/stamp only where a figure reads it.
tool=bench_tool
case $figure in trigger | fork-floor | scale) tool=bench_stamp && mkfifo /tmp/plim/stamp ;; esac
cp "$bin/bench/$tool" /hdd/plim/bin64/plim
cp "$bin/bench/bench_tool" /hdd/plim/bin64/plim_mark

# timed KEY DIVISOR COMMAND: hyperfine's time of one run of COMMAND (through bash, whose own
# start it takes off), divided by DIVISOR.
timed() {
  hyperfine --shell bash --runs 1 --style none --export-json /tmp/plim/time.json "$3" >/dev/null
  jq -r ".results[0].times[0] * 1e9 / $2 | \"$1 \\(.)\"" /tmp/plim/time.json
}
names() { for ((i = 0; i < $1; i++)); do printf 'Recording %06d, Evening News Channel 1\n' "$i"; done; }
last=$(names "$arg" | tail -n 1)
# The listener, whose parent is the namespace's first process, and the worker, its child.
pids() { until l=$(pgrep -x -P 1 plimd) && w=$(pgrep -x -P "$l" plimd); do sleep 0.01; done; echo "$l $w"; }
# A job's steps as a shell script would run them, each through /bin/sh -c.
naive() {
  names "$1" | while read -r n; do
    for step in "rm -rf '/hdd/movie/$n.ts.idx'" "rm -rf '/tmp/plim/tmp/$n.rec'" \
      "mkdir -p '/tmp/plim/tmp/$n.rec'" "touch '/hdd/movie/$n.ts.idx'" \
      "ln -s '/hdd/movie/$n.ts.idx' '/tmp/plim/tmp/$n.rec/001.idx'" \
      "ln -s '/hdd/movie/$n.ts' '/tmp/plim/tmp/$n.rec/001.ts'" \
      "echo '>>>>>>>> plim start $n' >>/hdd/plim/files/plim.log" \
      "echo '*************** plim ***************' >>/hdd/plim/files/plim.log" \
      "/hdd/plim/bin64/plim - '/tmp/plim/tmp/$n.rec' >>/hdd/plim/files/plim.log 2>&1" \
      "echo '*************** plim_mark ***************' >>/hdd/plim/files/plim.log" \
      "/hdd/plim/bin64/plim_mark '$n' >>/hdd/plim/files/plim.log" \
      "echo '>>>>>>>> plim stop $n' >>/hdd/plim/files/plim.log" "rm -rf '/tmp/plim/tmp/$n.rec'"; do
      /bin/sh -c "$step"
    done
  done
}
# through QUEUE WAIT JOBS: both launches of every job as jobs of another queue, then its wait.
through() {
  names "$3" | while read -r n; do
    $1 /hdd/plim/bin64/plim - "/tmp/plim/tmp/$n.rec" && $1 /hdd/plim/bin64/plim_mark "$n"
  done >/dev/null
  $2
}
export -f names naive through
export TS_SOCKET=/tmp/plim/ts.socket NQDIR=/tmp/plim/nq
case $figure in service-jobs | idle) names "$arg" >/hdd/plim/files/queue.txt ;; esac

case $figure in
  service-jobs) timed jobs.service "$arg" "$bin/plimd && $probe wait-done '$last'" ;;
  floor-jobs) timed jobs.floor "$arg" "$probe floor $arg" ;;
  naive-jobs) timed jobs.naive "$arg" "naive $arg" ;;
  # With -n, task-spooler keeps no output file: it writes less per job than the service does.
  ts-jobs) timed jobs.ts "$arg" "through 'tsp -n' 'tsp -w' $arg" ;;
  nq-jobs) timed jobs.nq "$arg" "through 'nq -q' 'nq -w' $arg" ;;
  scale) # from the start to the analysis tool's start, with ARG lines of 40 characters queued
    seq -f '%040g' "$arg" >/hdd/plim/files/queue.txt
    exec 3<>/tmp/plim/stamp
    timed "scale.service.$arg" 1 "$bin/plimd && head -c 8 <&3 >/dev/null" ;;
  copy) # the same queue copied by cat to a new file on the same tmpfs
    seq -f '%040g' "$arg" >/tmp/plim/queue.txt
    timed "scale.copy.$arg" 1 "cat /tmp/plim/queue.txt >/tmp/plim/new.txt" ;;
  trigger) "$bin/plimd" && "$probe" trigger "$arg" $(pids) ;;
  fork-floor) "$probe" fork-floor "$arg" ;;
  idle) "$bin/plimd" && "$probe" idle "$last" $(pids) ;;
  long-line) # a queue line of ARG MB ahead of one name; the worker's peak memory
    { head -c "${arg}000000" /dev/zero | tr '\0' x && echo && echo "$last"; } >/hdd/plim/files/queue.txt
    "$bin/plimd" && "$probe" wait-done "$last"
    read -r _ worker < <(pids)
    awk '/^VmHWM:/ { print "longline.worker_peak_kib", $2 }' "/proc/$worker/status" ;;
  drain-calls) # the listener's calls after the receipt of a "1" that finds nothing, to its poll
    : >/hdd/plim/files/queue.txt && "$bin/plimd"
    read -r listener _ < <(pids)
    strace -qq -o /tmp/plim/trace -p "$listener" &
    # "0"s until one shows in the trace: then the trace is under way when the "1" comes.
    until grep -q recvfrom /tmp/plim/trace 2>/dev/null; do printf 0 >/dev/udp/127.0.0.1/25252; sleep 0.01; done
    sleep 0.05 && printf 1 >/dev/udp/127.0.0.1/25252
    until awk '/^recvfrom\(.*"1"/ { n = 0; on = 1; next } on && /^poll\(/ { print "idle.drain_syscalls", n; f = 1; exit }
      on { n++ } END { exit !f }' /tmp/plim/trace; do sleep 0.01; done ;;
  priority) bash "$(dirname "$0")/priority.sh" "$bin" "$arg" ;;
esac
