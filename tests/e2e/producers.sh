#!/bin/bash
# A lockless producer that holds the queue file open across the worker's rewrite writes its next
# line into the replaced file; that line must still be processed. (Many producers at once, locked
# and not, are the fault scenario tests/fault/producers.sh.)
source "$(dirname "$0")/lib.sh"

say "a line written into the queue file after the worker replaced it still gets processed"
start_service
wait_idle 0
exec 3>>"$QUEUE"
printf 'held-1\n' >&3
send 25252 1
wait_for "the worker to take held-1 and replace the queue file" \
  eval '[ "$(cat "$ACTIVE")" = held-1 ] && [ ! -s "$QUEUE" ]'
printf 'held-2\n' >&3
exec 3>&-
wait_idle 2
expect_file <(marked_names) <(printf 'held-1\nheld-2\n')
pass
