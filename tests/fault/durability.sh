#!/bin/bash
# The order of a rewrite, traced in every process of the service from its start: the temporary
# file is written, flushed and only then renamed over the job list file, and the folder is
# flushed before the next rewrite begins; no job list file is ever opened to be cut.
source "$(dirname "$0")/../lib.sh"

printf 'one\ntwo\n' >"$QUEUE"
# LeakSanitizer cannot work under ptrace, and would say so when the launcher exits.
(cd /hdd && ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 exec strace -f -ff -qq \
  -yy -o "$TRACE" -e trace=openat,creat,write,fsync,fdatasync,rename,renameat,renameat2 \
  "$PLIMD" </dev/null >>/hdd/plimd.out 2>>/hdd/plimd.err) &
wait_for "the listener" udp_bound 25252
wait_idle 2
printf 'three\n' >>"$QUEUE"
send 25252 1
wait_idle 3

# Prints "RENAMES CUTS" for one process's trace, or the first call out of order.
check_order() {
  awk '
    function bad(why) { print "out of order: " why ": " $0; exit 1 }
    function target(s) { sub(/^[^<]*</, "", s); sub(/>.*$/, "", s); return s }
    /(queue|in_bearbeitung|fertig)\.txt", [^)]*O_TRUNC/ { cuts++ }
    /^(openat|creat)\(.*\.tmp"/ {
      if (pending != "") bad("a rewrite began before the folder was flushed")
      match($0, /"[^"]*\.tmp"/); tmp = substr($0, RSTART + 1, RLENGTH - 2); synced[tmp] = 0
    }
    /^write\([0-9]+<[^>]*\.tmp>/ { t = target($0); if (synced[t]) bad("written after its flush") }
    /^f(data)?sync\(/ { t = target($0); if (t == pending) pending = ""; else synced[t] = 1 }
    /^rename(at2?)?\(.*\.tmp"/ {
      match($0, /"[^"]*\.tmp"/); tmp = substr($0, RSTART + 1, RLENGTH - 2)
      if (!synced[tmp]) bad("renamed before its flush")
      renames++; synced[tmp] = 0
      pending = tmp; sub(/\/[^\/]*$/, "", pending)  # the folder that must be flushed next
    }
    END {
      if (pending != "") bad("no flush of the folder after the last rename")
      print renames + 0, cuts + 0
    }
  ' "$1"
}

renames=0 cuts=0
for trace in "$TRACE".*; do
  result=$(check_order "$trace") || fail "$result"
  renames=$((renames + ${result% *})) cuts=$((cuts + ${result#* }))
done
[ "$cuts" -eq 0 ] || fail "$cuts opens of a job list file with O_TRUNC"
for f in "$QUEUE" "$ACTIVE" "$DONE"; do
  grep -qh "rename(\"$f.tmp\", \"$f\")" "$TRACE".* || fail "$f was never replaced by a rename"
done

# plimctl creates a missing queue file and flushes the folder before it trusts the file's name.
rm "$QUEUE"
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -qq -yy -o /hdd/ctl.trace \
  -e trace=openat,fsync,fdatasync "$(dirname "$PLIMD")/plimctl" add created >/dev/null 2>&1 || fail "plimctl add failed"
awk -v q="$QUEUE" -v dir="$FILES" '
  index($0, "\"" q "\"") && /O_CREAT/ && / = [0-9]/ { created = 1 }
  created && /^f(data)?sync\(/ && index($0, "<" dir ">") { flushed = 1 }
  END { exit !flushed }' /hdd/ctl.trace || fail "a new queue file without a flush: $(cat /hdd/ctl.trace)"

figure 2 "$renames rewrites of the job list files traced in drains of 3 names, every process; \
plimctl add creating the queue file" "0 out of order, 0 opens with O_TRUNC, 0 new queue files \
without a flush of the folder"
pass
