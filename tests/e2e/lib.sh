# shellcheck shell=bash
# Sourced by every scenario: ./SCENARIO.sh PLIMD UDP_SEND [PLIMCTL]
# Runs the scenario as the first process of fresh mount, network and PID namespaces, with tmpfs
# on /hdd, /tmp/plim and /run, so that it owns the service's paths and port; when it exits, the kernel
# ends every process the scenario started. Exits 125 (a skip) where namespaces are refused.
set -u

if [ -z "${PLIMD_E2E_INSIDE:-}" ]; then
  if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 PLIMD UDP_SEND [PLIMCTL]" >&2
    exit 2
  fi
  if ! refused=$(unshare --mount --net --pid --fork --mount-proc true 2>&1); then
    echo "SKIP: cannot create namespaces: $refused"
    exit 125
  fi
  PLIMD_E2E_INSIDE=1 exec unshare --mount --net --pid --mount-proc --kill-child \
    bash "$0" "$(readlink -f "$1")" "$(readlink -f "$2")" "$(readlink -f "${3:-/nonexistent}")"
fi

PLIMD=$1
UDP_SEND=$2
PLIMCTL=$3 # only for the scenarios of plimctl's commands
FAKE_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")/../fake-tools" && pwd)
FILES=/hdd/plim/files
QUEUE=$FILES/queue.txt
ACTIVE=$FILES/in_bearbeitung.txt
DONE=$FILES/fertig.txt
LOG=$FILES/plim.log
CALLS=/hdd/calls.txt
SCRATCH=/hdd/e2e

# /run too, which holds the service's PID file.
if ! refused=$({ mkdir -p /hdd /tmp/plim && mount -t tmpfs tmpfs /hdd &&
  mount -t tmpfs tmpfs /tmp/plim && mount -t tmpfs tmpfs /run && ip link set lo up; } 2>&1); then
  echo "SKIP: cannot mount tmpfs or bring up loopback: $refused"
  exit 125
fi
mkdir -p "$FILES" /hdd/plim/bin64 /hdd/movie "$SCRATCH"
install -m 755 "$FAKE_TOOLS/plim" "$FAKE_TOOLS/plim_mark" /hdd/plim/bin64/
: >"$CALLS"

say() { printf '%s: %s\n' "$(basename "$0" .sh)" "$*"; }

pass() {
  if grep -qE "Sanitizer|runtime error" /hdd/plimd.err 2>/dev/null; then
    fail "a sanitizer reported an error in the service"
  fi
  say PASS
  exit 0
}

fail() {
  printf 'FAIL: %s\n' "$*"
  local f
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

# expect_file ACTUAL EXPECTED: the two files hold the same bytes, e.g.
#   expect_file "$DONE" <(printf 'a\nb\n')
expect_file() {
  local expected=$SCRATCH/expected
  cat "$2" >"$expected"
  [ -e "$1" ] || fail "$1 does not exist"
  cmp -s "$expected" "$1" && return
  diff -u --label expected --label "$1" "$expected" "$1" | head -40
  fail "$1 differs from what was expected"
}

expect_absent() {
  if [ -e "$1" ] || [ -L "$1" ]; then fail "$1 should not exist"; fi
}

# A process that exists and is not a zombie.
alive() {
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

dead() { ! alive "$1"; }

plimd_pids() {
  local p
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/exe" 2>/dev/null)" = "$PLIMD" ] && alive "${p#/proc/}"; then
      echo "${p#/proc/}"
    fi
  done
}

# waiting_for_trigger PID: the worker is blocked reading the trigger pipe, so its drain is over.
waiting_for_trigger() { grep -qE "pipe_(read|wait)$" "/proc/$1/wchan" 2>/dev/null; }

plimd_count_is() { [ "$(plimd_pids | wc -l)" -eq "$1" ]; }

udp_bound() {
  awk -v port="$(printf ':%04X' "$1")" 'substr($2, 9) == port { f = 1 } END { exit !f }' /proc/net/udp
}

# start_service [PORT]: runs the launcher, which must return 0, and waits for the port to be bound.
start_service() {
  local rc=0
  (cd /hdd && exec "$PLIMD" </dev/null >>/hdd/plimd.out 2>>/hdd/plimd.err) || rc=$?
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

send() { "$UDP_SEND" "$@" || fail "udp_send $*"; }

marks() { grep -c '^plim_mark ' "$CALLS"; }

# The names the mark tool was run with, in order.
marked_names() {
  sed -n 's|^plim_mark 2 \[/hdd/plim/bin64/plim_mark\] \[\(.*\)\] workdir=yes$|\1|p' "$CALLS"
}

# The service has finished $1 jobs since the scenario began, and nothing is queued or running.
idle() { [ "$(marks)" -eq "$1" ] && [ -f "$QUEUE" ] && [ ! -s "$QUEUE" ] && [ ! -s "$ACTIVE" ]; }
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
  if [ $# -gt 0 ]; then printf '%s\n' "$@" >>"$QUEUE"; fi
  send 25252 1
  wait_for "a held analysis tool" test -f /hdd/plim.pid
  read -r TOOL WORKER </hdd/plim.pid
}

work_dirs_gone() {
  [ -z "$(ls -A /tmp/plim/tmp 2>/dev/null)" ] || fail "work folders left: $(ls -A /tmp/plim/tmp)"
}
