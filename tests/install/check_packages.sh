#!/usr/bin/env bash
# The Debian packages as a user meets them: builds them from a build tree, installs them on this
# machine with dpkg, builds the C99 host against them, runs the installed vxmdiag --json, checks
# each program's --help against its manual page, then purges them and checks no file of theirs is
# left. The packages are purged whatever happens once they are in.
# Usage: check_packages.sh SOURCE_DIR BUILD_DIR C_COMPILER CROSSCOMPILING [SANITIZERS]
# Exits 77 (a skip) when not root, without dpkg, in a cross or sanitizer build, in a build for
# another prefix than /usr, and when the packages are installed already (they are left alone).
. "$(dirname "$0")/common.sh"
[ "$(id -u)" -eq 0 ] || skip "installing packages needs root"
command -v dpkg >/dev/null && command -v cpack >/dev/null || skip "no dpkg or cpack here"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || skip "the build installs under $prefix; packages come from a build for /usr"

pkgs=(libvxmosal1 libvxmosal-dev vxmosal-tools vxmopend)
# One run at a time on this machine.
exec 9>/run/lock/vxmosal-check-packages.lock
flock -w 600 9 || skip "another package check held the lock for 10 minutes"
dpkg-query -W -f='${db:Status-Abbrev}${Package}\n' "${pkgs[@]}" 2>/dev/null | grep '^.i' && skip "installed already"

work=$(mktemp -d)
trap 'dpkg --purge "${pkgs[@]}" >"$work/purge-again.log" 2>&1; rm -rf "$work"' EXIT
# dpkg waits for no other dpkg: retry while one holds its lock.
dpkg_do() {
  for _ in $(seq 120); do
    "$@" >"$work/dpkg.log" 2>&1 && return 0
    grep -q 'lock' "$work/dpkg.log" || break
    sleep 1
  done
  cat "$work/dpkg.log"
  return 1
}

cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
dpkg_do dpkg -i "$work"/deb/*.deb || fail "dpkg -i"
# What the packages hold, as dpkg knows it (the directories they share with others aside).
dpkg -L "${pkgs[@]}" | while read -r f; do [ -d "$f" ] && [ ! -L "$f" ] || echo "$f"; done >"$work/files"
libdir=$(dirname "$(grep '/libvxmosal\.so\.1$' "$work/files")")
[ "$libdir" != . ] || fail "libvxmosal1 holds no libvxmosal.so.1"

check_hosts /usr "$libdir" "$work"
/usr/bin/vxmdiag --json >"$work/report.json" 2>"$work/report.err" || fail "vxmdiag --json exited $?"
grep -qx '    "version": "1.0.0"' "$work/report.json" || fail "vxmdiag --json reports no library version"

# Every option line of --help ("  -x, --opt ARG   what it does") stands in the manual page as well.
for prog in vxmdiag vxm-getprop vxm-setprop vxmbox vxmopend; do
  page=$(LC_ALL=C MANWIDTH=4000 man "$prog" 2>"$work/man.err" | col -b | tr -s ' \t' ' ') ||
    fail "man $prog: $(cat "$work/man.err")"
  options=$("$prog" --help | sed -nE 's/^ +(-[^ ].*[^ ]) {2,}(.*)$/\1\t\2/p')
  [ -n "$options" ] || fail "$prog --help names no option"
  while IFS=$'\t' read -r option text; do
    grep -qxF -- " $option" <<<"$page" && grep -qF -- "$text" <<<"$page" ||
      fail "the manual page of $prog lacks '$option   $text'"
  done <<<"$options"
done

dpkg_do dpkg --purge "${pkgs[@]}" || fail "dpkg --purge"
while read -r f; do [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f is left after the purge"; done <"$work/files"
echo "packages: ok ($(wc -l <"$work/files") files installed and removed)"
