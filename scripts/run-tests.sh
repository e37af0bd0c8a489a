#!/bin/bash
# Checks the formatting; cross-builds static binaries for the recorders' CPUs and runs their unit
# tests under qemu-user; builds their opkg packages; runs the fuzz targets briefly and the unit
# tests under valgrind; then builds and runs every test twice: in a warnings-as-errors build and
# in an AddressSanitizer + UndefinedBehaviorSanitizer build (the install and package tests run in
# the first only: they build their own release binaries). Run as root: the end-to-end tests give
# the service its own namespaces, and report a skip where that is refused.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t packages < <(grep -v '^#' scripts/packages.txt)
if ! dpkg-query -W "${packages[@]}" >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}"
fi

# Each stage says when it starts, so that a slow one shows in the log.
stage() { echo "=== $1 (at ${SECONDS} s)"; }

stage format
# The sources are found on disk, not through git: a release tarball has no repository.
find . \( -path './build*' -o -name .git \) -prune -o -type f \( -name '*.cc' -o -name '*.h' \) \
  -print0 | xargs -0 clang-format --dry-run --Werror
echo "format: clean"

stage "cross builds"
bash scripts/cross-build.sh

stage "opkg packages"
bash scripts/build-ipk.sh

stage "fuzz"
bash scripts/fuzz.sh 20

stage "valgrind"
bash scripts/memcheck.sh

jobs=$(nproc)
for variant in werror:-DPLIMD_WERROR=ON sanitize:-DPLIMD_SANITIZE=ON; do
  dir=build-test-${variant%%:*}
  stage "${variant%%:*} build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPLIMD_WERROR=ON "${variant#*:}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
done
stage done
