#!/bin/bash
# Watching the job that runs: status names its start, its tool and the tool's last line; log
# --follow prints the lines the tools write as they come and ends with the job's outcome, also
# across a restart that cuts the log; log --tail prints a record's last lines.
source "$(dirname "$0")/../lib.sh"

# The analysis tool prints a line, waits for /hdd/more, prints another and waits for /hdd/go;
# it fails for names with "fails".
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "plim: first of $(basename "$2" .rec)"
touch /hdd/running
while [ ! -e /hdd/more ]; do sleep 0.02; done
printf 'plim: 50%%\rplim: after more\n'
while [ ! -e /hdd/go ]; do sleep 0.02; done
case $2 in *fails*) exit 3 ;; esac
TOOL
chmod 755 /hdd/plim/bin64/plim

record() {
  printf '>>>>>>>> plim start %s\n*************** plim ***************\n' "$1"
  printf 'plim: first of %s\nplim: 50%%\rplim: after more\n' "$1"
  printf '*************** plim_mark ***************\nplim_mark: stdout %s\n>>>>>>>> plim stop %s\n' "$1" "$1"
}

# run_held NAME: queues NAME and waits until its tool has printed its first line.
run_held() {
  rm -f /hdd/running /hdd/more /hdd/go
  "$PLIMCTL" add "$1" 2>/dev/null
  wait_for "the tool of $1" test -e /hdd/running
}

# follow OUT ARGS...: plimctl log --follow in the background as $FOLLOWER, once it has printed
# the record so far.
follow() {
  local out=$1
  shift
  "$PLIMCTL" log "$@" >"$out" 2>"$out.err" &
  FOLLOWER=$!
  wait_for "log $* to print the record so far" grep -q "plim: first" "$out"
}

# follower_ended STATUS: the follower ends with STATUS.
follower_ended() {
  local rc=0
  wait "$FOLLOWER" || rc=$?
  [ "$rc" -eq "$1" ] || fail "log --follow returned $rc, not $1"
}

start_service
say "status: the running job's start, tool and last line; JSON too"
run_held "Slow One"
started=$(date -u -d "@$(stat -c %Y "$ACTIVE")" +%Y-%m-%dT%H:%M:%SZ)
for line in "in progress: Slow One" "tool: plim" "last line: plim: first of Slow One"; do
  status_has "$line"
done
"$PLIMCTL" status | grep -qE "^started: $started \([0-9]+ s ago\)$" || fail "no start $started"
status_json_has "\"job\":{\"name\":\"Slow One\",\"start\":\"$started\",\"elapsed\":"
status_json_has '"tool":"plim","last_line":"plim: first of Slow One"}'

say "log --follow prints the lines written after it started and exits 0 once the job is ok"
follow "$SCRATCH/follow" --follow "Slow One"
touch /hdd/more
wait_for "the followed line" grep -q "after more" "$SCRATCH/follow"
alive "$FOLLOWER" || fail "log --follow ended while the job ran"
status_has "last line: plim: after more"
touch /hdd/go
follower_ended 0
expect_file "$SCRATCH/follow" <(record "Slow One")

say "a line written while log --follow starts to watch reaches it too"
# The first inotify_add_watch is held for 2 s: lines written meanwhile must be read by the read
# that follows, since no event will announce them.
watch_call=$(printf '#include <sys/syscall.h>\nSYS_inotify_add_watch\n' | cpp -P | tail -1)
in_watch_call() {
  local tracee
  tracee=$(cat "/proc/$FOLLOWER/task/$FOLLOWER/children" 2>/dev/null) &&
    [ "$(cut -d' ' -f1 "/proc/${tracee% }/syscall" 2>/dev/null)" = "$watch_call" ]
}
run_held "Late Line"
# LeakSanitizer cannot run under ptrace.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
  strace -qq -o /dev/null -e inject=inotify_add_watch:delay_enter=2000000:when=1 \
  "$PLIMCTL" log -f "Late Line" >"$SCRATCH/late" &
FOLLOWER=$!
wait_for "log -f to start watching" in_watch_call
touch /hdd/more
wait_for "the tool's second line" grep -q "after more" "$LOG"
wait_for "the line written meanwhile" grep -q "after more" "$SCRATCH/late"
touch /hdd/go
follower_ended 0
expect_file "$SCRATCH/late" <(record "Late Line")

say "log --tail 3, and --follow of a job that ended: its record and outcome"
"$PLIMCTL" log --tail 3 "Slow One" >"$SCRATCH/tail" || fail "log --tail 3"
expect_file "$SCRATCH/tail" <(record "Slow One" | tail -n 3)
"$PLIMCTL" log -f "Slow One" >"$SCRATCH/ended" || fail "log -f of an ok job that ended"
expect_file "$SCRATCH/ended" <(record "Slow One")

say "log -f --tail 2 of a failing tool: the last lines so far, the rest, and status 1"
run_held "Slow fails"
follow "$SCRATCH/fails" -f --tail 2 "Slow fails"
touch /hdd/more /hdd/go
follower_ended 1
grep -qF "failed  exit 3 / exit 0  Slow fails" "$SCRATCH/fails.err" || fail "$(cat "$SCRATCH/fails.err")"
expect_file "$SCRATCH/fails" <(record "Slow fails" | tail -n +2)

say "a job run again after a restart: its start is the rerun's, and --follow reads the cut log"
run_held "Cut Short"
follow "$SCRATCH/cut" --follow "Cut Short"
stop_service
touch -d '2001-02-03 04:05:06' "$ACTIVE"
rm -f /hdd/running
start_service
wait_for "the rerun's tool" test -e /hdd/running
"$PLIMCTL" status | grep -qE '^started: 20[2-9][0-9]-' || fail "the rerun's start: $("$PLIMCTL" status)"
touch /hdd/more /hdd/go
follower_ended 0
expect_file "$SCRATCH/cut" <(printf '>>>>>>>> plim start Cut Short\n*************** plim ***************\n'
  printf 'plim: first of Cut Short\n'
  record "Cut Short")

pass
