#!/usr/bin/env bash
# Builds the C99 host (host.c) against the library installed under PREFIX, once through
# find_package(vxmosal) and once through pkg-config, and checks that both print the known results.
# Usage: check_hosts.sh SOURCE_DIR PREFIX LIBDIR C_COMPILER WORK_DIR
set -euo pipefail
src=$1 usr=$2 libdir=$3 cc=$4 work=$5
fail() { echo "FAIL: $*"; exit 1; }

expected='version 1.0.0
valid 192.168.1.1 1
valid 300.1.1.1 0
valid fe80::1 1
split 3 a b c
dup installed'

# check_host NAME BINARY: the host prints the known results.
check_host() {
  out=$(LD_LIBRARY_PATH="$libdir" "$2")
  [ "$out" = "$expected" ] || fail "$1 host printed: $out"
  echo "$1 host: ok"
}

# find_package: a consumer that finds nothing but the installed package.
cmake -S "$src/tests/install" -B "$work/host-cmake" -DCMAKE_C_COMPILER="$cc" \
      -DCMAKE_PREFIX_PATH="$usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; fail "configuring the find_package host"; }
cmake --build "$work/host-cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "building the find_package host"; }
check_host find_package "$work/host-cmake/host"

# pkg-config, with the installed vxmosal.pc only.
# System directories too, so that the flags can be checked under /usr as well.
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs vxmosal)
case "$flags" in *"-I$usr/include"*"-L$libdir"*"-lvxmosal"*) ;; *) fail "pkg-config gave '$flags'";; esac
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic-errors -Wall -Werror "$src/tests/install/host.c" $flags -o "$work/host-pc"
check_host pkg-config "$work/host-pc"
