#!/bin/sh
# Builds plimd and plimctl, installs them (with the service's folders under /hdd, stand-ins for
# the package's two tools where those are missing, an init script, a systemd unit and a
# logrotate snippet) and starts the service through the init system in charge. Run as root.
# PLIMD_BUILD_DIR names the build folder (default: build-release in this tree).
set -eu
cd "$(dirname "$0")/.."
build=${PLIMD_BUILD_DIR:-build-release}

# A second copy beside the Debian package would fight it over the init script, the unit and the
# port; the package is upgraded instead, or removed first.
state=$(dpkg-query -W -f='${db:Status-Status}' plimd 2>/dev/null || true)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
  echo "The plimd Debian package is on this machine ($state). Upgrade it with this tree:" >&2
  echo "  scripts/build-deb.sh && apt install ./build-deb/plimd_*.deb" >&2
  echo "or remove it first (purging also removes its queue and logs): dpkg --purge plimd" >&2
  exit 1
fi

# The build tools and the JSON library's header, each only where it is missing.
build_packages="g++ cmake make nlohmann-json3-dev"
# shellcheck disable=SC2086
installed=$(dpkg-query -W -f='${Status}\n' $build_packages 2>/dev/null | grep -cx 'install ok installed' || true)
if [ "$installed" -ne 4 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y $build_packages
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPLIMD_TESTS=OFF
cmake --build "$build" -j"$(nproc)"
cmake --install "$build"

# Restarting rather than starting puts a new build in place of one already running.
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload
  systemctl enable plimd.service
  systemctl restart plimd.service
elif [ -x /etc/init.d/plimd ]; then
  if command -v update-rc.d >/dev/null; then update-rc.d plimd defaults; fi
  /etc/init.d/plimd restart
else
  plimd=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")/sbin/plimd
  if pidof -q plimd; then
    echo "plimd is already running (pids $(pidof plimd)); end those two processes and run $plimd to start the new build."
    exit 0
  fi
  "$plimd"
fi
echo "plimd started. Queue a recording: plimctl add NAME; watch: plimctl status"
