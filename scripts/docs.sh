#!/usr/bin/env bash
# Builds the API reference from the public headers into build-docs/html; any doxygen warning fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh docs
# The front page shows the same C host as the README.
c_host() { sed -n '/^```c$/,/^```$/p' "$1"; }
if ! diff <(c_host README.md) <(c_host doc/mainpage.md) >/dev/null; then
  echo "docs: the C host of doc/mainpage.md differs from the README's" >&2
  exit 1
fi
rm -rf build-docs/html
doxygen doc/Doxyfile
echo "docs: build-docs/html/index.html"
