#!/bin/bash
# Which faults does the suite catch? Applies each sabotage of scripts/sabotages.txt in turn (a
# small change that a real bug would make) to a scratch copy of the tree, builds it (Debug,
# -DPLIMD_WERROR=ON), runs the suite, records the tests that failed and restores the copy. The
# working tree is never changed. A developer's tool, not a test: run it as root, like the suite,
# before and after reshaping the tests, and compare its table with RELIABILITY.md.
#
#   scripts/sabotage.sh                 every sabotage of the list
#   scripts/sabotage.sh 07 12-in-progress-after-queue
#                                       only these (by number or by whole name)
#   scripts/sabotage.sh --check         only says which entries no longer apply (stale)
#
# The scratch copy and its build live in build-sabotage/ (PLIMD_SABOTAGE_DIR), kept between
# runs so that each build is incremental; logs/NAME.log there holds each run's test output and
# results.md the table. A baseline run without sabotage comes first; if a test fails (twice) or
# is skipped there, the script stops, as a broken or skipped test would read as a catch or a
# miss. Every test that fails is run once more: "caught? yes" needs a test that failed both
# times; "only once" means every failure passed its rerun, which on this suite has so far been
# a test timing out on a loaded machine, not the sabotage.
#
# The suite run for each sabotage is the unit tests, the end-to-end tests and the quick fault
# scenarios (ctest -j2, about half a minute). The packaging tests are left out: each builds
# its own release inside a sandbox (install alone about 45 s), and they run the same binary as the
# end-to-end tests, only through the init system. They run for the entries that name them on an
# `also:` line: sabotages of packaging files (init script, unit, maintainer scripts), which
# nothing else reads. A code sabotage that only they would catch would be a gap of the
# end-to-end layer, to be closed there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/sabotages.txt
work=${PLIMD_SABOTAGE_DIR:-$root/build-sabotage}
tree=$work/tree
build=$work/build
jobs=2

# The list, parsed: names in order; per name its reason, extra tests and hunks.
declare -a names=()
declare -A why=() also=() hunks=() hunk_file=() hunk_old=() hunk_new=() old_lines=() new_lines=()
parse_list() {
  local line name="" key=""
  while IFS= read -r line || [[ -n $line ]]; do
    case $line in
      '#'* | '') ;;
      '== '*)
        name=${line#== }
        names+=("$name")
        hunks[$name]=0
        ;;
      'why: '*) why[$name]=${line#why: } ;;
      'also: '*) also[$name]=${line#also: } ;;
      '--- '*)
        key="$name:${hunks[$name]}"
        hunks[$name]=$((hunks[$name] + 1))
        hunk_file[$key]=${line#--- }
        hunk_old[$key]="" hunk_new[$key]="" old_lines[$key]=0 new_lines[$key]=0
        ;;
      -*)
        ((old_lines[$key]++ == 0)) || hunk_old[$key]+=$'\n'
        hunk_old[$key]+=${line#-}
        ;;
      +*)
        ((new_lines[$key]++ == 0)) || hunk_new[$key]+=$'\n'
        hunk_new[$key]+=${line#+}
        ;;
      *)
        echo "sabotage: $list: cannot read the line: $line" >&2
        exit 2
        ;;
    esac
  done <"$list"
}

# Copies the working tree's files (tracked and new, not ignored) into the scratch copy where
# their content differs, with a fresh time stamp, so that the build sees every change.
sync_tree() {
  mkdir -p "$tree"
  local file
  while IFS= read -r -d '' file; do
    [[ -f $root/$file ]] || continue
    cmp -s "$root/$file" "$tree/$file" && continue
    mkdir -p "$tree/$(dirname "$file")"
    rm -f "$tree/$file"
    cp "$root/$file" "$tree/$file"
  done < <(git -C "$root" ls-files -z --cached --others --exclude-standard)
}

declare -a saved=()
restore() {
  local file
  for file in "${saved[@]}"; do cp "$work/orig/$file" "$tree/$file"; done
  saved=()
}
trap restore EXIT

