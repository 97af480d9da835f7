#!/usr/bin/env bash
# Installs the Debian packages the build, tests, benchmarks and demo need, and only those missing.
# Usage: scripts/deps.sh [host|cross|bench|coverage|docs|package]   (host is the default; the others
# add what only the cross build, the benchmarks, the coverage report, the API reference or the
# Debian packages need)
set -euo pipefail

host_pkgs=(cmake make g++ pkg-config libsafec-dev libssl-dev libgtest-dev libgmock-dev nlohmann-json3-dev
           scdoc googletest libbenchmark-dev busybox unzip zip iproute2 util-linux procps man-db
           dpkg-dev android-libcutils-dev android-libutils-dev)
cross_pkgs=(g++-arm-linux-gnueabihf qemu-user libc6-dev-armhf-cross)
# The benchmarks' baselines: GLib's GAsyncQueue.
bench_pkgs=(libglib2.0-dev)
# What make coverage adds.
coverage_pkgs=(gcovr)
# What make docs adds.
docs_pkgs=(doxygen)
# What make package adds.
package_pkgs=(lintian file)
# Multiarch packages whose armhf build must match the amd64 one installed beside it (dpkg-shlibdeps
# finds the armhf C++ runtime of the armhf packages through libstdc++6:armhf).
cross_multiarch=(libsafec-dev libsafec3 libssl-dev libssl3 libstdc++6)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing=()
# Installed when some instance is (dpkg -s refuses a name that two architectures share).
want() {
  dpkg-query -W -f='${db:Status-Abbrev}\n' "$1" 2>/dev/null | grep -q '^ii' || missing+=("$1")
}

mode=${1:-host}
for p in "${host_pkgs[@]}"; do want "$p"; done
if [ "$mode" = bench ]; then
  for p in "${bench_pkgs[@]}"; do want "$p"; done
fi
if [ "$mode" = package ]; then
  for p in "${package_pkgs[@]}"; do want "$p"; done
fi
if [ "$mode" = coverage ]; then
  for p in "${coverage_pkgs[@]}"; do want "$p"; done
fi
if [ "$mode" = docs ]; then
  for p in "${docs_pkgs[@]}"; do want "$p"; done
fi
if [ "$mode" = cross ]; then
  for p in "${cross_pkgs[@]}"; do want "$p"; done
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
  fi
  for p in "${cross_multiarch[@]}"; do want "$p:armhf"; done
fi

[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# The amd64 and armhf builds of a multiarch package must carry the same version: pin both to the
# version apt offers for armhf (the installed amd64 one may no longer be offered).
pinned=()
for p in "${missing[@]}"; do
  case "$p" in
    *:armhf)
      base=${p%:armhf}
      v=$(apt-cache policy "$p" | awk '/Candidate:/ {print $2}')
      pinned+=("$p=$v")
      [ "$(dpkg-query -W -f='${Version}' "$base:amd64" 2>/dev/null)" = "$v" ] || pinned+=("$base:amd64=$v");;
    *) pinned+=("$p");;
  esac
done
$SUDO apt-get install -y -qq --no-install-recommends "${pinned[@]}"
