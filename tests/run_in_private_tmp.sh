#!/usr/bin/env bash
# Runs a test program in a private mount namespace with a fresh tmpfs on /tmp, so that it can own
# the fixed channel path /tmp/vxmopend without touching the machine's /tmp (or a daemon on it).
#   run_in_private_tmp.sh [--net] PROGRAM [ARGUMENTS...]
# With --net the program also gets a network namespace of its own, whose loopback is up: it may
# add, address and remove interfaces there without touching the machine's network.
# Inside, VXM_PRIVATE_TMP=1. Directories under /tmp that the run needs (the program's, this
# script's, the working directory: a build tree under /tmp) are bound back into the new /tmp.
# When that cannot be had (not root, no unshare, mount refused), the program still runs, with
# VXM_PRIVATE_TMP=unavailable and the reason in VXM_PRIVATE_TMP_REASON, and its tests report a skip.
# With --net, VXM_PRIVATE_NET is set the same way, and a fresh sysfs on /sys makes /sys/class/net
# show the namespace's own cards (VXM_PRIVATE_NET_REASON says why when it cannot be had).
set -u

net=()
if [ "${1:-}" = --net ]; then
  net=(--net)
  shift
fi
if [ $# -lt 1 ]; then
  echo "usage: $0 [--net] PROGRAM [ARGUMENTS...]" >&2
  exit 2
fi

reason=""
if [ "$(id -u)" -ne 0 ]; then
  reason="not root"
elif ! command -v unshare >/dev/null 2>&1; then
  reason="no unshare command"
elif ! unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null; then
  reason="unshare or the tmpfs mount was refused"
elif [ ${#net[@]} -gt 0 ] && ! unshare --net sh -c 'ip link set lo up' 2>/dev/null; then
  reason="no network namespace with a working loopback (unshare --net or ip failed)"
fi
if [ -n "$reason" ]; then
  export VXM_PRIVATE_TMP=unavailable VXM_PRIVATE_TMP_REASON="$reason"
  [ ${#net[@]} -gt 0 ] && export VXM_PRIVATE_NET=unavailable
  exec "$@"
fi

# The top-level directories under /tmp that must stay visible.
keep=()
for path in "$(realpath "$1" 2>/dev/null || echo "$1")" "$(realpath "$0")" "$(pwd -P)"; do
  case "$path" in
    /tmp/*)
      rest=${path#/tmp/}
      top="/tmp/${rest%%/*}"
      if [ -d "$top" ]; then
        dup=0
        for k in "${keep[@]+"${keep[@]}"}"; do [ "$k" = "$top" ] && dup=1; done
        [ $dup -eq 0 ] && keep+=("$top")
      fi
      ;;
  esac
done

# The inner shell opens each kept directory before the mount hides it and binds it back through
# /proc/self/fd, which still reaches the hidden directory.
exec unshare --mount --propagation private "${net[@]+"${net[@]}"}" bash -c '
  net=$1; shift
  if [ "$net" = 1 ]; then
    ip link set lo up || { echo "run_in_private_tmp: cannot bring lo up" >&2; exit 1; }
    # /sys/class/net lists the cards of the namespace that mounted sysfs: a fresh mount shows ours.
    if mount -t sysfs sysfs /sys; then
      export VXM_PRIVATE_NET=1
    else
      export VXM_PRIVATE_NET=unavailable VXM_PRIVATE_NET_REASON="the sysfs mount on /sys failed"
    fi
  fi
  count=$1; shift
  dirs=("${@:1:$count}"); shift "$count"
  fd=10
  for d in "${dirs[@]+"${dirs[@]}"}"; do eval "exec $fd<\"\$d\""; fd=$((fd + 1)); done
  if ! mount -t tmpfs tmpfs /tmp; then
    export VXM_PRIVATE_TMP=unavailable VXM_PRIVATE_TMP_REASON="the tmpfs mount on /tmp failed"
    exec "$@"
  fi
  fd=10
  for d in "${dirs[@]+"${dirs[@]}"}"; do
    mkdir -p "$d" && mount --no-canonicalize --bind "/proc/self/fd/$fd" "$d" || {
      echo "run_in_private_tmp: cannot bind $d back into the private /tmp" >&2; exit 1; }
    eval "exec $fd<&-"
    fd=$((fd + 1))
  done
  cd "$PWD" 2>/dev/null || true
  export VXM_PRIVATE_TMP=1
  exec "$@"
' run_in_private_tmp "$([ ${#net[@]} -gt 0 ] && echo 1 || echo 0)" "${#keep[@]}" "${keep[@]+"${keep[@]}"}" "$@"
