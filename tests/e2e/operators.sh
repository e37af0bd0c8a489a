#!/bin/bash
# The operators' controls on the service side: the settings file's time limit, and plimctl wait
# on the job history. The hook's environment is the hook's unit tests'. /etc/plimd.conf is the
# scenario's own (lib.sh).
source "$(dirname "$0")/../lib.sh"

PLIMCTL=$(dirname "$PLIMD")/plimctl

# The analysis tool fails for names with "fails", hangs with a child in its process group for
# "hangs" and holds while /hdd/hold exists for "held"; otherwise it and the mark tool exit 0.
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
printf 'plim %s\n' "$2" >>/hdd/calls.txt
case $2 in
*fails*) exit 3 ;;
*hangs*) printf '%s\n' $$ >/hdd/hung.pgid && sleep 600 & wait ;;
*held*) touch /hdd/held && while [ -e /hdd/hold ]; do sleep 0.05; done ;;
esac
TOOL
chmod 755 /hdd/plim/bin64/plim
printf '# operators\ntool_time_limit = 1  # seconds\ntool_nice = 0\n' >/etc/plimd.conf

pgid_gone() { ! awk '{ print $5 }' /proc/[0-9]*/stat 2>/dev/null | grep -qx "$1"; }

say "a failing, a hung and a good tool: failed, time limit and ok; the hung group is gone"
printf 'fails\nhangs\ngood\n' >"$QUEUE"
start_service
wait_idle 3
wait_for "the hung tool's process group to end" pgid_gone "$(cat /hdd/hung.pgid)"

say "plimctl wait: 0 when ok, 1 when not, 124 on timeout, and it sees a job end"
# The held job must outlast the table below, however slow the machine.
sed -i 's/^tool_time_limit = 1 /tool_time_limit = 600 /' /etc/plimd.conf
touch /hdd/hold
"$PLIMCTL" add held 2>/dev/null
wait_for "the held job" test -e /hdd/held
while IFS='|' read -r expected args message; do
  # shellcheck disable=SC2086
  expect_rc "$expected" "$PLIMCTL" wait $args
  [ -z "$message" ] || err_has "$message"
done <<'ROWS'
0|good|
1|good fails|failed  exit 3 / exit 0  fails
1|hangs|time limit  time limit / exit 0  hangs
124|--timeout 0.2 good held|timed out
1|never|"never" is not queued, not in progress and has no record
ROWS

# The job ends while wait's watch is slowed; had wait looked first, it would wait for ever.
# LeakSanitizer cannot work under strace.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
  strace -o "$SCRATCH/wait.trace" -e trace=inotify_add_watch \
  -e inject=inotify_add_watch:delay_enter=3000000 "$PLIMCTL" wait --timeout 20 held &
waiter=$!
wait_for "wait to start watching" grep -q 'inotify_add_watch(' "$SCRATCH/wait.trace"
rm /hdd/hold
wait_for "the held job to end" job_done held
wait "$waiter" || fail "plimctl wait returned $? for a job that ended while it began to watch"
pass
