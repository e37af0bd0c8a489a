#!/bin/bash
# A flood of datagrams while a job runs: empty ones, "0", "123", 64 KiB ones and plain "1"s. The
# listener blocks on the full pipe and the kernel drops the rest, as it should; the service must
# stay up, its memory must not grow, and every drain that runs must be a whole one.
# shellcheck disable=SC2016 # the producers' commands are meant literally
source "$(dirname "$0")/../lib.sh"

count=20000
[ -n "${PLIMD_FAULT_FULL:-}" ] && count=100000
big=1$(head -c 65506 /dev/zero | tr '\0' x)
# All the dirty memory of a process: a page it still shares with the other process since the
# fork moves from shared to private when either writes to it, without any new memory.
dirty() { awk '/^(Private|Shared)_Dirty:/ { kb += $2 } END { print kb }' "/proc/$1/smaps_rollup"; }
drops() { awk 'substr($2, 9) == ":62A4" { print $NF }' /proc/net/udp; }

say "$count datagrams during a slow job, names queued after it, each drain whole"
printf 'warm-up\n' >"$QUEUE"
# Pages of a freshly linked binary stay dirty in the page cache for a while, and the kernel counts
# each one the worker first touches as its private dirty memory; flushed, they count as clean.
sync "$PLIMD"
start_service
wait_idle 1
hold_job slow
listener=$(plimd_pids | grep -vx "$WORKER")
before="$(dirty "$listener") $(dirty "$WORKER")"
send -n "$count" 25252 '' 0 123 "$big" 1
# Names arrive while the worker works off the backlog, so that triggered drains have work.
for i in $(seq 20); do flock "$FILES" sh -c 'echo "$1" >>"$2"' sh "during-$i" "$QUEUE"; done &
producer=$!
rm /hdd/hold
wait "$producer"
WAIT_SECONDS=120 wait_for "the backlog of triggers to be drained" quiet
after="$(dirty "$listener") $(dirty "$WORKER")"
plimd_count_is 2 || fail "a service process died"
printf 'after-%s\n' 1 2 3 >>"$QUEUE"
send 25252 1
wait_idle 25
expect_file <(marked_names) <(printf '%s\n' warm-up slow during-{1..20} after-{1..3})
expect_file "$LOG" <(marked_names | while read -r n; do job_log "$n"; done)
read -r l0 w0 <<<"$before"
read -r l1 w1 <<<"$after"
echo "FIGURE 7 | $count datagrams (empty, \"0\", \"123\", 64 KiB, \"1\") during a job, $(drops)" \
  "dropped by the kernel | 0 processes lost, 0 partial drains, dirty memory" \
  "listener $l0 -> $l1 kB, worker $w0 -> $w1 kB"
# A few pages for stacks and caches touched later; any leak per datagram or drain is far more.
# AddressSanitizer's allocator holds on to memory by design, so under it only ASan's own leak
# and error reports count.
if grep -q libasan "/proc/$WORKER/maps"; then
  say "memory not compared: the service runs under AddressSanitizer"
elif [ "$l1" -gt $((l0 + 64)) ] || [ "$w1" -gt $((w0 + 64)) ]; then
  fail "the service's memory grew"
fi
pass
