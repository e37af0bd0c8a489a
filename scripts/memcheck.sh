#!/bin/bash
# Runs the unit tests under valgrind memcheck: any invalid access, use of uninitialised memory
# or leak fails. memcheck cannot replace malloc in a static binary, so they are built linked
# dynamically in a folder of their own. Ends with one FIGURE line.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-valgrind
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPLIMD_WERROR=ON -DPLIMD_STATIC=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target unit_tests >/dev/null
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect -q \
  "$dir/unit_tests" --gtest_brief=1 >"$dir/memcheck.log" 2>&1 ||
  { tail -n 60 "$dir/memcheck.log"; echo "FAIL: memcheck"; exit 1; }
tests=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from.*/\1/p' "$dir/memcheck.log")
echo "FIGURE 8 | $tests unit tests under valgrind memcheck (full leak check) | 0 errors," \
  "0 bytes definitely or indirectly lost"
