#!/usr/bin/env bash
# Installs what is missing, builds, and prints vxmdiag's report of a simulated box: vxmdiag runs
# inside vxmbox with the sample box (share/vxmosal/sample.box), so every section has its values.
# Where this machine allows no box (not root and no user namespaces), vxmdiag reports this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
vxmbox=build/tools/vxmbox/vxmbox
if ! reason=$("$vxmbox" run -- true 2>&1); then
  echo "demo: no simulated box here, so vxmdiag reports this machine: $reason" >&2
  exec build/tools/vxmdiag/vxmdiag "$@"
fi
exec "$vxmbox" run -- build/tools/vxmdiag/vxmdiag "$@"
