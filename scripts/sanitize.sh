#!/usr/bin/env bash
# The whole suite under AddressSanitizer+UndefinedBehaviorSanitizer, then under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for kind in address thread; do
  echo "== sanitize: $kind"
  scripts/build.sh "build-$kind" -DVXM_SANITIZE=$kind -DCMAKE_BUILD_TYPE=Debug
  (cd "build-$kind" && ctest --output-on-failure -j "$(nproc)" --timeout 600)
done
