#!/bin/bash
# Reproduces the figures of BENCHMARKS.md: installs what they need, builds a Release tree, runs
# every figure in several rounds, each in its own namespaces with scratch /hdd and /tmp/plim,
# and rewrites the results section of BENCHMARKS.md and bench/per_job.png.
# Run as root on an otherwise quiet machine: bench/run.sh [ROUNDS]   (default 9)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-9}
if [ "$(id -u)" != 0 ]; then
  echo "bench/run.sh: run as root (the figures mount tmpfs in private namespaces)" >&2
  exit 1
fi

packages=(g++ cmake make nlohmann-json3-dev iproute2 util-linux strace task-spooler nq gnuplot-nox)
if ! dpkg-query -W "${packages[@]}" >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 "${packages[@]}"
fi

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPLIMD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
# The code before the hardening, for the figures that compare with it, built from the
# repository's history; a tree without it (a release tarball) leaves them out.
before_commit=ebfc2b0
before=
if git cat-file -e "$before_commit^{commit}" 2>/dev/null; then
  rm -rf build-bench-before && mkdir -p build-bench-before/src
  git archive "$before_commit" | tar -x -C build-bench-before/src
  before=$PWD/build-bench-before/build
  cmake -S build-bench-before/src -B "$before" -DCMAKE_BUILD_TYPE=Release -DPLIMD_TESTS=OFF \
    >/dev/null
  cmake --build "$before" -j"$(nproc)" --target plimd >/dev/null
  # Its figures run the same stand-in tools as the others.
  mkdir -p "$before/bench"
  cp "$build/bench/bench_tool" "$build/bench/bench_stamp" "$before/bench/"
fi
# A freshly linked binary's pages stay dirty in the page cache until written back, and would
# count as the processes' own dirty memory in figure 7.
sync

# Mount points for the namespaces' scratch file systems, and a scratch folder on the machine's
# own file system for the figure that shows what the fsyncs cost on a disk.
mkdir -p /hdd /tmp/plim
disk=/var/tmp/plimd-bench
out=$(mktemp -d)
trap 'rm -rf "$out" "$disk"' EXIT
mkdir -p "$disk"

cpu_times() { awk '/^cpu /{print $2+$3+$4+$5+$6+$7+$8+$9, $9}' /proc/stat; }
read -r total_before steal_before < <(cpu_times)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
"$build/bench/plimd_bench" run "$PWD/$build" "$disk" "$out" "$rounds" $before
# Figure 10 runs the service with a tool that keeps a CPU busy: a script of its own.
bench/priority.sh "$build" "$rounds" >"$out/priority.md"
read -r total_after steal_after < <(cpu_times)
steal=$(awk -v s=$((steal_after - steal_before)) -v t=$((total_after - total_before)) \
  'BEGIN{printf "%.1f", t ? 100 * s / t : 0}')

{
  echo "Run of $(date -u +%Y-%m-%d) by \`bench/run.sh $rounds\` at commit $(git rev-parse --short HEAD)," \
    "in $(($(date +%s) - started)) s."
  echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
    "$(awk '/MemTotal/{printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
    "Linux $(uname -r), $(findmnt -no FSTYPE --target "$disk") under figure 8."
  echo "Noise: load average $load_before before the run and" \
    "$(cut -d' ' -f1-3 /proc/loadavg) after; the hypervisor took $steal % of the CPU time (steal)."
  echo
  cat "$out/table.md"
  echo
  cat "$out/priority.md"
} >"$out/section.md"

gnuplot -e "data='$out/per_job.dat'; output='bench/per_job.png'" bench/per_job.gp
awk -v section="$out/section.md" '
  /<!-- results: end -->/ { skipping = 0 }
  !skipping { print }
  /<!-- results: begin -->/ { while ((getline line < section) > 0) print line; skipping = 1 }
' BENCHMARKS.md >"$out/BENCHMARKS.md"
cp "$out/BENCHMARKS.md" BENCHMARKS.md
cat "$out/section.md"
