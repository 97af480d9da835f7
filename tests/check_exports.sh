#!/usr/bin/env bash
# The shared object exports exactly the names of its version script: nothing missing, nothing foreign.
# Usage: check_exports.sh NM LIBRARY VERSION_SCRIPT
set -euo pipefail
nm=$1 lib=$2 map=$3
expected=$(sed -e 's#/\*.*\*/##g' "$map" | tr ';' '\n' | sed -n '/global:/,/local:/p' |
           sed -e 's/global://' -e 's/local://' | tr -d ' \t' | grep -v '^$' | sort)
actual=$("$nm" -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exported names differ from $map (< expected, > exported):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
soname=$(readelf -d "$lib" 2>/dev/null | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p' || true)
if command -v readelf >/dev/null && [ "$soname" != "libvxmosal.so.1" ]; then
  echo "SONAME is '$soname', not libvxmosal.so.1"; exit 1
fi
echo "exports: $(echo "$actual" | wc -l) names, exactly the version script's"
