#!/bin/bash
# Producers: an endless queue line may not stop the jobs. The README's shell recipes for recorder
# boxes, each a fenced block that opens with a line "# recipe: TITLE", run as written by
# BusyBox's sh with BusyBox's applets and plimctl alone on the PATH: each producer gets its name
# processed, the stop recipe, run last, ends the service.
source "$(dirname "$0")/../lib.sh"

# A sanitizer's shadow memory needs far more address space than any cap worth testing.
if grep -qa __asan_init "$PLIMD"; then CAP=unlimited; else CAP=400000; fi

say "a 100 MB queue line: set aside with a record by a service capped at $CAP KiB; the next name runs"
{ head -c 100000000 /dev/zero | tr '\0' x && printf '\nafter\n'; } >"$QUEUE"
(ulimit -v "$CAP" && start_service) || exit 1
wait_idle 1
expect_file "$DONE" <(printf 'after\n')
set_aside="a queue line of 100000000 bytes is longer than 4096; set aside"
grep -qxF "plimd: $set_aside" /hdd/plimd.err || fail "no message for the line set aside"
history_of "$(printf 'x%.0s' {1..256})" |
  grep -qE "\"error\":\"$set_aside\",(\"run\":\"[0-9a-f-]+\",)?\"outcome\":\"failed\"" ||
  fail "no record for the line set aside: $(head -c 600 "$FILES/history")"

say "the README's recipes"
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

jobs=1
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
