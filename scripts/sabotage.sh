#!/bin/bash
# Which faults does the suite catch? Each scripts/sabotages/NN-name.patch is a change a real bug
# would make; its head says why ("why: ...") and which packaging tests to run too ("also: REGEX").
# Each is applied with `git apply` to a scratch copy of the working tree (a repository of its own,
# so that git takes the patches' paths from it), built, run through the unit, end-to-end and fault
# tests, and taken out again, after a baseline run; "only once": each failed test passed a rerun.
#   scripts/sabotage.sh [--check] [NN...]   --check: only say which patches no longer apply
# The table goes to build-sabotage/results.md, each run's test output to build-sabotage/logs/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${PLIMD_SABOTAGE_DIR:-$root/build-sabotage}
tree=$work/tree build=$work/build check=0
[[ ${1:-} == --check ]] && check=1 && shift
patches=()
for n in "${@:-*}"; do patches+=("$root"/scripts/sabotages/$n*.patch); done
mkdir -p "$work/logs" && { [[ -d $tree/.git ]] || git init -q "$tree"; }
# Copied with fresh time stamps where the content differs, so that the build sees each change.
while IFS= read -r -d '' f; do
  [[ ! -f $root/$f ]] || cmp -s "$root/$f" "$tree/$f" || { mkdir -p "$(dirname "$tree/$f")" && cp "$root/$f" "$tree/$f"; }
done < <(git -C "$root" ls-files -z --cached --others --exclude-standard)

run_suite() { # LOG [REGEX]: prints the tests that failed, "(once)" after one that passed again
  local log=$1 test out=""
  { ctest --test-dir "$build" -j2 -E '^packaging\.' --output-on-failure
    [[ -z ${2:-} ]] || ctest --test-dir "$build" -R "$2" --output-on-failure; } >"$log" 2>&1 || true
  for test in $(sed -n '/tests FAILED:$/,/^Errors while/s/^\s*[0-9]* - \([^ ]*\) (.*)$/\1/p' "$log" | sort -u); do
    if ctest --test-dir "$build" -R "^${test//./\\.}\$" >>"$log" 2>&1; then test+=" (once)"; fi
    out+="${out:+, }$test"
  done
  printf '%s' "$out"
}
build_tree() { [[ -f $build/CMakeCache.txt ]] ||
    cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DPLIMD_WERROR=ON >"$work/build.log"
  cmake --build "$build" -j2 >>"$work/build.log" 2>&1
}

if ((!check)); then
  build_tree || { tail -n 30 "$work/build.log"; exit 1; }
  failed=$(run_suite "$work/logs/baseline.log" "$(sed -n 's/^also: //p' "${patches[@]}" | paste -sd'|')")
  [[ -z $(sed 's/, /\n/g' <<<"$failed" | grep -v '(once)$') ]] ||
    { echo "sabotage: the unchanged tree fails: $failed" >&2; exit 1; }
  echo "| sabotage | caught? | tests that failed | what it breaks |"$'\n'"|---|---|---|---|" >"$work/results.md"
fi
for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch) tests="" began=$SECONDS
  if ! git -C "$tree" apply --check "$patch" 2>/dev/null; then verdict=stale
  elif ((check)); then continue
  else
    git -C "$tree" apply "$patch"
    if ! build_tree; then verdict="does not build"; else
      tests=$(run_suite "$work/logs/$name.log" "$(sed -n 's/^also: //p' "$patch")")
      verdict=$(grep -qv '(once)$\|^$' <<<"${tests//, /$'\n'}" && echo yes ||
        { [[ -n $tests ]] && echo "only once" || echo "NOT caught"; })
    fi
    git -C "$tree" apply -R "$patch"
  fi
  echo "$name: $verdict${tests:+ ($tests)} [$((SECONDS - began)) s]"
  ((check)) || echo "| $name | $verdict | $tests | $(sed -n 's/^why: //p' "$patch") |" >>"$work/results.md"
done
