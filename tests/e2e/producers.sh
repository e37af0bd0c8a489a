#!/bin/bash
# Producers that misbehave: an endless queue line, a writer that keeps every queue file open, and
# an append without the lock that meets a rewrite. None of them may stop or stall the jobs.
source "$(dirname "$0")/../lib.sh"

# A sanitizer's shadow memory needs far more address space than any cap worth testing.
if grep -qa __asan_init "$PLIMD"; then CAP=unlimited; else CAP=400000; fi

say "a 100 MB queue line: set aside with a record by a service capped at $CAP KiB; the next name runs"
head -c 100000000 /dev/zero | tr '\0' x >"$SCRATCH/long"
{ cat "$SCRATCH/long" && printf '\nafter\n'; } >"$QUEUE"
rm "$SCRATCH/long"
rc=0
(ulimit -v "$CAP" && exec "$PLIMCTL" status >"$SCRATCH/status") || rc=$?
[ "$rc" -eq 3 ] || fail "plimctl status under the cap exited $rc, not 3 (not running)"
grep -qx "  after" "$SCRATCH/status" || fail "status did not list the name behind the long line"
(ulimit -v "$CAP" && start_service) || exit 1
wait_idle 1
expect_file "$DONE" <(printf 'after\n')
grep -qxF "plimd: a queue line of 100000000 bytes is longer than 4096; set aside" /hdd/plimd.err ||
  fail "no message for the line set aside"
x256=$(printf 'x%.0s' {1..256})
history_of "$x256" | grep -qE '"error":"a queue line of 100000000 bytes is longer than 4096; set aside",("run":"[0-9a-f-]+",)?"outcome":"failed"' ||
  fail "no record for the line set aside: $(history_of "$x256" | head -c 600)"

say "a line of 4097 bytes behind a name: set aside when it reaches the head; status's last line says why"
{ printf 'before\n' && printf 'y%.0s' {1..4097} && printf '\n'; } >>"$QUEUE"
send 25252 1
wait_for "the record of the long line" grep -qF '"error":"a queue line of 4097' "$FILES/history"
wait_idle 2
y256=$(printf 'y%.0s' {1..256})
"$PLIMCTL" status | grep -qxF \
  "last: $(history_of "$y256" | grep -o '"start":"[^"]*"' | cut -d'"' -f4)  0.000 s  failed  not run / not run  $y256  (a queue line of 4097 bytes is longer than 4096; set aside)" ||
  fail "status's last line: $("$PLIMCTL" status | grep '^last:')"

say "a writer that holds every new queue file open delays the jobs once; what it writes later runs"
# Opens each queue file it sees for writing and keeps it; once asked, writes a name into the
# first, by then a replaced file.
hold_every_queue() {
  local inode seen='' first=''
  until [ -e "$SCRATCH/stop" ]; do
    inode=$(stat -c %i "$QUEUE" 2>/dev/null)
    if [ -n "$inode" ] && [ "$inode" != "$seen" ]; then
      exec {fd}>>"$QUEUE"
      seen=$inode first=${first:-$fd}
    fi
    if [ -e "$SCRATCH/write" ]; then printf 'straggler\n' >&"$first" && rm "$SCRATCH/write"; fi
    sleep 0.01
  done
}
hold_every_queue &
holder=$!
holds_queue() { stat -L -c %i "/proc/$holder/fd/"* 2>/dev/null | grep -qx "$(stat -c %i "$QUEUE")"; }
wait_for "the writer to hold the queue" holds_queue
printf '%s\n' w1 w2 w3 w4 >>"$QUEUE"
send 25252 1
wait_idle 6
alive "$holder" || fail "the writer ended early"
touch "$SCRATCH/write"
wait_for "the late name written" eval '[ ! -e "$SCRATCH/write" ]'
send 25252 1
wait_idle 7
[ "$(marks_of straggler)" -eq 1 ] || fail "the name written into a replaced file did not run once"
touch "$SCRATCH/stop"
wait "$holder"

say "an unlocked append into the replaced queue while a drain takes no job runs without another trigger"
wait_for "the previous drains to end" quiet
printf '<ERROR>\n' >>"$QUEUE"
# The producer opened the queue before the drain replaced it; the rename's return is held up 2 s.
exec 9>>"$QUEUE"
old=$(stat -c %i "$QUEUE")
attach -e trace=rename,renameat,renameat2 -e inject=rename,renameat,renameat2:delay_exit=2000000:when=1
send 25252 1
wait_for "the queue to be replaced" eval '[ "$(stat -c %i "$QUEUE")" != "$old" ]'
printf 'racer\n' >&9
exec 9>&-
send 25252 1
wait_idle 8
detach
[ "$(marks_of racer)" -eq 1 ] || fail "racer did not run once"

pass
