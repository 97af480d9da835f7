#!/usr/bin/env bash
# vxmdiag's options as a user meets them: usage errors (status 2, the error, then the usage), the
# version, the levels of the library's records that -v and -vv add, and --watch 1 redrawing the
# report until SIGINT ends it with status 0.
# Usage: check_vxmdiag_options.sh VXMDIAG [EMULATOR WORDS...]
set -uo pipefail
vxmdiag=$1; shift
run=("$@" "$vxmdiag")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# usage_error MESSAGE ARGUMENTS...: exits 2 with MESSAGE and the usage line, and prints no report.
usage_error() {
  local want=$1 status; shift
  "${run[@]}" "$@" >"$work/out" 2>"$work/err"
  status=$?
  [ $status -eq 2 ] && [ ! -s "$work/out" ] &&
    [ "$(head -n 2 "$work/err")" = "$want"$'\n''usage: vxmdiag [--json] [-v] [--card NAME] [--watch N]' ] ||
    fail "[$*] exited $status: $(head -n 2 "$work/err")"
}
watch_error='vxmdiag: --watch needs a whole number of seconds from 1 to 86400'
usage_error "$watch_error" --watch
for bad in 0 -1 abc 2s 1.5 "" 86401 99999999999999999999; do usage_error "$watch_error" --watch "$bad"; done
usage_error "vxmdiag: unknown option '--bogus'" --bogus
"${run[@]}" --version | grep -qxE 'vxmdiag [0-9]+\.[0-9]+\.[0-9]+' || fail "--version printed no version"

# Warnings and errors only; -v adds info, -vv debug (which the card queries log, so only with a card).
debug=DEBUG; "${run[@]}" --json 2>/dev/null | grep -qE '^    "count": [1-9]' || debug=
for row in "|INFO DEBUG" "-v INFO|DEBUG" "-vv INFO $debug|"; do
  read -r -a words <<<"${row%%|*}"
  "${run[@]}" "${words[@]:0:1}" >/dev/null 2>"$work/err"
  for level in "${words[@]:1}"; do grep -q "^\[$level\] " "$work/err" || fail "${words[0]:-no -v}: no $level"; done
  for level in ${row#*|}; do grep -q "^\[$level\] " "$work/err" && fail "${words[0]:-no -v}: a $level record"; done
done

# A job in the background starts with SIGINT ignored: the signal comes once two refreshes show that
# the watch has set its handler.
"${run[@]}" --watch 1 >"$work/watch" 2>&1 &
pid=$!
refreshes() { grep -c '^== rates ==$' "$work/watch"; }
for _ in $(seq 600); do [ "$(refreshes)" -ge 2 ] || ! kill -0 $pid 2>/dev/null && break; sleep 0.1; done
kill -INT $pid
for _ in $(seq 300); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
kill -KILL $pid 2>/dev/null && fail "--watch 1 went on 30 s after SIGINT"
wait $pid || fail "--watch 1 ended by SIGINT exited $?, not 0"
clears=$(grep -o $'\033\\[H\033\\[2J' "$work/watch" | wc -l)
[ "$(refreshes)" -ge 2 ] && [ "$clears" -eq "$(refreshes)" ] || fail "$(refreshes) refreshes, $clears screen clears"
# Each refresh gives every card with an IPv4 address its four rates as whole numbers.
rates=$(grep -cE '^    (tx|rx)_(bytes|packets)_per_s: +[0-9]+$' "$work/watch")
cards=$(sed -n '/^== cards ==$/,/^== /p' "$work/watch" | grep -cE '^    ipv4: +[0-9]+\.')
[ "$rates" -eq $((4 * cards)) ] || fail "$rates rate lines for $cards cards with IPv4 over $(refreshes) refreshes"

[ $failures -eq 0 ] || exit 1
echo "vxmdiag options: ok"
