#!/usr/bin/env bash
# Installs what is missing, builds, and prints vxmdiag's report of this box.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
build/tools/vxmdiag/vxmdiag "$@"