# Applies the sabotage `$1` to the scratch copy. On failure, sets `stale` to why and restores.
stale=""
apply() {
  local name=$1 i key file path content before after
  for ((i = 0; i < hunks[$name]; i++)); do
    key="$name:$i" file=${hunk_file[$key]}
    path=$tree/$file
    if [[ ! -f $path ]]; then
      restore
      stale="no file $file"
      return 1
    fi
    content=$(
      cat "$path"
      printf .
    )
    content=${content%.}
    after=${content#*"${hunk_old[$key]}"}
    if [[ -z ${hunk_old[$key]} || $after == "$content" ]]; then
      restore
      stale="old text gone from $file"
      return 1
    fi
    if [[ $after == *"${hunk_old[$key]}"* ]]; then
      restore
      stale="old text found twice in $file"
      return 1
    fi
    before=${content%%"${hunk_old[$key]}"*}
    if [[ ! " ${saved[*]} " == *" $file "* ]]; then
      mkdir -p "$work/orig/$(dirname "$file")"
      cp "$path" "$work/orig/$file"
      saved+=("$file")
    fi
    printf '%s' "$before${hunk_new[$key]}$after" >"$path"
  done
}

# The names of the tests in the section of ctest's summary that starts with `$2`, from `$1`.
summary_tests() {
  sed -n "/^$2/,/^\$/p" "$1" | sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (\(.*\))$/\1 (\2)/p' |
    sed 's/ (Failed)$//'
}

# Runs the suite (and the tests of `also` `$2`) into log `$1`; prints the failed tests. Each
# failed test runs once more: one that passes then is marked "(once)", as a flaky test's failure
# or a race the sabotage opened but did not always lose.
run_suite() {
  local log=$1 extra=${2:-} test first again
  ctest --test-dir "$build" -j"$jobs" -E '^packaging\.' --output-on-failure >"$log" 2>&1 || true
  first=$(summary_tests "$log" 'The following tests FAILED')
  if [[ -n $extra ]]; then
    ctest --test-dir "$build" -R "$extra" --output-on-failure >"$log.extra" 2>&1 || true
    first+=$'\n'$(summary_tests "$log.extra" 'The following tests FAILED')
    cat "$log.extra" >>"$log" && rm -f "$log.extra"
  fi
  for test in $(sed 's/ .*//' <<<"$first"); do
    echo "=== again: $test" >>"$log"
    if ctest --test-dir "$build" -R "^${test//./\\.}\$" --output-on-failure >>"$log" 2>&1; then
      again+="$test (once)"$'\n'
    else
      again+="$(grep -m1 "^$test\b" <<<"$first")"$'\n'
    fi
  done
  printf '%s' "${again:-}"
}

build_tree() {
  if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DPLIMD_WERROR=ON >"$work/build.log" 2>&1 ||
      return 1
  fi
  cmake --build "$build" -j"$jobs" >>"$work/build.log" 2>&1
}

select_names() {
  local arg name found
  [[ $# -gt 0 ]] || {
    printf '%s\n' "${names[@]}"
    return
  }
  for arg; do
    found=0
    for name in "${names[@]}"; do
      if [[ $name == "$arg" || ${name%%-*} == "$arg" ]]; then
        printf '%s\n' "$name"
        found=1
      fi
    done
    [[ $found -eq 1 ]] || {
      echo "sabotage: no sabotage $arg in $list" >&2
      exit 2
    }
  done
}

main() {
  local check=0
  if [[ ${1:-} == --check ]]; then
    check=1
    shift
  fi
  parse_list
  local -a chosen
  mapfile -t chosen < <(select_names "$@")
  mkdir -p "$work/logs"
  sync_tree
  local name start=$SECONDS failed extras="" table
  if [[ $check -eq 1 ]]; then
    for name in "${chosen[@]}"; do
      if apply "$name"; then restore; else echo "$name: stale: $stale"; fi
    done
    return
  fi
  for name in "${chosen[@]}"; do [[ -z ${also[$name]:-} ]] || extras+="${extras:+|}${also[$name]}"; done
  echo "baseline: building and running the suite without sabotage"
  build_tree || {
    tail -n 30 "$work/build.log"
    echo "sabotage: the baseline does not build" >&2
    exit 1
  }
  failed=$(run_suite "$work/logs/baseline.log" "$extras")
  local skipped
  skipped=$(summary_tests "$work/logs/baseline.log" 'The following tests did not run')
  if [[ -n $(grep -v '(once)$' <<<"$failed") || -n $skipped ]]; then
    echo "sabotage: the baseline run failed or skipped tests (run as root?):" $failed $skipped >&2
    exit 1
  fi
  [[ -z $failed ]] || echo "sabotage: flaky on the unchanged tree:" $failed
  table="| sabotage | caught? | tests that failed | what it breaks |"$'\n'"|---|---|---|---|"
  for name in "${chosen[@]}"; do
    local verdict tests="" began=$SECONDS
    if ! apply "$name"; then
      verdict="stale: $stale"
    elif ! build_tree; then
      verdict="does not build"
      tail -n 20 "$work/build.log" >"$work/logs/$name.log"
    else
      tests=$(run_suite "$work/logs/$name.log" "${also[$name]:-}" | paste -sd, | sed 's/,/, /g')
      if sed 's/, /\n/g' <<<"$tests" | grep -qv '(once)$\|^$'; then
        verdict=yes
      elif [[ -n $tests ]]; then
        verdict="only once"
      else
        verdict="NOT caught"
      fi
    fi
    restore
    echo "$name: $verdict${tests:+ ($tests)} [$((SECONDS - began)) s]"
    table+=$'\n'"| $name | $verdict | $tests | ${why[$name]} |"
  done
  # The copy holds the sources again; the next build recompiles what the last sabotage changed.
  printf '%s\n' "$table" | tee "$work/results.md"
  echo "sabotage: ${#chosen[@]} sabotages in $((SECONDS - start)) s; table in $work/results.md"
}

main "$@"
