# What the install checks share (sourced by them): their arguments, skip and fail, the skips of a
# cross-compiled tree (whose programs cannot run here) and of a sanitizer build (whose library a
# plain host cannot load: the sanitizer's runtime must come first), and the C99 host.
# Usage: . common.sh SOURCE_DIR BUILD_DIR C_COMPILER CROSSCOMPILING [SANITIZERS]
set -euo pipefail
src=$1 build=$2 cc=$3 cross=$4 sanitizers=${5:-}
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
case $cross in 1 | TRUE | ON) skip "cross-compiled tree: what it installs cannot run here" ;; esac
[ -z "$sanitizers" ] || skip "built with the $sanitizers sanitizer; the plain build checks what it installs"

# check_hosts USR LIBDIR WORK: builds the C99 host (host.c) against the library installed under USR,
# once through find_package(vxmosal) and once through pkg-config; both must print the known results.
check_hosts() {
  local usr=$1 libdir=$2 work=$3 flags host out
  local expected=$'version 1.0.0\nvalid 192.168.1.1 1\nvalid 300.1.1.1 0\nvalid fe80::1 1\nsplit 3 a b c\ndup installed'
  # find_package: a consumer that finds nothing but the installed package.
  cmake -S "$src/tests/install" -B "$work/host-cmake" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$usr" \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/cmake.log" 2>&1 && cmake --build "$work/host-cmake" \
        >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "building the find_package host"; }
  # pkg-config, with the installed vxmosal.pc only; system directories too, so that the flags can be
  # checked under /usr as well.
  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 \
          pkg-config --cflags --libs vxmosal)
  case "$flags" in *"-I$usr/include"*"-L$libdir"*"-lvxmosal"*) ;; *) fail "pkg-config gave '$flags'" ;; esac
  # shellcheck disable=SC2086
  "$cc" -std=c99 -pedantic-errors -Wall -Werror "$src/tests/install/host.c" $flags -o "$work/host-pc"
  for host in find_package:host-cmake/host pkg-config:host-pc; do
    out=$(LD_LIBRARY_PATH="$libdir" "$work/${host#*:}")
    [ "$out" = "$expected" ] || fail "the ${host%%:*} host printed: $out"
    echo "${host%%:*} host: ok"
  done
}
