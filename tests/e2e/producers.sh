#!/bin/bash
# Producers append to the queue while the worker rewrites it: some under the folder lock, some
# without any lock, one holding the file open across a rewrite. No line may be lost, doubled
# or torn.
source "$(dirname "$0")/lib.sh"

locked_producer() {
  local i
  for i in $(seq -w 1 50); do
    flock "$FILES" sh -c 'printf "%s\n" "$1" >>"$2"' sh "$1-$i" "$QUEUE"
    "$UDP_SEND" 25252 1
  done
}
plain_producer() {
  local i
  for i in $(seq -w 1 50); do
    printf '%s\n' "$1-$i" >>"$QUEUE"
    "$UDP_SEND" 25252 1
  done
}

say "two locked and two lockless producers, 200 names: each processed once, in its order"
start_service
wait_idle 0
pids=()
for p in L1 L2; do locked_producer $p & pids+=($!); done
for p in P1 P2; do plain_producer $p & pids+=($!); done
wait "${pids[@]}"
send 25252 1
WAIT_SECONDS=30 wait_idle 200
# A stable sort by producer keeps each producer's names in the order they were processed.
marked_names | sort -s -t- -k1,1 >"$SCRATCH/marked"
expect_file "$SCRATCH/marked" <(for p in L1 L2 P1 P2; do seq -f "$p-%02g" 1 50; done)
[ "$(grep -c '^plim 3 ' "$CALLS")" -eq 200 ] || fail "the analysis tool did not run 200 times"

say "a line written into the queue file after the worker replaced it still gets processed"
exec 3>>"$QUEUE"
printf 'held-1\n' >&3
send 25252 1
wait_for "the worker to take held-1 and replace the queue file" \
  eval '[ "$(cat "$ACTIVE")" = held-1 ] && [ ! -s "$QUEUE" ]'
printf 'held-2\n' >&3
exec 3>&-
wait_idle 202
marked_names | tail -n 2 >"$SCRATCH/marked"
expect_file "$SCRATCH/marked" <(printf 'held-1\nheld-2\n')
pass
