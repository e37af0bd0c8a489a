#!/bin/bash
# The README's shell recipes for recorder boxes, each a fenced block that opens with a line
# "# recipe: TITLE", run as written by BusyBox's sh with BusyBox's applets and plimctl alone
# on the PATH: each producer gets its name processed, the stop recipe, run last, ends the service.
source "$(dirname "$0")/../lib.sh"

bb=$SCRATCH/busybox-bin
mkdir -p "$bb" "$SCRATCH/recipes"
busybox=$(command -v busybox) || fail "busybox is not installed"
for applet in $(busybox --list); do ln -s "$busybox" "$bb/$applet"; done
ln -s "$PLIMCTL" "$bb/plimctl"
awk -v dir="$SCRATCH/recipes" '
  fence && /^# recipe: / { n++; file = sprintf("%s/%s %02d", dir, $3 == "stop" ? "z" : "a", n) }
  /^```/ { fence = /^```sh$/; if (!fence) file = ""; next }
  { fence = 0 }
  file { print > file }' "$(dirname "$0")/../../README.md"
compgen -G "$SCRATCH/recipes/a *" >/dev/null && compgen -G "$SCRATCH/recipes/z *" >/dev/null ||
  fail "the README has no producer or no stop recipe"

start_service
wait_idle 0
jobs=0
for file in "$SCRATCH/recipes"/*; do
  say "$(sed -n 's/^# recipe: //p' "$file")"
  env -i PATH="$bb" "$bb/sh" -e "$file" >"$SCRATCH/out" 2>&1 || { cat "$SCRATCH/out"; fail "$file"; }
  [[ $file == */z* ]] && wait_for "the service to end" plimd_count_is 0 && continue
  wait_idle $((jobs += 1))
  name=$(tail -n 1 "$DONE")
  grep -qF "\"$name\"" "$file" || fail "the done list ends with $name, not the recipe's name"
  [ "$(tail -n 1 "$CALLS")" = "$(job_calls "$name" | tail -n 1)" ] || fail "$name not marked"
done
pass
