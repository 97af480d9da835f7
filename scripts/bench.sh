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
  # The channel's socket path is fixed: that benchmark owns it with its own daemon in an empty box
  # (no cards, no daemon); the gateway and statistics benchmark makes its own eth0 and routes there.
  runner=()
  case "$(basename "$program")" in
    bench_channel|bench_network_stats) runner=(build-bench/tools/vxmbox/vxmbox --box /dev/null --no-daemon run --);;
  esac
  "${runner[@]+"${runner[@]}"}" "$program" || { echo "$(basename "$program") failed" >&2; status=1; }
  echo
done
exit $status
