#!/bin/bash
# Watching the job that runs: status names its start (the rerun's after a restart), its tool
# and the tool's last line; log --follow prints the lines the tools write as they come and ends
# with the job's outcome. How the record is cut, followed across pieces and a cut log, and
# printed is the unit tests'.
source "$(dirname "$0")/../lib.sh"

# The analysis tool prints a line, waits for /hdd/more, prints another and waits for /hdd/go.
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "plim: first of $(basename "$2" .rec)"
touch /hdd/running
while [ ! -e /hdd/more ]; do sleep 0.02; done
printf 'plim: 50%%\rplim: after more\n'
while [ ! -e /hdd/go ]; do sleep 0.02; done
TOOL
start_service

say "status: the running job's start, tool and last line (the JSON's fields are the unit tests')"
"$PLIMCTL" add "Slow One"
wait_for "the tool" test -e /hdd/running
started=$(date -u -d "@$(stat -c %Y "$ACTIVE")" +%Y-%m-%dT%H:%M:%SZ)
for line in "in progress: Slow One" "tool: plim" "last line: plim: first of Slow One"; do
  status_has "$line"
done
"$PLIMCTL" status | grep -qE "^started: $started \([0-9]+ s ago\)$" || fail "no start $started"
status_json_has "\"job\":{\"name\":\"Slow One\",\"start\":\"$started\",\"elapsed\":"

say "log --follow prints the lines written after it started, also while it starts to watch, and \
exits 0 once the job is ok"
# Its first inotify_add_watch is held for 2 s: lines written meanwhile must be read by the read
# that follows, since no event will announce them. LeakSanitizer cannot run under ptrace.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
  strace -qq -o /dev/null -e inject=inotify_add_watch:delay_enter=2000000:when=1 \
  "$PLIMCTL" log --follow "Slow One" >"$SCRATCH/follow" &
follower=$!
watch_call=$(printf '#include <sys/syscall.h>\nSYS_inotify_add_watch\n' | cpp -P | tail -1)
in_watch_call() {
  local tracee
  tracee=$(cat "/proc/$follower/task/$follower/children" 2>/dev/null) &&
    [ "$(cut -d' ' -f1 "/proc/${tracee% }/syscall" 2>/dev/null)" = "$watch_call" ]
}
wait_for "log --follow to start watching" in_watch_call
touch /hdd/more
wait_for "the tool's second line" grep -q "after more" "$LOG"
wait_for "the line written meanwhile" grep -q "after more" "$SCRATCH/follow"
alive "$follower" || fail "log --follow ended while the job ran"
status_has "last line: plim: after more"
touch /hdd/go
wait "$follower" || fail "log --follow returned $?, not 0"
expect_file "$SCRATCH/follow" <(
  printf '>>>>>>>> plim start Slow One\n*************** plim ***************\n'
  printf 'plim: first of Slow One\nplim: 50%%\rplim: after more\n*************** plim_mark '
  printf '***************\nplim_mark: stdout Slow One\n>>>>>>>> plim stop Slow One\n')

say "a job run again after a restart: its start is the rerun's, not the cut run's"
rm /hdd/running /hdd/more /hdd/go
"$PLIMCTL" add "Cut Short"
wait_for "the tool" test -e /hdd/running
stop_service
touch -d '2001-02-03 04:05:06' "$ACTIVE"
rm /hdd/running
start_service
wait_for "the rerun's tool" test -e /hdd/running
"$PLIMCTL" status | grep -qE '^started: 20[2-9][0-9]-' || fail "the rerun's start: $("$PLIMCTL" status)"
touch /hdd/more /hdd/go
pass
