#!/bin/bash
# How the tools and the hook run: their file-creation mask, the cap on their output in the log,
# what they leave behind outside their process group, a hook that hangs, and the index file
# that a producer keeps turning into a link. /etc/plimd.conf is the scenario's own (lib.sh).
source "$(dirname "$0")/../lib.sh"

mkdir -p /hdd/evil

# Each program notes its umask; the analysis tool floods its output for names with "loud" and
# leaves a child in a session of its own for names with "escape".
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
name=$(basename "$2" .rec)
echo "plim $(umask)" >>/hdd/umask
case $name in
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
cat >/hdd/hook <<'HOOK'
#!/bin/sh
echo "hook $(umask)" >>/hdd/umask
case $PLIMD_NAME in *hang*) exec sleep 600 ;; esac
HOOK
chmod 755 /hdd/hook /hdd/plim/bin64/plim /hdd/plim/bin64/plim_mark
: >"$CALLS"
settings() { printf 'on_job_done = /hdd/hook\ntool_nice = 0\n%b' "$*" >/etc/plimd.conf; }
run() { run_noted /hdd/umask "$@"; }

say "tools and hook get umask 0022 by default, and tool_umask when it is set"
settings
start_service
run 1 plain
settings 'tool_umask = 0002\n'
run 2 group
expect_file /hdd/umask <(printf '%s 0022\n' plim plim_mark hook; printf '%s 0002\n' plim plim_mark hook)
settings
# The service's own job files keep their modes for everyone.
expect_stat %a 666 "$DONE"

say "log_limit_mb = 1: the log holds the first MiB of 3 MiB, the count, and the frame goes on"
: >"$LOG"
settings 'log_limit_mb = 1\n'
run 3 loud
expect_file "$LOG" <(printf '>>>>>>>> plim start loud\n*************** plim ***************\n'
  head -c 1048576 /dev/zero | tr '\0' x
  printf 'plimd: 2097152 bytes of output left out (log_limit_mb = 1)\n'
  printf '*************** plim_mark ***************\n>>>>>>>> plim stop loud\n')
[ "$(grep -c '"output_dropped":2097152}$' "$FILES/history")" -eq 1 ] ||
  fail "the history does not count the bytes left out: $(grep loud "$FILES/history")"
[ "$(grep -c output_dropped "$FILES/history")" -eq 1 ] || fail "output_dropped where none was"

say "a child that left the tool's session is gone once the job is done"
settings
run 4 escape
escaped=$(cat /hdd/escaped.pid)
alive "$escaped" && fail "the tool's child $escaped in a session of its own outlived the job"

say "a hook that hangs is ended by the time limit, and the next job runs"
settings 'tool_time_limit = 1\n'
WAIT_SECONDS=20 run 6 hang after
settings

say "a producer who keeps making the index file a link gets no file made through it"
printf 'plim 25252 1\n' >"$FILES/plim.conf"
NAMES=(r1 r2 r3 r4 r5)
(while :; do for n in "${NAMES[@]}"; do ln -sfn "/hdd/evil/$n" "/hdd/movie/$n.ts.idx"; done; done) &
relinker=$!
# The job makes its folder between removing the index file and making it anew: slowed there,
# a job finds the link back in place unless a loaded machine slows the loop even more.
attach -e trace=mkdirat -e inject=mkdirat:delay_enter=500000
WAIT_SECONDS=30 run 11 "${NAMES[@]}"
detach
kill "$relinker"
wait "$relinker" 2>/dev/null
[ -z "$(ls -A /hdd/evil)" ] && [ -z "$(find /hdd/evil -type l)" ] ||
  fail "files made through the link: $(ls -l /hdd/evil)"
grep -qE "^plimd: not touching /hdd/movie/r[1-5].ts.idx: it is a symbolic link; left alone$" \
  /hdd/plimd.err || fail "no job met the link"
printf 'plim 25252 0\n' >"$FILES/plim.conf"

say "a tool whose whole group ignores SIGTERM is killed 5 s past the time limit"
settings 'tool_time_limit = 1\n'
WAIT_SECONDS=20 run 12 deaf
settings
grep -q '"name":"deaf",.*"analysis":{"end":"time limit"' "$FILES/history" ||
  fail "no time limit in the record: $(grep deaf "$FILES/history")"

say "the tool dies with the worker, also when the listener cannot end it"
printf 'orphan\n' >>"$QUEUE"
send 25252 1
wait_for "the tool" test -s /hdd/orphan.pid
tool=$(cat /hdd/orphan.pid)
worker=$(awk '{ print $4 }' "/proc/$tool/stat")
listener=$(plimd_pids | grep -vx "$worker")
# Stopped, the listener dies of its SIGKILL without a chance to end the tool's group itself.
kill -STOP "$listener"
kill -KILL "$worker" "$listener"
wait_for "the tool to die with its worker" dead "$tool"
start_service
wait_for "the job run again" idle 13
pass
