#!/bin/bash
# Cross-builds fully static plimd, plimctl, the stand-in tools and the unit tests for each
# recorder CPU with Debian's cross compilers, runs the unit tests under qemu-user, and prints
# the stripped size of each static binary. Arguments: target triples (default: all three).
set -euo pipefail
cd "$(dirname "$0")/.."

triples=("$@")
[[ ${#triples[@]} -gt 0 ]] || triples=(aarch64-linux-gnu arm-linux-gnueabihf mipsel-linux-gnu)
sizes=""
for triple in "${triples[@]}"; do
  dir=build-cross-$triple
  echo "=== cross build: $triple"
  # The toolchain is fixed when a build folder is made; naming it again only draws a warning.
  toolchain=()
  [[ -f $dir/CMakeCache.txt ]] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$triple.cmake")
  cmake -S . -B "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DPLIMD_STATIC=ON \
    -DPLIMD_WERROR=ON >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target plimd plimctl plim plim_mark unit_tests
  qemu=$(sed -n 's/^set(PLIMD_QEMU \(.*\))$/\1/p' "cmake/toolchains/$triple.cmake")
  # Run in the build folder: the tests' scratch files go to /tmp as natively.
  "$qemu" "$dir/unit_tests" --gtest_brief=1
  for binary in plimd plimctl; do
    "$triple-strip" -o "$dir/$binary.stripped" "$dir/$binary"
    sizes+=$(printf '%-22s %-8s %9d bytes' "$triple" "$binary" \
      "$(stat -c %s "$dir/$binary.stripped")")$'\n'
  done
done
echo "=== stripped static binaries"
printf '%s' "$sizes"
