#!/bin/bash
# plimctl(1) and plimd(8) render without a warning from groff or man, and each entry of their
# FILES sections is a tagged paragraph of its own (a path without its .TP runs into the entry
# before it, which neither tool warns of). Exits 125 without groff or man.
set -u
cd "$(dirname "$0")" || exit 1
for tool in groff man; do command -v "$tool" >/dev/null || { echo "no $tool: skipped"; exit 125; }; done
problems=$(for page in plimctl.1 plimd.8; do
  sed 's/@VERSION@/0.0/g' "$page.in" | LC_ALL=C.UTF-8 groff -ww -man -Tutf8 -z 2>&1 | sed "s/^/$page: groff: /"
  sed 's/@VERSION@/0.0/g' "$page.in" | LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l - 2>&1 >/dev/null | sed "s/^/$page: man: /"
  # In FILES, a line that is a path alone (.I /path) opens an entry, so .TP must come before it.
  awk '/^\.SH /{files = ($0 == ".SH FILES")} files && /^\.I \// && previous != ".TP" {
         print FILENAME ": line " NR ": " $0 " has no .TP before it"}
       {previous = $0}' "$page.in"
done)
[ -z "$problems" ] || { echo "$problems"; exit 1; }
