#!/bin/bash
# Producers and watchers: an endless queue line may not stop the jobs. Status names the running
# job, its tool and the tool's last line; log --follow prints the lines the tools write as they
# come and ends with the job's outcome (which lines of a record log prints is LogRecordTest's).
# The README's shell recipes for recorder boxes, each a fenced block that opens with a line
# "# recipe: TITLE", run as written by BusyBox's sh with BusyBox's applets and plimctl alone on
# the PATH: each producer gets its name processed, the stop recipe, run last, ends the service.
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

# Watching a job: the analysis tool prints a line, waits for /hdd/more, prints another and waits for /hdd/go.
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "plim: first of $(basename "$2" .rec)"
while [ ! -e /hdd/more ]; do sleep 0.02; done
printf 'plim: 50%%\rplim: after more\n'
while [ ! -e /hdd/go ]; do sleep 0.02; done
TOOL
"$PLIMCTL" add "Slow One"
wait_for "the tool's first line" grep -q "first of" "$LOG"
for line in "in progress: Slow One" "tool: plim" "last line: plim: first of Slow One"; do
  status_has "$line"
done
"$PLIMCTL" log --follow "Slow One" >"$SCRATCH/follow" &
follower=$!
wait_for "log --follow to print the first line" grep -q "first of" "$SCRATCH/follow"
touch /hdd/more
wait_for "the line written after it started" grep -q "after more" "$SCRATCH/follow"
alive "$follower" || fail "log --follow ended while the job ran"
status_has "last line: plim: after more"
touch /hdd/go
wait "$follower" || fail "log --follow returned $?, not 0"
expect_file "$SCRATCH/follow" <(
  printf '>>>>>>>> plim start Slow One\n*************** plim ***************\n'
  printf 'plim: first of Slow One\nplim: 50%%\rplim: after more\n*************** plim_mark '
  printf '***************\nplim_mark: stdout Slow One\n>>>>>>>> plim stop Slow One\n')

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

# The watched tool, left in place, ends at once now.
jobs=2
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
