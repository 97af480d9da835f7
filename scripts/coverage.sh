#!/usr/bin/env bash
# Builds with --coverage, runs the suite (or only the tests matching a CTest regex), and prints
# gcovr's line, function and branch summary for src/. The HTML report, one page per source file
# with every line's and branch's count, is build-coverage/coverage/index.html.
#   scripts/coverage.sh [CTEST_REGEX]
# Branches the compiler adds for exceptions a call might throw are left out of the branch count.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh coverage
dir=build-coverage
flags=--coverage
scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS=$flags -DCMAKE_CXX_FLAGS=$flags \
  -DCMAKE_EXE_LINKER_FLAGS=$flags -DCMAKE_SHARED_LINKER_FLAGS=$flags
find "$dir" -name '*.gcda' -delete
status=0
(cd "$dir" && ctest -j "$(nproc)" --timeout 300 --output-on-failure ${1:+-R "$1"}) || status=$?
mkdir -p "$dir/coverage"
# gcov prints negative branch counts for some inlined code: those records are skipped.
gcovr --root . --filter 'src/' --object-directory "$dir" --gcov-ignore-parse-errors \
      --exclude-unreachable-branches --exclude-throw-branches \
      --html-details "$dir/coverage/index.html" --print-summary 2>/dev/null
exit "$status"
