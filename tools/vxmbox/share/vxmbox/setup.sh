#!/usr/bin/env bash
# Builds the inside of a box; vxmbox runs it as the first child of the box's init, in the box's
# fresh mount, network and PID namespaces (and user namespace when not root).
#   setup.sh KEPT_PATH...
# KEPT_PATH: paths whose top-level directory under /tmp stays visible in the box's private /tmp.
# The cards come in VXMBOX_CARD_COUNT and VXMBOX_CARD_<i> ("name kind up carrier mac ipv4 ipv6
# gateway gateway6", "-" for what the box file leaves out).
# Each card is a veth pair: the box's end carries the card's name; the far end, of the same name,
# sits in a second network namespace held by a sleeping process: the upstream network, which holds
# the gateway addresses and answers for them. Nothing outside the two namespaces is touched.
set -u

fail() {
  echo "vxmbox: cannot set up the box: $*" >&2
  exit 1
}

# Waits (at most 10 s) until the command succeeds.
wait_for() {
  local end=$((SECONDS + 10))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.01
  done
}

mount --make-rprivate / || fail "mount --make-rprivate / was refused"
mount -t proc proc /proc || fail "the box's own /proc could not be mounted"
# /sys/class/net lists the cards of the namespace that mounted sysfs: a fresh mount shows the box's.
mount -t sysfs sysfs /sys || fail "the box's own /sys could not be mounted"

# The private /tmp: each kept directory is opened before the tmpfs hides it and bound back
# through /proc/self/fd, which still reaches it.
keep=()
for path in "$@"; do
  path=$(realpath -m "$path")
  case "$path" in
    /tmp/*) rest=${path#/tmp/}; top="/tmp/${rest%%/*}" ;;
    *) continue ;;
  esac
  [ -d "$top" ] || continue
  for k in "${keep[@]+"${keep[@]}"}"; do [ "$k" = "$top" ] && continue 2; done
  keep+=("$top")
done
fd=10
for d in "${keep[@]+"${keep[@]}"}"; do eval "exec $fd<\"\$d\""; fd=$((fd + 1)); done
mount -t tmpfs -o mode=1777 tmpfs /tmp || fail "the private /tmp could not be mounted"
fd=10
for d in "${keep[@]+"${keep[@]}"}"; do
  mkdir -p "$d" && mount --no-canonicalize --bind "/proc/self/fd/$fd" "$d" ||
    fail "$d could not be bound into the private /tmp"
  eval "exec $fd<&-"
  fd=$((fd + 1))
done
mkdir -p /tmp/vxmbox/properties || fail "/tmp/vxmbox could not be made"

ip link set lo up || fail "the loopback could not be brought up"

# The upstream network's namespace, held by a process that the box's init ends with the box.
unshare --net -- sleep infinity </dev/null >/dev/null 2>&1 &
holder=$!
own=$(readlink /proc/self/ns/net)
upstream_made() {
  local ns
  ns=$(readlink "/proc/$holder/ns/net" 2>/dev/null) && [ "$ns" != "$own" ]
}
wait_for upstream_made || fail "the upstream network namespace could not be made"
up() { nsenter --net="/proc/$holder/ns/net" "$@"; }
up ip link set lo up || fail "the upstream loopback could not be brought up"

# Routing tables named after the cards, as the box has them ("ip route list table eth0"); the
# names live on a tmpfs over rt_tables.d in this mount namespace only.
# Where the machine has no rt_tables.d, a copy of /etc/iproute2 with one is bound over it.
tables=""
if [ -d /etc/iproute2/rt_tables.d ]; then
  mount -t tmpfs -o mode=0755 tmpfs /etc/iproute2/rt_tables.d && tables=/etc/iproute2/rt_tables.d/vxmbox.conf
elif [ -d /etc/iproute2 ]; then
  cp -a /etc/iproute2 /tmp/vxmbox/iproute2 && mkdir -p /tmp/vxmbox/iproute2/rt_tables.d &&
    mount --bind /tmp/vxmbox/iproute2 /etc/iproute2 && tables=/etc/iproute2/rt_tables.d/vxmbox.conf
fi
[ -n "$tables" ] ||
  echo "vxmbox: note: the routing tables cannot be named after the cards here (no /etc/iproute2)" >&2

operstate() { [ "$(cat "/sys/class/net/$1/operstate" 2>/dev/null)" = "$2" ]; }

cards=()
for ((i = 0; i < ${VXMBOX_CARD_COUNT:-0}; i++)); do
  var="VXMBOX_CARD_$i"
  cards+=("${!var}")
done

# The cards with their addresses, both ends.
for card in "${cards[@]+"${cards[@]}"}"; do
  read -r name kind is_up carrier mac ipv4 ipv6 gateway gateway6 <<< "$card"
  ip link add "$name" type veth peer name "$name" netns "$holder" ||
    fail "card $name could not be made (ip link add refused it)"
  if [ "$mac" != - ]; then ip link set "$name" address "$mac" || fail "card $name refused MAC $mac"; fi
  if [ "$ipv4" != - ]; then
    ip -4 addr add "$ipv4" dev "$name" || fail "card $name refused address $ipv4"
    if [ "$gateway" != - ]; then
      up ip -4 addr add "$gateway/${ipv4#*/}" dev "$name" || fail "the upstream refused gateway $gateway"
    fi
  fi
  if [ "$ipv6" != - ]; then
    ip -6 addr add "$ipv6" dev "$name" nodad || fail "card $name refused address $ipv6"
    if [ "$gateway6" != - ]; then
      up ip -6 addr add "$gateway6/${ipv6#*/}" dev "$name" nodad || fail "the upstream refused gateway6 $gateway6"
    fi
  fi
done

# Up all at once, then wait for those with carrier: the kernel sets the operational state (which
# the running flag follows) asynchronously, up to a second later.
for card in "${cards[@]+"${cards[@]}"}"; do
  read -r name kind is_up carrier rest <<< "$card"
  if [ "$carrier" = 1 ]; then up ip link set "$name" up || fail "the upstream end of $name stays down"; fi
  if [ "$is_up" = 1 ]; then ip link set "$name" up || fail "card $name could not be brought up"; fi
done
for card in "${cards[@]+"${cards[@]}"}"; do
  read -r name kind is_up carrier rest <<< "$card"
  if [ "$is_up" = 1 ] && [ "$carrier" = 1 ]; then
    wait_for operstate "$name" up || fail "card $name did not come up"
  fi
done

# Default routes of the cards that are up, in the main table and in the card's own.
i=0
for card in "${cards[@]+"${cards[@]}"}"; do
  read -r name kind is_up carrier mac ipv4 ipv6 gateway gateway6 <<< "$card"
  table=$((100 + i))
  i=$((i + 1))
  [ "$is_up" = 1 ] || continue
  [ -n "$tables" ] && echo "$table $name" >> "$tables"
  if [ "$gateway" != - ]; then
    ip -4 route add default via "$gateway" dev "$name" metric "$table" &&
      ip -4 route add default via "$gateway" dev "$name" table "$table" ||
      fail "the default route through $gateway could not be added"
  fi
  if [ "$gateway6" != - ]; then
    ip -6 route add default via "$gateway6" dev "$name" metric "$table" ||
      fail "the IPv6 default route through $gateway6 could not be added"
  fi
done
exit 0
