#!/bin/bash
# The README's shell recipes for recorder boxes, each a fenced block that opens with a line
# "# recipe: TITLE", run as written by BusyBox's sh with BusyBox's applets and plimctl alone
# on the PATH: each producer gets its name processed, the stop recipe ends the service.
source "$(dirname "$0")/../lib.sh"
README=$(cd "$(dirname "$0")/../.." && pwd)/README.md

bb=$SCRATCH/busybox-bin
mkdir -p "$bb" "$SCRATCH/recipes"
busybox=$(command -v busybox) || fail "busybox is not installed"
for applet in $(busybox --list); do ln -s "$busybox" "$bb/$applet"; done
ln -s "$PLIMCTL" "$bb/plimctl"
recipe() { env -i PATH="$bb" "$bb/sh" -e "$1" >"$SCRATCH/out" 2>&1 || { cat "$SCRATCH/out"; fail "$1"; }; }

awk -v dir="$SCRATCH/recipes" '
  fence && /^# recipe: / { n++; file = sprintf("%s/%02d %s", dir, n, substr($0, 11)) }
  /^```/ { fence = /^```sh$/; if (!fence) file = ""; next }
  { fence = 0 }
  file { print > file }' "$README"
for kind in producer stop; do
  compgen -G "$SCRATCH/recipes/*$kind*" >/dev/null || fail "the README has no $kind recipe"
done

start_service
wait_idle 0
jobs=0
for file in "$SCRATCH/recipes"/*producer*; do
  say "${file##*/}"
  recipe "$file"
  jobs=$((jobs + 1))
  wait_idle "$jobs"
  name=$(tail -n 1 "$DONE")
  grep -qF "\"$name\"" "$file" || fail "the done list ends with $name, not the recipe's name"
  [ "$(tail -n 1 "$CALLS")" = "$(job_calls "$name" | tail -n 1)" ] || fail "$name not marked"
done

for file in "$SCRATCH/recipes"/*stop*; do
  say "${file##*/}"
  recipe "$file"
  wait_for "the service to end" plimd_count_is 0
done
pass
