#!/bin/sh
# Builds plimd, installs it (with its folders under /hdd, and stand-ins for the package's two
# tools where those are missing) and starts it. Run as root.
set -eu
cd "$(dirname "$0")/.."

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y g++ cmake make
fi
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DPLIMD_TESTS=OFF
cmake --build build-release -j"$(nproc)"
cmake --install build-release

plimd=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' build-release/CMakeCache.txt)/sbin/plimd
if pidof -q plimd; then
  echo "plimd is already running (pids $(pidof plimd)); end those two processes and run $plimd to start the new build."
else
  "$plimd"
  echo "plimd started; queue: /hdd/plim/files/queue.txt, log: /hdd/plim/files/plim.log"
fi
