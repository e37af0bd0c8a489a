#!/bin/bash
# How the tools and the hook run: their file-creation mask, the cap on their output in the log,
# what they leave behind outside their process group and the time limit's SIGKILL.
# /etc/plimd.conf is the scenario's own (lib.sh). The hook's own time limit, and an index file
# that is a link, are the unit tests'.
source "$(dirname "$0")/../lib.sh"

# Each program notes its umask; the analysis tool floods its output for names with "loud",
# leaves a child in a session of its own for "escape", ignores SIGTERM for "deaf" and holds
# for "orphan".
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "plim $(umask)" >>/hdd/umask
case $(basename "$2" .rec) in
*loud*) head -c 3145728 /dev/zero | tr '\0' x ;;
*escape*)
  setsid sh -c 'echo $$ >/hdd/escaped.new && mv /hdd/escaped.new /hdd/escaped.pid; exec sleep 600' &
  while [ ! -e /hdd/escaped.pid ]; do sleep 0.01; done ;;
*deaf*) trap '' TERM && sleep 600 ;;
*orphan*) [ -e /hdd/orphan.pid ] || { echo $$ >/hdd/orphan.pid && exec sleep 600; } ;;
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

say "tools and hook get umask 0022 by default, and tool_umask when it is set"
settings
start_service
run 1 plain
settings 'tool_umask = 0002\n'
run 2 group
expect_file /hdd/umask <(printf '%s 0022\n' plim plim_mark hook; printf '%s 0002\n' plim plim_mark hook)

say "log_limit_mb = 1: the log holds the first MiB of 3 MiB, the count, and the frame goes on"
: >"$LOG"
settings 'log_limit_mb = 1\n'
run 3 loud
expect_file "$LOG" <(printf '>>>>>>>> plim start loud\n*************** plim ***************\n'
  head -c 1048576 /dev/zero | tr '\0' x
  printf 'plimd: 2097152 bytes of output left out (log_limit_mb = 1)\n'
  printf '*************** plim_mark ***************\n>>>>>>>> plim stop loud\n')
[ "$(grep -c output_dropped "$FILES/history")" -eq 1 ] && grep -q '"output_dropped":2097152}$' \
  "$FILES/history" || fail "the history does not count the bytes left out once"

say "a child that left the tool's session is gone once the job is done"
settings
run 4 escape
alive "$(cat /hdd/escaped.pid)" && fail "the tool's child in a session of its own outlived the job"

say "a tool whose whole group ignores SIGTERM is killed 5 s past the time limit"
settings 'tool_time_limit = 1\n'
WAIT_SECONDS=20 run 5 deaf
settings
grep -q '"name":"deaf",.*"analysis":{"end":"time limit"' "$FILES/history" ||
  fail "no time limit in the record: $(grep deaf "$FILES/history")"

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
start_service
wait_for "the job run again" idle 6
pass
