#!/usr/bin/env bash
# Private network namespaces, the only place where senders, relays and
# receivers run, so no multicast, IGMP or test traffic reaches a real network.
# Each holds its own loopback, up, with the multicast range routed onto it.
# As root:
#
#   scripts/netns.sh add NAME          a named namespace (/run/netns/NAME)
#   scripts/netns.sh del NAME          ends what still runs in it, then removes it
#   scripts/netns.sh run COMMAND...    COMMAND in a fresh namespace that ends with it
set -euo pipefail

loopback_only() {
  ip "$@" link set lo up
  ip "$@" link set lo multicast on
  ip "$@" route add 224.0.0.0/4 dev lo
}

case "${1:-}" in
  add)
    ip netns add "$2"
    loopback_only -n "$2" ;;
  del)
    # Five seconds to end cleanly, then whatever still runs is killed, so
    # removing always ends.
    pids() { ip netns pids "$1" 2>/dev/null || true; }
    for pid in $(pids "$2"); do kill "$pid" 2>/dev/null || true; done
    for _ in $(seq 50); do [ -z "$(pids "$2")" ] && break; sleep 0.1; done
    for pid in $(pids "$2"); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns del "$2" ;;
  run)
    shift
    exec unshare --net -- "$0" _inside "$@" ;;
  _inside)
    shift
    loopback_only
    exec "$@" ;;
  *)
    echo "usage: $0 add NAME | del NAME | run COMMAND..." >&2
    exit 2 ;;
esac
