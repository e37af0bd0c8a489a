#!/bin/bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each for SECONDS (default 20) from a
# copy of its committed seed corpus, so that new inputs never land in the repository. Ends with
# one FIGURE line; fails on the first crash, leak or sanitizer report (the input is kept in the
# build folder).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLIMD_WERROR=ON \
  -DPLIMD_SANITIZE=ON -DPLIMD_FUZZ=ON -DPLIMD_TESTS=OFF >/dev/null
targets=(line_file_fuzz)
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}" >/dev/null
total=0
for target in "${targets[@]}"; do
  corpus=$dir/corpus/${target%_fuzz}
  rm -rf "$corpus" && mkdir -p "$corpus" && cp fuzz/corpus/"${target%_fuzz}"/* "$corpus"
  (cd "$dir" && "./fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -max_len=4096 "corpus/${target%_fuzz}") >"$dir/$target.log" 2>&1 ||
    { tail -n 40 "$dir/$target.log"; echo "FAIL: $target"; exit 1; }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$target.log")
  echo "$target: $runs executions in ${seconds} s"
  total=$((total + runs))
done
echo "FIGURE 6 | libFuzzer, ${#targets[@]} targets (line-file round trip)," \
  "${seconds} s each, $total executions | 0 crashes"
