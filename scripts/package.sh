#!/usr/bin/env bash
# Builds the Debian packages (libvxmosal1, libvxmosal-dev, vxmosal-tools, vxmopend) for amd64 with the
# native compiler and for armhf with the cross compiler, in build-package and build-package-arm
# (prefix /usr, no tests), copies them to packages/ and runs lintian over each: errors fail.
# Usage: scripts/package.sh [native|cross]   (both by default)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
scripts/deps.sh package
[ "$which" = native ] || scripts/deps.sh cross
jobs=$(nproc); [ "$jobs" -le 2 ] || jobs=2
mkdir -p packages

package() {
  local dir=$1; shift
  cmake -S . -B "$dir" --no-warn-unused-cli -DCMAKE_INSTALL_PREFIX=/usr -DVXM_BUILD_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  rm -f "$dir"/packages/*.deb
  (cd "$dir" && cpack -B "$PWD/packages" >/dev/null)
  cp "$dir"/packages/*.deb packages/
  for deb in "$dir"/packages/*.deb; do
    echo "package: packages/$(basename "$deb")"
    lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "$deb"
  done
}

[ "$which" = cross ] || package build-package
# GNUInstallDirs picks the multiarch library directory only for native builds.
[ "$which" = native ] || package build-package-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
  -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf
