#!/bin/bash
# Regenerates the table of RELIABILITY.md: runs the full version of every fault scenario
# (tests/fault/*.sh with PLIMD_FAULT_FULL=1) and every command listed in tests/fault/extra-figures,
# and puts the lines "FIGURE <item> | <tried> | <lost>" they print into the table, with the date
# and the machine. If anything fails, RELIABILITY.md is left as it was. Run as root: the
# scenarios give the service its own namespaces. PLIMD_BUILD_DIR names the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PLIMD_BUILD_DIR:-build-reliability}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >"$build/reliability-build.log" 2>&1 ||
  { tail -n 30 "$build/reliability-build.log"; exit 1; }
export PLIMD_BUILD_DIR=$build PLIMD_FAULT_FULL=1

figures=$(mktemp)
trap 'rm -f "$figures" "$figures".*' EXIT
failed=0
run() {
  echo "=== $*"
  local start=$SECONDS rc=0
  "$@" >"$figures.out" 2>&1 || rc=$?
  grep -E '^(FIGURE|FAIL|SKIP)|PASS$' "$figures.out"
  grep '^FIGURE ' "$figures.out" >>"$figures" || true
  echo "    exit status $rc after $((SECONDS - start)) s"
  [ "$rc" -eq 0 ] || failed=1
}
for scenario in tests/fault/*.sh; do
  run bash "$scenario" "$build/plimd"
done
while IFS= read -r command; do
  case $command in '' | '#'*) continue ;; esac
  run bash -c "$command"
done <tests/fault/extra-figures
if [ "$failed" -ne 0 ]; then
  echo "reliability: a run failed; RELIABILITY.md is unchanged" >&2
  exit 1
fi

{
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  printf 'Run of %s on %s, %s cores (%s).\n\n' "$(date -u '+%Y-%m-%d %H:%M UTC')" "${cpu:-?}" \
    "$(nproc)" "$(uname -srm)"
  echo '| Item | What was tried | What was lost |'
  echo '|---|---|---|'
  sed 's/^FIGURE //' "$figures" | sort -s -n -k1,1 | awk -F ' [|] ' '
    BEGIN {
      split("Crash at every point|Durability order|Full disk and failing writes|Producers|" \
            "Restart safety|Hostile input|Load|Sanitizers", name, "|")
    }
    { printf "| %s. %s | %s | %s |\n", $1, name[$1], $2, $3 }'
} >"$figures.md"
awk -v table="$figures.md" '
  /^<!-- figures -->$/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
  /^<!-- \/figures -->$/ { skip = 0 }
  !skip' RELIABILITY.md >RELIABILITY.md.new
mv RELIABILITY.md.new RELIABILITY.md
echo "reliability: RELIABILITY.md rewritten"
