#!/usr/bin/env bash
# vxmbox as a user meets it: bad box files and commands get their message and status; a command's
# status comes back; VXM_utl_killProcess inside the box kills exactly the matching processes; and
# whatever way a box ends (bad command, Ctrl-C), none of its namespaces, processes or files remain.
# Usage: check_vxmbox.sh VXMBOX VXMOPEND KILL_MATCHING
set -uo pipefail
vxmbox=$1 opend=$2 killer=$3
# Not under /tmp: the box's /tmp is its own (the directory stays visible from inside either way).
work=$(mktemp -d "$PWD/check_vxmbox.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# (A command's status 0 coming back is checked with the process killer below.)
"$vxmbox" run -- true 2>"$work/err"
grep -q "needs root\|cannot make the box's namespaces" "$work/err" &&
  echo "SKIP: no box here: $(<"$work/err")" && exit 77

# The daemon, seen from inside the box: notes every namespace in it, then becomes vxmopend.
cat > "$work/opend" <<SCRIPT
#!/bin/sh
for p in /proc/[0-9]*; do readlink \$p/ns/net \$p/ns/mnt \$p/ns/pid; done 2>/dev/null | sort -u > "$work/ns"
exec "$opend" "\$@"
SCRIPT
chmod +x "$work/opend"
export VXMBOX_OPEND=$work/opend

# Whether the namespaces the last box noted are all gone, and its /tmp with them. A namespace's
# number is free again once the box has ended, and a test beside this one may get it: only a process
# started (field 22 of its stat, in clock ticks since boot) before the box ended counts.
box_gone() {
  local ended link pid start
  ended=$(awk -v hz="$(getconf CLK_TCK)" '{ printf "%d", $1 * hz }' /proc/uptime)
  [ -s "$work/ns" ] || fail "$1: the box noted no namespaces"
  for link in $(find /proc/[0-9]*/ns -type l -printf '%h=%l\n' 2>/dev/null | grep -Ff "$work/ns"); do
    pid=${link#/proc/}; pid=${pid%%/*}
    start=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d' ' -f20)
    [ -n "$start" ] && [ "$start" -lt "$ended" ] && fail "$1: namespace left: $link"
  done
  [ ! -e "/tmp/vxmbox-check.$$" ] && [ ! -e /tmp/vxmbox ] || fail "$1: the box's /tmp files are left"
  rm -f "$work/ns"
}

# Box file (or options) | command | status | first line on stderr
cases=(
  "colour = red|true|2|vxmbox: BOX:2: unknown key 'colour'"
  "card.eth0.ipv4 = 192.168.1.300|true|2|vxmbox: BOX:2: '192.168.1.300' is not an IPv4 address (a.b.c.d or a.b.c.d/len)"
  "card.eth0.ipv6 = fd00::1::2/64|true|2|vxmbox: BOX:2: 'fd00::1::2/64' is not an IPv6 address (x::y or x::y/len)"
  "card.eth0.gateway = 10.0.0.1|true|2|vxmbox: BOX: card eth0 has a gateway but no ipv4"
  "card.eth0123456789abc.up = yes|true|2|vxmbox: BOX:2: card name 'eth0123456789abc' is longer than 15 characters"
  "card.eth0.mac = 01:00:5e:00:00:01|true|2|vxmbox: BOX:2: '01:00:5e:00:00:01' is not a unicast MAC address\
 (02:00:00:00:00:01)"
  "release = 8.0.0|true|2|vxmbox: BOX:3: 'release' is given twice"
  "eth0 up|true|2|vxmbox: BOX:2: expected KEY = VALUE"
  "card.eth0.ipv4 = 10.0.0.2|/nonexistent/program|127|vxmbox: cannot run '/nonexistent/program': No such file\
 or directory"
  "card.eth0.ipv4 = 10.0.0.2|$work/box|126|vxmbox: cannot run '$work/box': Permission denied"
  "card.eth0.ipv4 = 10.0.0.2|sh -c 'touch /tmp/vxmbox-check.$$; exit 7'|7|"
)
for row in "${cases[@]}"; do
  IFS='|' read -r line command want_status want_message <<< "$row"
  printf '# a box\n%s\nrelease = 8.0.0\n' "$line" > "$work/box"
  eval "\"\$vxmbox\" --box \"\$work/box\" run -- $command" >/dev/null 2>"$work/err"
  status=$?
  message=$(head -n 1 "$work/err")
  [ $status -eq "$want_status" ] || fail "[$line | $command] exited $status, not $want_status ($message)"
  [ "$message" = "${want_message//BOX/$work/box}" ] || fail "[$line | $command] said: $message"
  if [ "$want_status" -ne 2 ]; then box_gone "[$line | $command]"
  elif [ -e "$work/ns" ]; then fail "[$line] a box was built from a bad box file"; fi
done

# The process killer reads the box's ps: both "dozer" processes are killed (137: SIGKILL), the
# "napper" and the box's daemon are not; a name that matches nothing is a failure.
for name in dozer napper; do ln -s "$(command -v sleep)" "$work/$name"; done
"$vxmbox" run -- sh -c '
  "$1/dozer" 1000 & a=$!; "$1/dozer" 1000 & b=$!; "$1/napper" 1000 & c=$!
  for i in $(seq 1000); do [ "$(cat /proc/$a/comm /proc/$b/comm /proc/$c/comm)" = "$3" ] && break; sleep 0.01; done
  "$2" dozer || exit 11
  wait $a; sa=$?; wait $b; [ $sa$? = 137137 ] || exit 12
  kill -0 $c && [ -S /tmp/vxmopend ] || exit 13
  "$2" nothing-matches-this && exit 14
  exit 0' check "$work" "$killer" "$(printf 'dozer\ndozer\nnapper')" 2>"$work/err" ||
  fail "the process killer inside the box: step $? failed ($(head -n 3 "$work/err"))"
box_gone "the process killer"

# Ctrl-C (here a SIGINT sent to vxmbox): the command ends with it, and so does the box.
"$vxmbox" run -- sh -c 'touch "$1/started"; exec sleep 1000' check "$work" 2>"$work/err" &
box=$!
for _ in $(seq 1000); do [ -e "$work/started" ] && break; sleep 0.01; done
kill -INT $box
wait $box
status=$?
[ $status -eq 130 ] || fail "SIGINT: vxmbox exited $status, not 130 ($(head -n 1 "$work/err"))"
box_gone "SIGINT"

[ $failures -eq 0 ] && echo "check_vxmbox: all passed"
exit $((failures > 0))
