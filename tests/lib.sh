# shellcheck shell=bash
# The helpers of every scenario. The end-to-end and fault scenarios source it with their own
# arguments, PLIMD [PLIMCTL]: it runs the scenario as the first process of fresh mount,
# network and PID namespaces, with tmpfs on /hdd, /tmp/plim and /run, so that it owns the
# service's paths and port; when it exits, the kernel ends every process the scenario started.
# Exits 125 (a skip) where namespaces are refused. The packaging tests, which run inside
# packaging/sandbox.sh, source it with --packaging and get the helpers only.
set -u

FILES=/hdd/plim/files
QUEUE=$FILES/queue.txt
ACTIVE=$FILES/in_bearbeitung.txt
DONE=$FILES/fertig.txt
LOG=$FILES/plim.log
CALLS=/hdd/calls.txt
SCRATCH=/hdd/e2e
FULL=${PLIMD_FAULT_FULL:-0}

say() { printf '%s: %s\n' "$(basename "$0" .sh)" "$*"; }

fail() {
  printf 'FAIL: %s\n' "$*"
  for f in "$CALLS" "$QUEUE" "$ACTIVE" "$DONE" "$LOG" /hdd/plimd.out /hdd/plimd.err; do
    [ -e "$f" ] && printf -- '--- %s\n%s\n' "$f" "$(head -c 4000 "$f")"
  done
  exit 1
}

# wait_for DESCRIPTION COMMAND...: polls COMMAND until it succeeds, for at most $WAIT_SECONDS.
WAIT_SECONDS=10
wait_for() {
  local what=$1 deadline=$((SECONDS + WAIT_SECONDS))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for: $what"
    sleep 0.02
  done
}

# A process that exists and is not a zombie.
alive() {
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" && stat=${stat##*) } && [ "${stat%% *}" != Z ]
}

dead() { ! alive "$1"; }

# The live processes of the service's executable $PLIMD, also once it has been removed.
plimd_pids() {
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    if [ "${exe% (deleted)}" = "$PLIMD" ] && alive "${p#/proc/}"; then echo "${p#/proc/}"; fi
  done
  return 0
}

plimd_count_is() { [ "$(plimd_pids | wc -l)" -eq "$1" ]; }

# waiting_for_trigger PID: the worker is blocked reading the trigger pipe, so its drain is over.
waiting_for_trigger() { grep -qE "pipe_(read|wait)$" "/proc/$1/wchan" 2>/dev/null; }

udp_bound() {
  awk -v port="$(printf ':%04X' "$1")" 'substr($2, 9) == port { f = 1 } END { exit !f }' /proc/net/udp
}

# Every datagram sent to the service so far has been passed on and drained: its socket is empty,
# the listener waits in poll and the worker in its pipe read, so no drain can be under way or due.
quiet() {
  local listener worker
  read -r listener worker _ </run/plimd.pid
  awk -v port="$(printf ':%04X' "${1:-25252}")" \
    'substr($2, 9) == port { exit $5 != "00000000:00000000" }' /proc/net/udp &&
    grep -q poll "/proc/$listener/wchan" 2>/dev/null && waiting_for_trigger "$worker"
}

# expect_file ACTUAL EXPECTED: the two files hold the same bytes, e.g.
#   expect_file "$DONE" <(printf 'a\nb\n')
expect_file() {
  [ -e "$1" ] || fail "$1 does not exist"
  diff -u --label expected --label "$1" "$2" "$1" >"$SCRATCH/diff" ||
    fail "$1 differs from what was expected: $(head -40 "$SCRATCH/diff")"
}

# expect_stat FORMAT EXPECTED FILE...: what stat -c FORMAT says of the files, joined by spaces.
expect_stat() {
  local got
  got=$(stat -c "$1" "${@:3}" | paste -sd' ')
  [ "$got" = "$2" ] || fail "${*:3}: $1 is \"$got\", not \"$2\""
}

expect_absent() { [ ! -e "$1" ] && [ ! -L "$1" ] || fail "$1 should not exist"; }

pass() {
  ! grep -qE "Sanitizer|runtime error" /hdd/plimd.err 2>/dev/null ||
    fail "a sanitizer reported an error in the service"
  say PASS && exit 0
}

# start_service [PORT]: runs the launcher, which must return 0, and waits for the port to be bound.
# The service's output goes to plimd.out and plimd.err in $SERVICE_OUT.
SERVICE_OUT=/hdd
start_service() {
  local rc=0
  (cd /hdd && exec "$PLIMD" </dev/null >>"$SERVICE_OUT/plimd.out" 2>>"$SERVICE_OUT/plimd.err") || rc=$?
  [ "$rc" -eq 0 ] || fail "plimd returned $rc"
  wait_for "the listener on port ${1:-25252}" udp_bound "${1:-25252}"
}

