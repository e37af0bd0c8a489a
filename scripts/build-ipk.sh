#!/bin/bash
# Builds opkg packages (.ipk) of the static binaries for recorder boxes, one for each target
# triple named (default: the three recorder CPUs and x86_64-linux-gnu), in build-ipk/ or the
# folder $PLIMD_IPK_DIR, and prints their paths. An .ipk is an ar archive of debian-binary,
# control.tar.gz and data.tar.gz, in that order, as opkg-build makes it.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
out=${PLIMD_IPK_DIR:-$src/build-ipk}
triples=("$@")
[[ ${#triples[@]} -gt 0 ]] ||
  triples=(aarch64-linux-gnu arm-linux-gnueabihf mipsel-linux-gnu x86_64-linux-gnu)
version=$(sed -n 's/^project(plimd VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)

# opkg's names for the CPUs, as the feeds of OpenEmbedded-built box images spell them. Debian's
# armhf compiler emits ARMv7-A code with hard floating point (VFPv3-D16, no NEON), which every
# armv7ahf-* box runs; its mipsel compiler emits MIPS32r2 code.
opkg_arch() {
  case $1 in
    aarch64-linux-gnu) echo aarch64 ;;
    arm-linux-gnueabihf) echo armv7ahf ;;
    mipsel-linux-gnu) echo mipsel ;;
    x86_64-linux-gnu) echo x86_64 ;;
    *) echo "build-ipk: no opkg architecture known for $1" >&2 && return 1 ;;
  esac
}

# A tar.gz of folder $1's contents whose entries are root's and read ./name, as opkg-build's.
pack() {
  tar -C "$1" --owner=0 --group=0 --numeric-owner --sort=name --format=gnu -cf - . |
    gzip -9n >"$2"
}

mkdir -p "$out"
for triple in "${triples[@]}"; do
  arch=$(opkg_arch "$triple")
  # The cross builds' own folders, with their flags: a tree that ran scripts/cross-build.sh has
  # the binaries already.
  dir=$src/build-cross-$triple
  toolchain=()
  if [[ $triple != x86_64-linux-gnu && ! -f $dir/CMakeCache.txt ]]; then
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/$triple.cmake")
  fi
  cmake -S "$src" -B "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DPLIMD_STATIC=ON \
    -DPLIMD_WERROR=ON >/dev/null
  cmake --build "$dir" -j2 --target plimd plimctl plim plim_mark >/dev/null

  stage=$out/stage-$triple
  rm -rf "$stage"
  mkdir -p "$stage/data/usr/sbin" "$stage/data/usr/bin" "$stage/data/usr/libexec/plimd" \
    "$stage/data/etc/init.d" "$stage/control"
  for binary in sbin/plimd bin/plimctl libexec/plimd/plim libexec/plimd/plim_mark; do
    "$triple-strip" -o "$stage/data/usr/$binary" "$dir/$(basename "$binary")"
  done
  sed 's|@PLIMD_DAEMON@|/usr/sbin/plimd|' packaging/plimd.init.in >"$stage/data/etc/init.d/plimd"
  chmod 0755 "$stage"/data/usr/*/* "$stage"/data/usr/libexec/plimd/* "$stage/data/etc/init.d/plimd"

  cat >"$stage/control/control" <<CONTROL
Package: plimd
Version: $version
Architecture: $arch
Maintainer: plimd maintainers <plimd@example.org>
Section: video
Priority: optional
Description: post-processing service of a video recorder
 plimd takes recording names off a queue one at a time and runs the recorder's
 analysis and mark tools on each. plimctl queues recordings and shows the job lists.
CONTROL
  echo /etc/init.d/plimd >"$stage/control/conffiles"
  install -m 0755 packaging/ipk/postinst packaging/ipk/prerm packaging/ipk/postrm \
    "$stage/control/"
  echo 2.0 >"$stage/debian-binary"
  pack "$stage/control" "$stage/control.tar.gz"
  pack "$stage/data" "$stage/data.tar.gz"
  ipk=$out/plimd_${version}_$arch.ipk
  rm -f "$ipk"
  (cd "$stage" && ar rcD "$ipk" debian-binary control.tar.gz data.tar.gz)
  echo "$ipk"
done
