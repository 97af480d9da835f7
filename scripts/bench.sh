#!/usr/bin/env bash
# Installs what is missing, builds with optimisation, and runs every benchmark program; each prints
# its ratios against baselines measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DVXM_BUILD_BENCH=ON -DVXM_BUILD_TESTS=OFF
status=0
for program in build-bench/bench/bench_*; do
  [ -f "$program" ] && [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  # The channel's socket path is fixed: that benchmark owns it in a private /tmp with its own daemon.
  runner=()
  [ "$(basename "$program")" = bench_channel ] && runner=(tests/run_in_private_tmp.sh)
  # The gateway and statistics benchmark makes its own eth0 and routes in a namespace of its own.
  [ "$(basename "$program")" = bench_network_stats ] && runner=(tests/run_in_private_tmp.sh --net)
  "${runner[@]+"${runner[@]}"}" "$program" || { echo "$(basename "$program") failed" >&2; status=1; }
  echo
done
exit $status
