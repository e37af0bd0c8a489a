# Helpers for the packaging tests, which run inside packaging/sandbox.sh.

files=/hdd/plim/files
daemon=/usr/local/sbin/plimd # where scripts/install.sh puts it

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Polls a command until it succeeds; fails after ten seconds.
wait_for() {
  local what=$1 deadline=$((SECONDS + 10))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.05
  done
}

# The PIDs of the processes running the executable $1, also once it has been removed.
pids_of() {
  local dir exe
  for dir in /proc/[0-9]*; do
    exe=$(readlink "$dir/exe" 2>/dev/null) || continue
    [[ ${exe% (deleted)} == "$1" ]] && echo "${dir#/proc/}"
  done
  return 0
}

running() { [[ $(pids_of "$1" | wc -l) -eq $2 ]]; }

# The service's processes have been replaced: two run, and none of the PIDs "$1".
replaced() { running "$daemon" 2 && [[ -z $(comm -12 <(sort <<<"$1") <(pids_of "$daemon" | sort)) ]]; }

# A recording of two 188-byte transport-stream packets.
make_recording() {
  mkdir -p /hdd/movie
  head -c 376 /dev/zero | tr '\0' 'G' >"/hdd/movie/$1.ts"
}

log_has() { grep -qxF -- "$1" $files/plim.log; }

# The job for $1 has ended, its bookkeeping too: in the done list, nothing in progress.
job_done() { grep -sqxF -- "$1" $files/fertig.txt && [[ ! -s $files/in_bearbeitung.txt ]]; }

# An analysis tool of the user's own: it notes its PID and holds on while /tmp/hold exists, as a
# long analysis would; it leaves a child behind, which must end with it.
install_holding_tool() {
  mkdir -p /hdd/plim/bin64 $files
  cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "real analysis tool: $*"
sleep 600 &
echo $! >/tmp/tool-child.pid
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

# Runs the stop command "$@" while the holding tool runs the job "Cut Short": the service's two
# processes, the tool and its child must end, another executable called plimd must not.
stop_mid_job() {
  touch /tmp/hold
  rm -f /tmp/tool.pid
  make_recording "Cut Short"
  plimctl add "Cut Short"
  wait_for "the tool to run" test -s /tmp/tool.pid
  mkdir -p /tmp/decoy && cp /bin/sleep /tmp/decoy/plimd
  /tmp/decoy/plimd 600 &
  "$@"
  running "$daemon" 0 || fail "stop left $(pids_of "$daemon")"
  if kill -0 "$(</tmp/tool.pid)" 2>/dev/null; then fail "stop left the analysis tool running"; fi
  if kill -0 "$(</tmp/tool-child.pid)" 2>/dev/null; then fail "stop left the tool's child"; fi
  kill $! || fail "stop ended a process not of the service"
  rm /tmp/hold
}
