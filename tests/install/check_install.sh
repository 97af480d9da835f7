#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds a C99 host against the installed copy
# (through find_package(vxmosal) and through pkg-config). Also checks that the daemon, the tools
# (vxmbox with its share/vxmosal files) and the daemon's systemd unit were installed.
# Usage: check_install.sh SOURCE_DIR BUILD_DIR C_COMPILER CROSSCOMPILING [SANITIZERS]
# Exits 77 (a skip) in a cross-compiled tree and in a sanitizer build.
. "$(dirname "$0")/common.sh"

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix/usr" >"$prefix/install.log" || { cat "$prefix/install.log"; fail "cmake --install"; }
usr=$prefix/usr
libdir=$(dirname "$(find "$usr" -name libvxmosal.so -print -quit)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "libvxmosal.so is not installed"
[ "$(readlink "$libdir/libvxmosal.so")" = libvxmosal.so.1 ] || fail "libvxmosal.so does not link to libvxmosal.so.1"
[ -f "$libdir/libvxmosal.so.1.0.0" ] || fail "libvxmosal.so.1.0.0 is not installed"
for f in include/vxmosal/vxmosal.h include/vxmosal/VXM_network.h sbin/vxmopend bin/vxmdiag \
         bin/vxm-getprop bin/vxm-setprop lib/systemd/system/vxmopend.service bin/vxmbox \
         share/vxmosal/sample.box share/vxmosal/vxmbox/setup.sh share/vxmosal/vxmbox/bin/ps \
         share/vxmosal/vxmbox/bin/iwlist; do
  [ -e "$usr/$f" ] || fail "$f is not installed"
done
for f in sbin/vxmopend share/vxmosal/vxmbox/bin/ps; do [ -x "$usr/$f" ] || fail "$f is not executable"; done
# The installed vxmbox finds its sample box (and beside it its tools) under its own prefix.
"$usr/bin/vxmbox" --help | grep -qF "(default: the sample box, $usr/share/vxmosal/sample.box)" ||
  fail "the installed vxmbox does not find its sample box under $usr/share/vxmosal"
unit=$usr/lib/systemd/system/vxmopend.service
for line in Type=simple Restart=on-failure; do grep -qx "$line" "$unit" || fail "the unit lacks $line"; done
grep -qE '^ExecStart=/.*/sbin/vxmopend$' "$unit" || fail "the unit does not start sbin/vxmopend: $(grep ExecStart "$unit")"

# A consumer has to find none of the library's own dependencies.
targets=$(find "$usr" -name vxmosalTargets.cmake -print -quit)
[ -n "$targets" ] || fail "vxmosalTargets.cmake is not installed"
! grep -nE 'SAFEC|safec|OpenSSL|Threads|INTERFACE_LINK_LIBRARIES' "$targets" || fail "the imported target carries private dependencies"
grep -q '^Requires' "$libdir/pkgconfig/vxmosal.pc" && fail "vxmosal.pc requires other modules"

check_hosts "$usr" "$libdir" "$prefix"
