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
grep -qx '  --watch N     redraw the report every N seconds (1 to 86400), with traffic per second' "$work/out" ||
  fail "--help does not describe --watch"

# Runs --watch 1 (and OPTIONS) into FILE until it has drawn COUNT refreshes (lines matching MARKER),
# then sends SIGNAL: the signal comes only once the watch has its handlers, whatever the load (a
# job in the background starts with SIGINT ignored). Sets status; a watch that goes on is killed.
# Usage: watch_then SIGNAL MARKER COUNT FILE [OPTIONS...]
watch_then() {
  local signal=$1 marker=$2 count=$3 file=$4 pid i
  shift 4
  "${run[@]}" --watch 1 "$@" >"$file" 2>"$file.err" &
  pid=$!
  for i in $(seq 600); do
    [ "$(grep -c "$marker" "$file")" -ge "$count" ] || ! kill -0 $pid 2>/dev/null && break
    sleep 0.1
  done
  kill -s "$signal" $pid 2>/dev/null
  for i in $(seq 300); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  kill -0 $pid 2>/dev/null && { kill -KILL $pid; fail "--watch 1 $* went on 30 s after SIG$signal"; }
  wait $pid
  status=$?
}

check_watch() {
  local form=$1 marker=$2; shift 2
  watch_then INT "$marker" 2 "$work/watch" "$@"
  [ $status -eq 0 ] || fail "$form --watch 1 ended by SIGINT exited $status, not 0"
}

# The cards the rates must cover: those in the report's cards section.
check_watch text '^== rates ==$'
refreshes=$(grep -c '^== rates ==$' "$work/watch")
[ "$refreshes" -ge 2 ] || fail "text --watch 1 drew $refreshes refreshes in a minute, not at least 2"
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
watch_then TERM '^== rates ==$' 1 "$work/term"
[ $status -eq 0 ] || fail "--watch 1 ended by SIGTERM exited $status, not 0"
[ "$(grep -c '^== rates ==$' "$work/term")" -ge 1 ] || fail "--watch 1 drew no refresh before SIGTERM"

check_watch json '^  "rates": {$' --json
objects=$(grep -c '^  "rates": {$' "$work/watch")
[ "$objects" -ge 2 ] || fail "--json --watch 1 printed $objects reports with rates in a minute, not at least 2"
grep -q $'\033' "$work/watch" && fail "--json --watch 1 printed a screen clear"
# A single --json report carries no rates (they need two samples).
"${run[@]}" --json >"$work/once" 2>/dev/null
grep -q '"rates"' "$work/once" && fail "a single --json report carries rates"
grep -q '"cpu_interval_ms"' "$work/once" || fail "a single --json report lacks its processor interval"
"${run[@]}" --version | grep -qxE 'vxmdiag [0-9]+\.[0-9]+\.[0-9]+' || fail "--version printed no version"

# The library's records on stderr: warnings and errors only; -v adds info, -vv debug (the debug
# records come from the card queries, so they need a card).
debug=DEBUG; grep -qE '^    "count": [1-9]' "$work/once" || debug=
for row in "|INFO DEBUG" "-v INFO|DEBUG" "-vv INFO $debug|"; do
  read -r -a words <<<"${row%%|*}"
  "${run[@]}" "${words[@]:0:1}" >/dev/null 2>"$work/err"
  for level in "${words[@]:1}"; do grep -q "^\[$level\] " "$work/err" || fail "${words[0]:-no -v}: no $level record"; done
  for level in ${row#*|}; do grep -q "^\[$level\] " "$work/err" && fail "${words[0]:-no -v}: a $level record"; done
done

[ $failures -eq 0 ] || exit 1
echo "vxmdiag options: ok ($refreshes text refreshes)"
