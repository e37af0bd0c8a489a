#!/bin/bash
# plimctl(1) and plimd(8) render without a warning from groff or man, and each entry of their
# FILES sections is a tagged paragraph of its own (a path without its .TP runs into the entry
# before it, which neither tool warns of). Exits 125 without groff or man.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
for tool in groff man; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 125; }
done
S=$(mktemp -d)
trap 'rm -rf "$S"' EXIT
failed=0
fail() {
  printf 'FAIL %s\n' "$*"
  failed=$((failed + 1))
}
for page in plimctl.1 plimd.8; do
  sed 's/@VERSION@/0.0/g' "$HERE/$page.in" >"$S/$page"
  LC_ALL=C.UTF-8 groff -ww -man -Tutf8 -z "$S/$page" 2>"$S/groff.err"
  [ -s "$S/groff.err" ] && fail "$page: groff: $(cat "$S/groff.err")"
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$S/$page" >/dev/null 2>"$S/man.err"
  [ -s "$S/man.err" ] && fail "$page: man: $(cat "$S/man.err")"
  # In FILES, a line that is a path alone (.I /path) opens an entry, so .TP must come before it.
  awk '/^\.SH /{files = ($0 == ".SH FILES")} files && /^\.I \// && previous != ".TP" {
         print FILENAME ": line " NR ": " $0 " has no .TP before it"}
       {previous = $0}' "$HERE/$page.in" >"$S/files.err"
  [ -s "$S/files.err" ] && fail "$(cat "$S/files.err")"
done
echo "$failed failed"
[ "$failed" -eq 0 ]
