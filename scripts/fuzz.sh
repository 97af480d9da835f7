#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
seconds=${1:-60}
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq libclang-rt-14-dev; }
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DVXM_BUILD_FUZZ=ON -DVXM_BUILD_TESTS=OFF -DVXM_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j 2 --target fuzz_counters
mkdir -p build-fuzz/corpus
build-fuzz/fuzz/fuzz_counters -max_total_time="$seconds" -max_len=4096 build-fuzz/corpus
