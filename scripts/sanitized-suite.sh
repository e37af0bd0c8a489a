#!/bin/bash
# Runs the whole CTest suite in an AddressSanitizer + UndefinedBehaviorSanitizer build, the fault
# scenarios in their quick versions, and ends with one FIGURE line. Any sanitizer report fails
# the test it happens in: the unit tests abort on it, the scenarios look for it in the service's
# stderr. Run as root, like scripts/run-tests.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-test-sanitize
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPLIMD_WERROR=ON -DPLIMD_SANITIZE=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
env -u PLIMD_FAULT_FULL ctest --test-dir "$dir" -j"$(nproc)" >"$dir/suite.log" 2>&1 ||
  { grep -E 'Failed|\*\*\*' "$dir/suite.log"; echo "FAIL: the suite under ASan+UBSan"; exit 1; }
tests=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\)/\1/p' "$dir/suite.log")
skipped=$(grep -c '\*\*\*Skipped' "$dir/suite.log" || true)
echo "FIGURE 8 | the whole suite, $tests tests (unit, end-to-end, fault scenarios quick)," \
  "in an ASan+UBSan build, $skipped skipped | 0 failed, 0 sanitizer reports"
