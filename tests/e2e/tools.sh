#!/bin/bash
# How the tools and the hook run, and what plimctl wait makes of their ends: their file-creation
# mask, the cap on their output in the log, what they leave behind outside their process group,
# the settings file's time limit and its SIGKILL, and wait's exit statuses. /etc/plimd.conf is
# the scenario's own (lib.sh). The hook's own time limit and environment, and an index file that
# is a link, are the unit tests'.
source "$(dirname "$0")/../lib.sh"

# Each program notes its umask; the analysis tool fails for names with "fails", floods its output
# for "loud", leaves a child in a session of its own for "escape", ignores SIGTERM with a child
# in its group for "deaf", holds for "orphan", and while /hdd/hold exists for "held".
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "plim $(umask)" >>/hdd/umask
case $(basename "$2" .rec) in
*fails*) exit 3 ;;
*loud*) head -c 3145728 /dev/zero | tr '\0' x ;;
*escape*)
  setsid sh -c 'echo $$ >/hdd/escaped.new && mv /hdd/escaped.new /hdd/escaped.pid; exec sleep 600' &
  while [ ! -e /hdd/escaped.pid ]; do sleep 0.01; done ;;
*deaf*) trap '' TERM && echo $$ >/hdd/hung.pgid && sleep 600 ;;
*orphan*) [ -e /hdd/orphan.pid ] || { echo $$ >/hdd/orphan.pid && exec sleep 600; } ;;
*held*) touch /hdd/held && while [ -e /hdd/hold ]; do sleep 0.05; done ;;
esac
TOOL
cat >/hdd/plim/bin64/plim_mark <<'TOOL'
#!/bin/sh
echo "plim_mark $(umask)" >>/hdd/umask
printf 'plim_mark %s\n' "$1" >>/hdd/calls.txt
TOOL
printf '#!/bin/sh\necho "hook $(umask)" >>/hdd/umask\n' >/hdd/hook
chmod 755 /hdd/hook /hdd/plim/bin64/plim /hdd/plim/bin64/plim_mark
settings() { printf 'on_job_done = /hdd/hook\ntool_nice = 0\n%b' "$*" >/etc/plimd.conf; }
run() { run_noted /hdd/umask "$@"; }
pgid_gone() { ! awk '{ print $5 }' /proc/[0-9]*/stat 2>/dev/null | grep -qx "$1"; }

say "tools and hook get umask 0022"
settings
start_service
run 1 plain
expect_file /hdd/umask <(printf '%s 0022\n' plim plim_mark hook)

say "log_limit_mb = 1: the log holds the first MiB of 3 MiB, the count, and the frame goes on"
: >"$LOG"
settings 'log_limit_mb = 1\n'
run 2 loud
expect_file "$LOG" <(printf '>>>>>>>> plim start loud\n*************** plim ***************\n'
  head -c 1048576 /dev/zero | tr '\0' x
  printf 'plimd: 2097152 bytes of output left out (log_limit_mb = 1)\n'
  printf '*************** plim_mark ***************\n>>>>>>>> plim stop loud\n')

say "a child that left the tool's session is gone once the job is done"
settings
run 3 escape
alive "$(cat /hdd/escaped.pid)" && fail "the tool's child in a session of its own outlived the job"

say "past tool_time_limit, a tool whose whole group ignores SIGTERM is killed 5 s later"
settings 'tool_time_limit = 1\n'
WAIT_SECONDS=20 run 6 fails deaf good
settings
wait_for "the hung tool's process group to end" pgid_gone "$(cat /hdd/hung.pgid)"

say "plimctl wait: 0 when ok, 1 when not, 124 on timeout, and it sees a job end"
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
1|deaf|time limit  time limit / exit 0  deaf
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

say "the tool dies with the worker, also when the listener cannot end it"
printf 'orphan\n' >>"$QUEUE"
send 25252 1
wait_for "the tool" test -s /hdd/orphan.pid
tool=$(cat /hdd/orphan.pid)
worker=$(awk '{ print $4 }' "/proc/$tool/stat")
# Stopped, the listener dies of its SIGKILL without a chance to end the tool's group itself.
kill -STOP "$(plimd_pids | grep -vx "$worker")"
kill -KILL "$worker" "$(plimd_pids | grep -vx "$worker")"
wait_for "the tool to die with its worker" dead "$tool"
pass
