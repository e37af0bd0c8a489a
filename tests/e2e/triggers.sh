#!/bin/bash
# Trigger datagrams. While a directory occupies the queue's temporary path, every drain fails to
# rewrite the queue and prints one error line, which makes the drains countable.
source "$(dirname "$0")/../lib.sh"

errors() { grep -cx 'Error: /hdd/plim/files/queue.txt' /hdd/plimd.out; }

say "only a first byte \"1\" drains: \"0\", \"x\" and an empty datagram do not, \"123\" once"
mkdir -p "$QUEUE.tmp/keep"
printf 'stuck\n' >"$QUEUE"
start_service
wait_for "the start-up drain" eval '[ "$(errors)" -eq 1 ]'
# The empty datagram follows a "1": it must not be read as the byte before it.
send 25252 0 x 123 '' 1
wait_for "the datagrams to be drained" quiet
[ "$(errors)" -eq 3 ] || fail "expected 3 drains, counted $(errors)"
expect_file "$QUEUE" <(printf 'stuck\n')

say "ten datagrams during a long job give ten more drains after it"
rm -r "$QUEUE.tmp"
hold_job
mkdir -p "$QUEUE.tmp/keep"
printf 'later\n' >>"$QUEUE"
send 25252 1 1 1 1 1 1 1 1 1 1
rm /hdd/hold
# Until the job is over, the worker also waits in a pipe read while each tool starts.
wait_for "the held job to end" job_done stuck
wait_for "the rest of that drain and ten more" quiet
[ "$(errors)" -eq 14 ] || fail "expected 14 drains, counted $(errors)"
rm -r "$QUEUE.tmp"
run_jobs 2

say "a datagram that finds nothing to do: two stat calls in the listener, the worker not woken"
# The traced process's calls after the call matching $1, up to the next one matching $2.
calls_between() { awk -v from="$1" -v to="$2" '$0 ~ from { on = 1; next } $0 ~ to { on = 0 } on' "$TRACE"; }
runs() { awk '{ print $3 }' "/proc/$1/schedstat"; }      # times put on a CPU
writes() { awk '/^syscw:/ { print $2 }' "/proc/$1/io"; } # write calls
attach --listener
worker_runs=$(runs "$WORKER")
send 25252 1
received='^recvfrom[(].*"1", 1,'
wait_for "the listener back in poll" eval "grep -EA9 '$received' $TRACE | grep -q '^poll('"
detach
[ "$(runs "$WORKER")" = "$worker_runs" ] || fail "a datagram that found nothing woke the worker"
empty_calls=$(calls_between "$received" '^poll[(]')
calls=$(grep -c . <<<"$empty_calls")
[ "$calls" -le 2 ] && ! grep -vE '^(newfstatat|fstatat64|stat64|stat|statx)\(' <<<"$empty_calls" | grep -q . ||
  fail "the listener made other calls than two stats: $empty_calls"

say "a datagram passed on during a job finds nothing after it: two stats in the worker's drain"
hold_job during
attach
listener_writes=$(writes "$LISTENER")
send 25252 1
# Passed on only while the job is still in progress.
wait_for "the datagram passed on" eval '[ "$(writes "$LISTENER")" -gt "$listener_writes" ]'
rm /hdd/hold
read_trigger='^read[(].*"1", [0-9]+[)] += 1$'
wait_for "the worker's drain for the datagram" eval \
  "grep -EA9 '$read_trigger' $TRACE | grep -q '^read('"
detach
drain_calls=$(calls_between "$read_trigger" '^read[(]')
[ "$(grep -c . <<<"$drain_calls")" = 2 ] &&
  grep -qF "newfstatat(AT_FDCWD, \"$QUEUE\"" <<<"$drain_calls" &&
  grep -qF "newfstatat(AT_FDCWD, \"$ACTIVE\"" <<<"$drain_calls" ||
  fail "the worker's drain for nothing made other calls than a stat of the queue and of the in-progress file: $drain_calls"
printf 'quiet\n' >>"$QUEUE" # queued without a trigger: the next trigger takes it
run_jobs 4
rm "$QUEUE"
send 25252 1
wait_for "the missing queue file to be made" test -f "$QUEUE"
expect_file "$DONE" <(printf 'stuck\nlater\nduring\nquiet\n')
figure 7 "datagrams that find nothing traced, a name queued without a trigger, a removed queue file" \
  "$calls system calls in the listener, all stat; 0 worker wake-ups; 2 stats in the drain of one passed on during a job; 0 locks, reads or names missed"

say "a held folder lock holds a drain up 3 s at most, named; a line its holder writes later is not lost"
# The producer: flock holds the lock for this shell, which appends a name, triggers, and keeps
# the queue open.
hold_folder_lock 60
exec 9>>"$QUEUE"
printf 'held\n' >&9
send 25252 1
wait_for "the message" grep -qF \
  "plimd: waited 3 s for the lock on $FILES, held by process $HOLDER (flock); going on without it" \
  /hdd/plimd.err
wait_for "the job held to run while the lock is held" eval '[ "$(marks_of held)" -eq 1 ]'
# Written into the queue file that the drain replaced, then triggered as producers do.
printf 'late\n' >&9
exec 9>&-
release_folder_lock
send 25252 1
wait_idle 6
[ "$(marks_of late)" -eq 1 ] || fail "the line written under the lock did not run once"
figure 4 "a producer that holds the folder lock while a name waits" \
  "a drain held up 3 s at most, the holder's PID and command on the worker's stderr; 0 lines lost"

pass
