#!/usr/bin/env bash
# vxmdiag's options as a user meets them: bad --watch arguments are usage errors with status 2, and
# --watch 1 redraws the report with every card's traffic per second until SIGINT, then exits 0.
# Usage: check_vxmdiag_options.sh VXMDIAG [EMULATOR WORDS...]
set -uo pipefail
vxmdiag=$1; shift
run=("$@" "$vxmdiag")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

usage_line='usage: vxmdiag [--json] [-v] [--card NAME] [--watch N]'
watch_error='vxmdiag: --watch needs a whole number of seconds from 1 to 86400'
for bad in MISSING 0 -1 -5 abc 2s 1.5 "" 86401 99999999999999999999; do
  if [ "$bad" = MISSING ]; then args=(--watch); else args=(--watch "$bad"); fi
  "${run[@]}" "${args[@]}" >"$work/out" 2>"$work/err"
  status=$?
  [ $status -eq 2 ] || fail "--watch '$bad' exited $status, not 2"
  [ "$(sed -n 1p "$work/err")" = "$watch_error" ] || fail "--watch '$bad' said: $(sed -n 1p "$work/err")"
  [ "$(sed -n 2p "$work/err")" = "$usage_line" ] || fail "--watch '$bad' gave no usage: $(sed -n 2p "$work/err")"
  [ ! -s "$work/out" ] || fail "--watch '$bad' printed a report"
done

"${run[@]}" --bogus >"$work/out" 2>"$work/err"
status=$?
[ $status -eq 2 ] || fail "--bogus exited $status, not 2"
[ "$(sed -n 1p "$work/err")" = "vxmdiag: unknown option '--bogus'" ] || fail "--bogus said: $(sed -n 1p "$work/err")"
"${run[@]}" --help >"$work/out" 2>"$work/err"
status=$?
[ $status -eq 0 ] || fail "--help exited $status"
grep -qx '  --watch N   redraw the report every N seconds (1 to 86400), with traffic per second' "$work/out" ||
  fail "--help does not describe --watch"

# The cards the rates must cover: those in the report's cards section.
check_watch() {
  local form=$1; shift
  timeout --preserve-status -s INT 2.5 "${run[@]}" --watch 1 "$@" >"$work/watch" 2>"$work/watch.err"
  status=$?
  [ $status -eq 0 ] || fail "$form --watch 1 ended by SIGINT exited $status, not 0"
}

check_watch text
refreshes=$(grep -c '^== rates ==$' "$work/watch")
[ "$refreshes" -ge 2 ] || fail "text --watch 1 drew $refreshes refreshes in 2.5 s, not at least 2"
clears=$(grep -o $'\033\\[H\033\\[2J' "$work/watch" | wc -l)
[ "$clears" -eq "$refreshes" ] || fail "text --watch 1 cleared the screen $clears times for $refreshes refreshes"
[ "$(grep -c '^== statistics ==$' "$work/watch")" -eq "$refreshes" ] || fail "a refresh lacks the statistics"
grep -q '^  cpu_interval_ms:' "$work/watch" && fail "a refresh waited out a processor interval"
# Every card with an IPv4 address shows its four rates as whole numbers in each refresh.
rate_lines=$(grep -cE '^    (tx|rx)_(bytes|packets)_per_s: +[0-9]+$' "$work/watch")
cards_with_ip=$(sed -n '/^== cards ==$/,/^== /p' "$work/watch" | grep -cE '^    ipv4: +[0-9]+\.')
[ "$rate_lines" -eq $((4 * cards_with_ip)) ] || fail "$rate_lines rate lines for $cards_with_ip cards with IPv4 over $refreshes refreshes"
[ "$cards_with_ip" -ge "$refreshes" ] || echo "note: no card with an IPv4 address here; rates show their failure in place"

# SIGTERM ends it as cleanly as SIGINT.
timeout --preserve-status -s TERM 1.5 "${run[@]}" --watch 1 >"$work/term" 2>/dev/null
status=$?
[ $status -eq 0 ] || fail "--watch 1 ended by SIGTERM exited $status, not 0"
[ "$(grep -c '^== rates ==$' "$work/term")" -ge 1 ] || fail "--watch 1 drew no refresh before SIGTERM"

check_watch json --json
objects=$(grep -c '^  "rates": {$' "$work/watch")
[ "$objects" -ge 2 ] || fail "--json --watch 1 printed $objects reports with rates, not at least 2"
grep -q $'\033' "$work/watch" && fail "--json --watch 1 printed a screen clear"
# A single --json report carries no rates (they need two samples).
"${run[@]}" --json >"$work/once" 2>/dev/null
grep -q '"rates"' "$work/once" && fail "a single --json report carries rates"
grep -q '"cpu_interval_ms"' "$work/once" || fail "a single --json report lacks its processor interval"

[ $failures -eq 0 ] || exit 1
echo "vxmdiag options: ok ($refreshes text refreshes)"
