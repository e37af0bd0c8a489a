#!/bin/bash
# Builds the Debian package with CPack in the folder $1 (default: build-deb) and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-deb}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DPLIMD_TESTS=OFF \
  -DPLIMD_WERROR=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
rm -f "$dir"/plimd_*.deb
(cd "$dir" && cpack >/dev/null)
ls "$(cd "$dir" && pwd)"/plimd_*.deb
