#!/bin/bash
# The operators' commands of the real plimctl against a running service: remove and log while a
# job holds (a producer's appends racing a remove are the unit and producers tests'), and the bash
# completion.
source "$(dirname "$0")/../lib.sh"
COMPLETION=$(cd "$(dirname "$0")/../../packaging" && pwd)/plimctl.bash-completion

start_service
hold_job "Held: Job"
expect_file "$ACTIVE" <(printf 'Held: Job\n')
cp "$ACTIVE" "$SCRATCH/active"

say "remove: every entry of each name, other lines byte for byte, never the job in progress"
# queue before | arguments | exit status | queue after | a line of stderr
while IFS='|' read -r before args status after message; do
  printf %b "$before" >"$QUEUE"
  eval "set -- $args"
  rc=0
  "$PLIMCTL" remove "$@" 2>"$SCRATCH/err" || rc=$?
  [ "$rc" -eq "$status" ] || fail "remove $args: status $rc, not $status"
  expect_file "$QUEUE" <(printf %b "$after")
  expect_file "$ACTIVE" "$SCRATCH/active"
  if [ -n "$message" ]; then
    grep -qxF "$message" "$SCRATCH/err" || fail "remove $args: $(cat "$SCRATCH/err")"
  else
    expect_file "$SCRATCH/err" /dev/null
  fi
done <<'EOF'
a\nb c\na\n<ERROR>\nd\na|a 'b c'|0|<ERROR>\nd\n|
a\nb\n|b gone|1|a\n|plimctl: remove: "gone" is not queued
x\n|'Held: Job'|1|x\n|plimctl: remove: "Held: Job" is not queued; it is the job in progress, which runs to its end
x\n||2|x\n|plimctl: remove: no NAME given
EOF

say "log: the latest record so far of the job in progress, then the whole one"
# Only the held analysis tool's start line is in the log yet.
"$PLIMCTL" log "Held: Job" >"$SCRATCH/out" || fail "log of the running job"
expect_file "$SCRATCH/out" <(printf '>>>>>>>> plim start Held_ Job\n*************** plim ***************\n')
: >"$QUEUE"
rm /hdd/hold
wait_idle 1
printf 'Other\n' >>"$QUEUE"
send 25252 1
wait_idle 2
# name | exit status | expected output
while IFS='|' read -r name status expected; do
  rc=0
  "$PLIMCTL" log "$name" >"$SCRATCH/out" 2>"$SCRATCH/err" || rc=$?
  [ "$rc" -eq "$status" ] || fail "log $name: status $rc, not $status"
  expect_file "$SCRATCH/out" <(eval "$expected")
  [ "$rc" -eq 0 ] || grep -qF "holds no record of \"$name\"" "$SCRATCH/err" || fail "log $name"
done <<'EOF'
Held: Job|0|job_log 'Held_ Job'
Other|0|job_log Other
Held|1|true
EOF

say "bash completion: commands, options, and the names queued, in progress, done or recorded"
printf 'Some Title\nSome Other\n<ERROR>\nx\nSome Title\n' >"$QUEUE"
printf 'Running\n' >"$ACTIVE"
printf 'News 20:15 / Part 2.\n' >"$DONE"
# A name with a quote and a backslash, one with a control character, one already listed.
for name in 'Old \"Q\" \\ x' 'Tab\there' 'x'; do
  printf '{"name":"%s","start":"2026-12-07T02:10:00Z","seconds":1,"rerun":false,"analysis":{"end":"exit","value":0},"mark":{"end":"exit","value":0},"outcome":"ok"}\n' "$name"
done >"$FILES/history"
complete_line() {
  bash -c 'source "$1"; COMP_LINE=$2; COMP_POINT=${#2}; _plimctl; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$COMPLETION" "$1"
}
# command line | candidates, one per "/"
while IFS='|' read -r line expected; do
  complete_line "$line" | paste -sd/ >"$SCRATCH/out"
  expect_file "$SCRATCH/out" <(printf '%s\n' "$expected")
done <<'EOF'
plimctl re|remove/resume
plimctl status --|--json
plimctl wait -|--timeout
plimctl remove Some\ |Some\ Title/Some\ Other
plimctl remove x 'Some T|Some Title
plimctl remove R|
plimctl log News\ 20:1|15\ /\ Part\ 2.
plimctl history |Some\ Title/Some\ Other/x/Running/News\ 20:15\ /\ Part\ 2./Old\ \"Q\"\ \\\ x
plimctl wait Ol|Old\ \"Q\"\ \\\ x
plimctl log 'Old|Old "Q" \ x
plimctl remove Ol|
plimctl wait --timeout |
EOF
pass
