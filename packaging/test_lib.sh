# Helpers for the packaging tests, which run inside packaging/sandbox.sh.

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

# A recording of two 188-byte transport-stream packets.
make_recording() {
  mkdir -p /hdd/movie
  head -c 376 /dev/zero | tr '\0' 'G' >"/hdd/movie/$1.ts"
}

log_has() { grep -qxF -- "$1" /hdd/plim/files/plim.log; }
