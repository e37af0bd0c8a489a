#!/bin/bash
# Hostile input: two names that hold every byte value but NUL and the line break, a 1 MiB queue
# line and binary configuration files. Paths, links, log lines and argv carry the names exactly,
# and nothing crashes or wedges the worker.
source "$(dirname "$0")/../e2e/lib.sh"

bytes() { printf '%b' "$(printf '\\0%03o' "$@")"; }
converted() { printf '%s' "$1" | tr '/.\\:*?<>|"' _; }
raw=("$(bytes {1..9} {11..127})" "$(bytes {128..255})")
fs=("$(converted "${raw[0]}")" "$(converted "${raw[1]}")")
huge=$(head -c 1048576 /dev/zero | tr '\0' M)

say "names of every byte 0x01-0xFF but the line break, a 1 MiB line, then an ordinary name"
printf 'plim 25252 1\n' >"$FILES/plim.conf"
printf '%s\n' "${raw[@]}" "$huge" after >"$QUEUE"
start_service
wait_idle 3
expect_file "$CALLS" <(
  for n in "${fs[@]}"; do job_calls "$n" "/hdd/movie/$n.ts.idx size=0"; done
  job_calls after "/hdd/movie/after.ts.idx size=0"
)
for n in "${fs[@]}"; do expect_file "/hdd/movie/$n.ts.idx" <(printf 'index\n'); done
# A 1 MiB name fits no path and no argument, so the job has nothing to link and no tool to run;
# it still logs a whole record and counts as done.
expect_file "$LOG" <(
  for n in "${fs[@]}"; do job_log "$n"; done
  printf '>>>>>>>> plim start %s\n*************** plim ***************\n' "$huge"
  printf 'plimd: cannot run /hdd/plim/bin64/plim: Argument list too long\n'
  printf '*************** plim_mark ***************\n>>>>>>>> plim stop %s\n' "$huge"
  job_log after
)
expect_file "$DONE" <(printf '%s\n' "${raw[@]}" "$huge" after)
work_dirs_gone

say "binary configuration files: the fixed one gives the defaults, a random one no crash"
stop_service
for _ in $(seq 256); do bytes {0..255}; done >"$FILES/plim.conf"
printf 'fixed\n' >"$QUEUE"
start_service
wait_idle 4
head -c 65536 /dev/urandom >"$FILES/plim.conf"
printf 'random\n' >"$QUEUE"
send 25252 1
wait_idle 5
plimd_count_is 2 || fail "a service process died"
expect_file <(tail -n 4 "$CALLS" | head -n 2) <(job_calls fixed)
echo "FIGURE 6 | 2 names of every byte 0x01-0xFF but the line break, a 1 MiB queue line," \
  "2 binary configuration files (fixed, random 64 KiB) | 0 crashes, 0 wrong paths, links," \
  "log lines or tool arguments"
pass
