#!/bin/bash
# Reproduces the figures of BENCHMARKS.md: installs what they need, builds a Release tree, runs
# every figure in several rounds, each in its own namespaces with scratch /hdd and /tmp/plim
# (bench/ns.sh), and rewrites the results section of BENCHMARKS.md.
# Run as root on an otherwise quiet machine: bench/run.sh [ROUNDS]   (default 9)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-9}
if [ "$(id -u)" != 0 ]; then
  echo "bench/run.sh: run as root (the figures mount tmpfs in private namespaces)" >&2
  exit 1
fi

packages=(g++ cmake make nlohmann-json3-dev iproute2 util-linux procps strace task-spooler nq
  hyperfine jq python3)
if ! dpkg-query -W "${packages[@]}" >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 "${packages[@]}"
fi

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPLIMD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target plimd_probe >/dev/null
# The code before the hardening, for the figures that compare with it, built from the
# repository's history; a tree without it (a release tarball) leaves them out.
before_commit=ebfc2b0
before=
if git cat-file -e "$before_commit^{commit}" 2>/dev/null; then
  rm -rf build-bench-before && mkdir -p build-bench-before/src
  git archive "$before_commit" | tar -x -C build-bench-before/src
  before=build-bench-before/build
  cmake -S build-bench-before/src -B "$before" -DCMAKE_BUILD_TYPE=Release -DPLIMD_TESTS=OFF \
    >/dev/null
  cmake --build "$before" -j2 --target plimd >/dev/null
  # Its figures run the same stand-ins and probe as the others.
  rm -rf "$before/bench" && cp -r "$build/bench" "$before/bench"
fi
# A freshly linked binary's pages stay dirty in the page cache until written back, and would
# count as the processes' own dirty memory in figure 7.
sync

mkdir -p /hdd /tmp/plim
# A scratch folder on the machine's own file system: figure 8 shows what the fsyncs cost there.
disk=/var/tmp/plimd-bench
out=$(mktemp -d)
trap 'rm -rf "$out" "$disk"' EXIT
# Each figure: the build, the file system, the figure and its parameter, the keys' prefix.
figures="$build tmpfs service-jobs 200
$build tmpfs floor-jobs 200
$build tmpfs naive-jobs 200
$build tmpfs ts-jobs 200
$build tmpfs nq-jobs 200
$build tmpfs trigger 40
$build tmpfs fork-floor 40
$build tmpfs scale 10000
$build tmpfs copy 10000
$build tmpfs scale 100000
$build tmpfs copy 100000
$build tmpfs idle 200
$build tmpfs drain-calls 0
$build tmpfs long-line 100
$build $disk service-jobs 200 disk.
$build $disk floor-jobs 200 disk.
${before:-#} tmpfs service-jobs 200 before.
${before:-#} tmpfs idle 200 before."

cpu_times() { awk '/^cpu /{print $2+$3+$4+$5+$6+$7+$8+$9, $9}' /proc/stat; }
read -r total_before steal_before < <(cpu_times)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
# Rounds interleave the figures, so that a noisy spell of the machine hits all of them alike.
for round in $(seq "$rounds"); do
  while read -r bin fs figure arg prefix; do
    [ "$bin" = "#" ] && continue
    echo "round $round/$rounds: $figure $arg $prefix" >&2
    bench/ns.sh "$bin" "$fs" "$figure" "$arg" | sed "s/^/$prefix/" >>"$out/raw"
  done <<<"$figures"
done
# Figure 10 runs its rounds in one service, whose tool keeps a CPU busy.
bench/ns.sh "$build" tmpfs priority "$rounds" >>"$out/raw"
read -r total_after steal_after < <(cpu_times)
steal=$(awk -v s=$((steal_after - steal_before)) -v t=$((total_after - total_before)) \
  'BEGIN{printf "%.1f", t ? 100 * s / t : 0}')

{
  echo "Run of $(date -u +%Y-%m-%d) by \`bench/run.sh $rounds\` at commit $(git rev-parse --short HEAD)," \
    "in $(($(date +%s) - started)) s."
  echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
    "$(awk '/MemTotal/{printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
    "Linux $(uname -r), $(findmnt -no FSTYPE --target /var/tmp) under figure 8."
  echo "Noise: load average $load_before before the run and" \
    "$(cut -d' ' -f1-3 /proc/loadavg) after; the hypervisor took $steal % of the CPU time (steal)."
  echo
  python3 bench/report.py "$rounds" <"$out/raw"
} >"$out/section.md"
cp "$out/raw" "${PLIMD_BENCH_RAW:-/dev/null}"
awk -v section="$out/section.md" '
  /<!-- results: end -->/ { skipping = 0 }
  !skipping { print }
  /<!-- results: begin -->/ { while ((getline line < section) > 0) print line; skipping = 1 }
' BENCHMARKS.md >"$out/BENCHMARKS.md"
cp "$out/BENCHMARKS.md" BENCHMARKS.md
cat "$out/section.md"
