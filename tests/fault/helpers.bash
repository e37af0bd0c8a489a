# shellcheck shell=bash
# Sourced by the fault scenarios after ../e2e/lib.sh. Faults are injected with strace attached to
# the worker alone: strace counts `when=N` per traced process and per system call, so tracing
# only the worker makes the Nth call of a drain the same call in every run, and never hits a tool.

FULL=${PLIMD_FAULT_FULL:-0}
EARLIER=()
command -v strace >/dev/null || { echo "SKIP: strace is not installed"; exit 125; }

figure() { printf 'FIGURE %s | %s | %s\n' "$1" "$2" "$3"; }

# The plimd process whose parent is the other one.
worker_pid() {
  local pids p
  pids=$(plimd_pids)
  for p in $pids; do
    grep -qx "$(awk '{ print $4 }' "/proc/$p/stat")" <<<"$pids" && echo "$p"
  done
}

traced() { [ "$(awk '/^TracerPid:/ { print $2 }' "/proc/$1/status" 2>/dev/null)" != 0 ]; }

# attach STRACE_ARGS...: traces the worker in the background as $TRACER (its log in $TRACE).
TRACE=/hdd/trace.txt
attach() {
  WORKER=$(worker_pid)
  [ -n "$WORKER" ] || fail "no worker to attach to"
  strace -qq -o "$TRACE" "$@" -p "$WORKER" 2>>/hdd/strace.err &
  TRACER=$!
  wait_for "strace to attach to the worker" traced "$WORKER"
}

detach() {
  kill "$TRACER" 2>/dev/null
  wait "$TRACER" 2>/dev/null
  if alive "$WORKER"; then wait_for "strace to let go of the worker" eval "! traced $WORKER"; fi
}

# The worker's CPU time in clock ticks.
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }

# Nothing queued and nothing in progress.
settled() { [ -f "$QUEUE" ] && [ ! -s "$QUEUE" ] && [ ! -s "$ACTIVE" ]; }

# Once its drain is over the worker must stay asleep: over half a second it may use a few clock
# ticks, where a loop retrying a failing rewrite would use all fifty.
expect_asleep() {
  local before
  wait_for "the worker to wait for a trigger" waiting_for_trigger "$1"
  before=$(cpu_ticks "$1")
  sleep 0.5
  [ $(($(cpu_ticks "$1") - before)) -le 5 ] || fail "the worker keeps spinning"
  waiting_for_trigger "$1" || fail "the worker does not go back to waiting for a trigger"
}

# The job list files hold whole versions: names of $NAMES (queued) or $EARLIER (done before)
# only, each with its line break; the queue a tail of the names queued, the in-progress file one
# name at most. No temporary file may be left when $1 is "clean".
expect_whole_files() {
  local f tail
  for f in "$QUEUE" "$ACTIVE" "$DONE"; do
    [ -e "$f" ] || continue
    [ ! -s "$f" ] || [ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" = '\n' ] || fail "$f is cut"
    grep -vxF -f <(printf '%s\n' "${NAMES[@]}" "${EARLIER[@]}") "$f" &&
      fail "$f holds a foreign or cut line"
  done
  if [ -s "$QUEUE" ]; then
    for ((tail = 0; tail < ${#NAMES[@]}; tail++)); do
      cmp -s "$QUEUE" <(printf '%s\n' "${NAMES[@]:tail}") && break
    done
    [ "$tail" -lt "${#NAMES[@]}" ] || fail "the queue is no tail of what was queued"
  fi
  [ ! -e "$ACTIVE" ] || [ "$(wc -l <"$ACTIVE")" -le 1 ] || fail "$ACTIVE names several jobs"
  if [ "${1:-}" = clean ] && ls "$FILES"/*.tmp >/dev/null 2>&1; then
    fail "temporary files left: $(ls "$FILES"/*.tmp)"
  fi
  return 0
}

marks_of() { grep -cxF "plim_mark 2 [/hdd/plim/bin64/plim_mark] [$1] workdir=yes" "$CALLS"; }

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