# Kills the pair's process group in one signal: killed one by one, the second would start the
# first again.
stop_service() {
  local pid
  for pid in $(plimd_pids); do kill -KILL -- "-$(ps -o pgid= -p "$pid" | tr -d ' ')" 2>/dev/null; done
  wait_for "plimd to end" plimd_count_is 0
}

# send PORT PAYLOAD...: each payload as one datagram to the loopback; "" sends one without bytes.
send() {
  python3 -c 'import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for p in sys.argv[2:]: s.sendto(os.fsencode(p), ("127.0.0.1", int(sys.argv[1])))' "$@" || fail "send $*"
}

# run_jobs JOBS_DONE_AFTER NAME...: queues the names, triggers, and waits for their jobs.
run_jobs() {
  [ $# -lt 2 ] || printf '%s\n' "${@:2}" >>"$QUEUE"
  send 25252 1
  wait_idle "$1"
}

# run_noted NOTES JOBS_DONE_AFTER NAME...: run_jobs, and waits for as many hooks, each of which
# notes a line that starts with "hook" in NOTES.
run_noted() {
  local notes=$1 total=$2
  run_jobs "${@:2}"
  wait_for "the hooks" eval '[ "$(grep -c "^hook" "$notes")" -eq "$total" ]'
}

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
history_of() { "$PLIMCTL" history --json "$1"; }

# expect_rc STATUS COMMAND...: the command exits with STATUS; its stdout is left in $SCRATCH/out,
# its stderr in $SCRATCH/err.
expect_rc() {
  local status=$1 rc=0
  shift
  "$@" >"$SCRATCH/out" 2>"$SCRATCH/err" || rc=$?
  [ "$rc" -eq "$status" ] || fail "$* exited $rc, not $status: $(cat "$SCRATCH/err")"
}
# err_has TEXT / out_has TEXT: the command of the last expect_rc said TEXT on stderr / stdout.
err_has() { grep -qF -- "$1" "$SCRATCH/err" || fail "no \"$1\" in: $(cat "$SCRATCH/err")"; }
out_has() { grep -qF -- "$1" "$SCRATCH/out" || fail "no \"$1\" in: $(cat "$SCRATCH/out")"; }

# status_has LINE: plimctl status prints the whole line LINE.
status_has() { "$PLIMCTL" status | grep -qxF -- "$1" || fail "status: $("$PLIMCTL" status)"; }

# hold_folder_lock SECONDS: a producer, $HOLDER, holds the folder lock; release_folder_lock ends
# it and flock's child, which holds the lock too and, left alone, would hold every later drain up.
hold_folder_lock() {
  flock "$FILES" sleep "$1" &
  HOLDER=$!
  wait_for "the folder lock" grep -qE "FLOCK +ADVISORY +WRITE +$HOLDER " /proc/locks
}
release_folder_lock() { kill "$HOLDER" "$(cut -d' ' -f1 "/proc/$HOLDER/task/$HOLDER/children")"; }

marks() { grep -c '^plim_mark ' "$CALLS"; }
marks_of() { grep -cxF "plim_mark 2 [/hdd/plim/bin64/plim_mark] [$1] workdir=yes" "$CALLS"; }

# Nothing queued and nothing in progress.
settled() { [ -f "$QUEUE" ] && [ ! -s "$QUEUE" ] && [ ! -s "$ACTIVE" ]; }
# The service has finished $1 jobs since the scenario began, and nothing is queued or running.
idle() { [ "$(marks)" -eq "$1" ] && settled; }
wait_idle() { wait_for "$1 finished jobs and an idle worker" idle "$1"; }

# What the fake tools record for one whole job of file-system name $1; $2 is what the index
# link is seen as.
job_calls() {
  printf 'plim 3 [/hdd/plim/bin64/plim] [-] [/tmp/plim/tmp/%s.rec]' "$1"
  printf ' ts=[/hdd/movie/%s.ts] idx=[%s] dirs=1\n' "$1" "${2:-none}"
  printf 'plim_mark 2 [/hdd/plim/bin64/plim_mark] [%s] workdir=yes\n' "$1"
}

# The log record of one job of file-system name $1.
job_log() {
  printf '>>>>>>>> plim start %s\n*************** plim ***************\n' "$1"
  printf 'plim: stdout\nplim: stderr\n*************** plim_mark ***************\n'
  printf 'plim_mark: stdout %s\n>>>>>>>> plim stop %s\n' "$1" "$1"
}

# hold_job [NAME...]: queues the names and sends a datagram; the analysis tool of the drain's
# first job holds until /hdd/hold is removed. TOOL and WORKER are its PID and its parent's.
hold_job() {
  touch /hdd/hold
  rm -f /hdd/plim.pid
  [ $# -eq 0 ] || printf '%s\n' "$@" >>"$QUEUE"
  send 25252 1
  wait_for "a held analysis tool" test -f /hdd/plim.pid
  read -r TOOL WORKER </hdd/plim.pid
}

work_dirs_gone() {
  [ -z "$(ls -A /tmp/plim/tmp 2>/dev/null)" ] || fail "work folders left: $(ls -A /tmp/plim/tmp)"
}

# Fault injection: strace attached to the worker alone counts `when=N` per traced process and
# per system call, so the Nth call of a drain is the same call in every run, and never a tool's.
figure() { printf 'FIGURE %s | %s | %s\n' "$1" "$2" "$3"; }

traced() { [ "$(awk '/^TracerPid:/ { print $2 }' "/proc/$1/status" 2>/dev/null)" != 0 ]; }

# attach [--listener] STRACE_ARGS...: traces the worker (or the listener) in the background as
# $TRACER (its log in $TRACE); TRACEE is the traced process.
TRACE=/hdd/trace.txt
attach() {
  local who=worker
  read -r LISTENER WORKER _ </run/plimd.pid
  TRACEE=$WORKER
  if [ "${1:-}" = --listener ]; then who=listener TRACEE=$LISTENER && shift; fi
  strace -qq -o "$TRACE" "$@" -p "$TRACEE" 2>>/hdd/strace.err &
  TRACER=$!
  wait_for "strace to attach to the $who" traced "$TRACEE"
}

detach() {
  kill "$TRACER" 2>/dev/null
  wait "$TRACER" 2>/dev/null
  if alive "$TRACEE"; then wait_for "strace to let go" eval "! traced $TRACEE"; fi
}

# The job list files hold whole versions: names of $NAMES (queued) or $EARLIER (done before)
# only, each with its line break; the queue a tail of the names queued, the in-progress file one
# name at most. No temporary file may be left when $1 is "clean".
EARLIER=()
expect_whole_files() {
  local f copy=$SCRATCH/whole
  for f in "$QUEUE" "$ACTIVE" "$DONE"; do
    # One read of each file: a restarted worker may replace it between two looks, and each
    # version it leaves is whole, but two looks may see two of them.
    rm -f "$copy"
    cp "$f" "$copy" 2>/dev/null || continue
    [ ! -s "$copy" ] || [ "$(tail -c 1 "$copy" | od -An -c | tr -d ' ')" = '\n' ] || fail "$f is cut"
    grep -vxF -f <(printf '%s\n' "${NAMES[@]}" "${EARLIER[@]}") "$copy" &&
      fail "$f holds a foreign or cut line"
    [ "$f" != "$QUEUE" ] || [ ! -s "$copy" ] ||
      printf '%s\n' "${NAMES[@]}" | tail -n "$(wc -l <"$copy")" | cmp -s - "$copy" ||
      fail "the queue is no tail of what was queued"
    [ "$f" != "$ACTIVE" ] || [ "$(wc -l <"$copy")" -le 1 ] || fail "$ACTIVE names several jobs"
  done
  [ "${1:-}" != clean ] || ! ls "$FILES"/*.tmp >/dev/null 2>&1 ||
    fail "temporary files left: $(ls "$FILES"/*.tmp)"
}

# Every name of $NAMES marked at least once; $RUNS is how many runs went beyond one per name.
count_extra_runs() {
  local name n
  RUNS=0
  for name in "${NAMES[@]}"; do
    n=$(marks_of "$name")
    [ "$n" -ge 1 ] || fail "$name was never processed"
    RUNS=$((RUNS + n - 1))
  done
}

# A fresh service over the queue $NAMES, idle and traced with STRACE_ARGS... before its drain.
queue_and_attach() {
  stop_service
  rm -f "$FILES"/* "$CALLS" /hdd/plimd.out
  : >"$CALLS"
  start_service
  wait_idle 0
  attach "$@"
  printf '%s\n' "${NAMES[@]}" >"$QUEUE"
}

# The packaging tests' own: the service installed as a user would, with an analysis tool of
# the user's own that notes its PID and holds on while /tmp/hold exists, as a long analysis
# would, and leaves a child behind, which must end with it: the tool itself also dies with its
# worker, so only the child shows whether a stop kills the tools' process groups. A second
# child leaves the service's session, as a daemon the tool starts would.
install_holding_tool() {
  mkdir -p /hdd/plim/bin64 "$FILES"
  cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "real analysis tool: $*"
sleep 600 &
echo $! >/tmp/tool-child.pid
rm -f /tmp/tool-escaped.pid
setsid sh -c 'echo $$ >/tmp/tool-escaped.new && mv /tmp/tool-escaped.new /tmp/tool-escaped.pid; exec sleep 600' &
while [ ! -e /tmp/tool-escaped.pid ]; do sleep 0.01; done
echo $$ >/tmp/tool.pid
while [ -e /tmp/hold ]; do sleep 0.05; done
echo "analysis done"
TOOL
  chmod 0755 /hdd/plim/bin64/plim
}

# The README's install command, with its own build folder.
install_service() {
  PLIMD_BUILD_DIR=/tmp/plimd-build "$(dirname "${BASH_SOURCE[0]}")/../scripts/install.sh" \
    >/tmp/install.log 2>&1 || { cat /tmp/install.log; fail "scripts/install.sh failed"; }
}

# The service's processes have been replaced: two run, and none of the PIDs "$1".
replaced() { plimd_count_is 2 && [ -z "$(comm -12 <(sort <<<"$1") <(plimd_pids | sort))" ]; }

log_has() { grep -qxF -- "$1" "$LOG"; }

# The job for $1 has ended, its bookkeeping too: in the done list, nothing in progress.
job_done() { grep -sqxF -- "$1" "$DONE" && [ ! -s "$ACTIVE" ]; }

# Runs the stop command "$@" while the holding tool runs a job: the service's two processes, the
# tool and its child must end, another executable called plimd must not.
stop_mid_job() {
  touch /tmp/hold
  rm -f /tmp/tool.pid
  plimctl add "Cut Short"
  wait_for "the tool to run" test -s /tmp/tool.pid
  mkdir -p /tmp/decoy && cp /bin/sleep /tmp/decoy/plimd
  /tmp/decoy/plimd 600 &
  "$@"
  plimd_count_is 0 || fail "stop left $(plimd_pids)"
  alive "$(</tmp/tool.pid)" || alive "$(</tmp/tool-child.pid)" &&
    fail "stop left the analysis tool or its child running"
  alive "$(</tmp/tool-escaped.pid)" && fail "stop left the tool's child in a session of its own"
  kill $! || fail "stop ended a process not of the service"
  rm /tmp/hold
}

# skip WHY: ends the test as skipped (ctest's SKIP_RETURN_CODE).
skip() { echo "SKIP: $*" && exit 125; }

if [ "${1:-}" = --packaging ]; then
  PLIMD=/usr/local/sbin/plimd # where scripts/install.sh puts it
  return 0
fi

if [ -z "${PLIMD_E2E_INSIDE:-}" ]; then
  refused=$(unshare --mount --net --pid --fork --mount-proc true 2>&1) ||
    skip "cannot create namespaces: $refused"
  command -v strace >/dev/null || skip "strace is not installed"
  PLIMD_E2E_INSIDE=1 exec unshare --mount --net --pid --mount-proc --kill-child \
    bash "$0" "$(readlink -f "$1")" "$(readlink -f "${2:-/nonexistent}")"
fi

PLIMD=$1
PLIMCTL=$2 # only for the scenarios of plimctl's commands
FAKE_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")/fake-tools" && pwd)

# /run too, which holds the service's PID file.
refused=$({ mkdir -p /hdd /tmp/plim && mount -t tmpfs tmpfs /hdd &&
  mount -t tmpfs tmpfs /tmp/plim && mount -t tmpfs tmpfs /run && ip link set lo up; } 2>&1) ||
  skip "cannot mount tmpfs or bring up loopback: $refused"
mkdir -p "$FILES" /hdd/plim/bin64 /hdd/movie "$SCRATCH"
install -m 755 "$FAKE_TOOLS/plim" "$FAKE_TOOLS/plim_mark" /hdd/plim/bin64/
: >"$CALLS"
# A private overlay over /etc, so that a scenario writes /etc/plimd.conf without touching the
# machine's. Its tools run at the tests' own priority: at the service's default of nice 19, in
# sessions of their own, they would wait for every busy process of a loaded test machine, and
# the waits would time out. Scenarios that write the file themselves say so there too, and
# tests/e2e/disk.sh tests the defaults.
mkdir -p /run/e2e-etc/upper /run/e2e-etc/work
refused=$(mount -t overlay overlay \
  -o lowerdir=/etc,upperdir=/run/e2e-etc/upper,workdir=/run/e2e-etc/work /etc 2>&1) ||
  skip "cannot lay an overlay over /etc: $refused"
echo 'tool_nice = 0' >/etc/plimd.conf
