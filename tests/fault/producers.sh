#!/bin/bash
# Thirty producers append at once while the worker drains with fast tools: twenty with a plain
# "echo >>", ten under the folder lock, and one whose write comes 300 ms after its open, so that
# it lands in a queue file that the worker has replaced meanwhile. Every line produced is
# processed, once and whole, or still queued.
# shellcheck disable=SC2016 # the producers' commands are meant literally
source "$(dirname "$0")/../lib.sh"

lines=10 held=4
[ -n "${PLIMD_FAULT_FULL:-}" ] && lines=100 held=20
printf '#!/bin/sh\n' >/hdd/plim/bin64/plim
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >>/hdd/marked\n' >/hdd/plim/bin64/plim_mark
: >/hdd/marked

plain() { for i in $(seq "$lines"); do echo "plain$1-$i" >>"$QUEUE"; done; }
locked() {
  for i in $(seq "$lines"); do
    flock "$FILES" sh -c 'echo "$1" >>"$2"' sh "locked$1-$i" "$QUEUE"
  done
}
held_back() {
  for i in $(seq "$held"); do
    strace -f -o /dev/null -e trace=write -e inject=write:delay_enter=300000 \
      sh -c 'echo "$1" >>"$2"' sh "held-$i" "$QUEUE" || fail "strace could not run a producer"
  done
}
triggers() { while [ -e /hdd/producing ]; do "$UDP_SEND" 25252 1; sleep 0.01; done; }

say "20 plain and 10 locked producers of $lines lines each, and $held writes held back 300 ms"
start_service
touch /hdd/producing
triggers &
pids=()
for p in $(seq 20); do plain "$p" & pids+=($!); done
for p in $(seq 10); do locked "$p" & pids+=($!); done
held_back & pids+=($!)
wait "${pids[@]}"
rm /hdd/producing
# Every producer has finished, so once this last line is done, so is everything before it.
flock "$FILES" sh -c 'echo end >>"$1"' sh "$QUEUE"
send 25252 1
{ for p in $(seq 20); do seq -f "plain$p-%g" "$lines"; done
  for p in $(seq 10); do seq -f "locked$p-%g" "$lines"; done
  seq -f "held-%g" "$held"; } | sort >"$SCRATCH/produced"
produced=$(wc -l <"$SCRATCH/produced")
all_done() { grep -qx end /hdd/marked && [ ! -s "$QUEUE" ] && [ ! -s "$ACTIVE" ]; }
WAIT_SECONDS=$((produced / 5 + 30)) wait_for "the last line" all_done
grep -vx end /hdd/marked | sort >"$SCRATCH/processed"
lost=$(comm -23 "$SCRATCH/produced" <(sort -u "$SCRATCH/processed") | wc -l)
duplicated=$(uniq -d "$SCRATCH/processed" | wc -l)
malformed=$(comm -13 "$SCRATCH/produced" <(sort -u "$SCRATCH/processed") | wc -l)
echo "FIGURE 4 | 31 producers (20 plain, 10 locked, 1 held back 300 ms $held times), $produced" \
  "lines | $lost lost, $duplicated duplicated, $malformed malformed"
[ "$((lost + duplicated + malformed))" -eq 0 ] || fail "lines lost, duplicated or malformed"
pass
