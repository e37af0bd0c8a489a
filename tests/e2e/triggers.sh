#!/bin/bash
# Trigger datagrams. While a directory occupies the queue's temporary path, every drain fails to
# rewrite the queue and prints one error line, which makes the drains countable.
source "$(dirname "$0")/lib.sh"

errors() { grep -cx 'Error: /hdd/plim/files/queue.txt' /hdd/plimd.out; }
errors_reach() { [ "$(errors)" -ge "$1" ]; }
block_queue() { mkdir -p "$QUEUE.tmp/keep"; }

say "only a first byte \"1\" drains: \"0\", \"x\" and an empty datagram do not, \"123\" once"
block_queue
printf 'stuck\n' >"$QUEUE"
start_service
wait_for "the start-up drain" errors_reach 1
send 25252 0 x '' 123 1
wait_for "two more drains" errors_reach 3
sleep 0.3 # nothing else may follow the last datagram's drain
[ "$(errors)" -eq 3 ] || fail "expected 3 drains, counted $(errors)"
expect_file "$QUEUE" <(printf 'stuck\n')

say "a killed listener is replaced within a second, and datagrams drain again"
read -r listener _ </run/plimd.pid
kill -KILL "$listener"
replaced() { [ "$(cut -d' ' -f1 /run/plimd.pid)" != "$listener" ] && udp_bound 25252; }
wait_for "a new listener" replaced
plimd_count_is 2 || fail "expected two plimd processes, found: $(plimd_pids | xargs)"
send 25252 1
wait_for "a drain" errors_reach 4

say "ten datagrams during a long job give ten more drains after it"
rm -r "$QUEUE.tmp"
hold_job
block_queue
printf 'later\n' >>"$QUEUE"
send 25252 1 1 1 1 1 1 1 1 1 1
rm /hdd/hold
wait_for "the rest of that drain and ten more" errors_reach 15
sleep 0.3 # and not one more
[ "$(errors)" -eq 15 ] || fail "expected 15 drains, counted $(errors)"
rm -r "$QUEUE.tmp"
send 25252 1
wait_idle 2
expect_file "$DONE" <(printf 'stuck\nlater\n')

say "with the port taken, the start-up drain still runs and datagrams do nothing"
stop_service
"$UDP_SEND" -l 25252 &
holder=$!
wait_for "the port holder" udp_bound 25252
printf 'early\n' >"$QUEUE"
start_service
wait_idle 3
wait_for "the listener to give up" plimd_count_is 1
grep -qx "plimd: cannot bind UDP port 25252: Address already in use" /hdd/plimd.err ||
  fail "the listener did not say why it gave up"
printf 'late\n' >>"$QUEUE"
send 25252 1
kill "$holder"
wait_for "the port to be free" eval '! udp_bound 25252'
send 25252 1
sleep 0.3 # no drain may follow, and no new listener
plimd_count_is 1 || fail "a listener that could not bind was started again"
expect_file "$QUEUE" <(printf 'late\n')
[ "$(marks)" -eq 3 ] || fail "a datagram drained the queue without a listener"
pass
