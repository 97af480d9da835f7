#!/usr/bin/env bash
# Counts the non-blank, non-comment lines of the tests (tests/ and fuzz/) and of everything else
# that git tracks, and prints their ratio: scripts/count-lines.sh
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  # Blank lines, and lines that hold only a comment (//, #, /* ... */ blocks, leading *), are left out.
  xargs -r cat -- | awk '
    /^[ \t]*$/ { next }
    inblock { if ($0 ~ /\*\//) inblock = 0; next }
    /^[ \t]*\/\*/ { if ($0 !~ /\*\//) inblock = 1; next }
    /^[ \t]*(\/\/|#[^a-z!]|#$|\*)/ { next }
    { n++ } END { print n + 0 }'
}
files=$(git ls-files -- '*.c' '*.cpp' '*.h' '*.sh' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' 'Makefile')
tests=$(printf '%s\n' "$files" | grep -E '^(tests|fuzz)/' | count)
code=$(printf '%s\n' "$files" | grep -vE '^(tests|fuzz)/' | count)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests %d, code %d, ratio %.2f\n", t, c, t / c }'
