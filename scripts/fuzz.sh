#!/usr/bin/env bash
# Builds the fuzz targets with clang under ASan+UBSan and runs each for a bounded time:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (60 seconds each, every target, by default)
# Each starts from its committed corpus, fuzz/corpus/<target>; new inputs go to build-fuzz/corpus/
# and a crash to build-fuzz/crashes/. The script fails when any target found one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
seconds=${1:-60}
shift || true
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq libclang-rt-14-dev; }
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -g -O1"
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
      -DVXM_BUILD_FUZZ=ON -DVXM_BUILD_TESTS=OFF -DVXM_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j 2 --target fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=($(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//'))
status=0
for target in "${targets[@]}"; do
  echo "== $target (${seconds} s)"
  mkdir -p "build-fuzz/corpus/$target" build-fuzz/crashes
  seeds=(); [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
  "build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 \
    -artifact_prefix="build-fuzz/crashes/$target-" "build-fuzz/corpus/$target" "${seeds[@]}" \
    2>"build-fuzz/$target.log" || { status=1; tail -n 30 "build-fuzz/$target.log"; }
  tail -n 1 "build-fuzz/$target.log"
done
exit "$status"
