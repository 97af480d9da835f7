#!/usr/bin/env bash
# Compiles the android variant of the platform services against the Android platform headers, and
# links and runs its clock against the platform library where this machine has it.
# Usage: check_android.sh CXX SOURCE_DIR WORK_DIR ANDROID_INCLUDE_DIR [LIBUTILS]
# Exits 77 (skipped) when the headers are not installed.
set -euo pipefail
cxx=$1 src=$2 work=$3 android=$4 libutils=${5:-}
[ -n "$android" ] && [ -f "$android/cutils/properties.h" ] ||
  { echo "skipped: the Android platform headers are not installed (scripts/deps.sh installs them)"; exit 77; }
here=$src/tests/platform
flags=(-std=c++17 -Wall -Wextra -Werror -I"$src/src" -I"$src/include" -I"$android" -I"$here/bionic")
# androidSetThreadPriority is declared for the target only.
for file in clock_android priority_android properties_android; do
  echo "syntax: src/platform/$file.cpp"
  "$cxx" "${flags[@]}" -D__ANDROID__ -fsyntax-only "$src/src/platform/$file.cpp"
done
[ -n "$libutils" ] || { echo "clock: not linked, no platform library for this target"; exit 0; }
mkdir -p "$work"
"$cxx" "${flags[@]}" -o "$work/android_clock" "$here/android_clock.cpp" \
  "$src/src/platform/clock_android.cpp" "$libutils" -Wl,-rpath,"$(dirname "$libutils")"
"$work/android_clock"
echo "clock: monotonic and real time read the system's clocks"
