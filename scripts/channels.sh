#!/usr/bin/env bash
# N channels and the nginx tier in front of them, on this one machine, for
# trials. As root, on Debian 12:
#
#   scripts/channels.sh [N] [--prefix P] [--ready-file F] [--stream FILE]
#
# Each relay runs in a network namespace of its own (its ports are fixed, so
# one per namespace) with its client; a source namespace loops a test stream
# to group 239.255.1.K for channel K; a tier namespace runs nginx with
# deploy/nginx/quillbrook-tier.conf on port 8080. All of them meet on a
# bridge in a LAN namespace, addresses in 198.51.100.0/24 (TEST-NET-2):
# tier .1, sources .2, channel K .(10+K). Nothing touches this machine's own
# network. Viewers go in the tier namespace:
#
#   ip netns exec ${P}tier tools/hls_viewers.py http://127.0.0.1:8080/ch1/hlsMcast.m3u8 --viewers 100
#   ip netns exec ${P}tier tools/hls_viewers.py http://127.0.0.1:8080/ch1/hlsMcast_ll.m3u8 --low-latency --viewers 100
#
# Runs until Ctrl-C or SIGTERM, then removes everything it made. The same
# layout maps onto real hosts: one relay per host, the tier on its own host,
# and its channel map naming each relay's LAN address.
set -euo pipefail
cd "$(dirname "$0")/.."

channels=2
prefix=qbch-
ready_file=
stream=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --ready-file) ready_file=$2; shift 2 ;;
    --stream) stream=$2; shift 2 ;;
    [0-9]*) channels=$1; shift ;;
    *) echo "usage: $0 [N] [--prefix P] [--ready-file F] [--stream FILE]" >&2; exit 2 ;;
  esac
done
if ! [[ $channels =~ ^[0-9]+$ ]] || (( channels < 1 || channels > 200 )); then
  echo "$0: N must be 1 to 200" >&2
  exit 2
fi

build=$(realpath "${QB_BUILD_DIR:-build}")
[ -x "$build/quillbrook" ] || { echo "$0: no relay in $build; run scripts/setup.sh" >&2; exit 1; }
scripts/install-packages.sh nginx iproute2
if [ -z "$stream" ]; then
  stream=$(tools/test_stream.sh 24)
fi

run=$(mktemp -d /tmp/quillbrook-channels.XXXXXX)
chmod 755 "$run"  # nginx's workers run as www-data
lan=${prefix}lan tier=${prefix}tier src=${prefix}src
namespaces=()

teardown() {
  trap - EXIT INT TERM
  # Hosts before the LAN that joins them; the relays' clients close their
  # control channels as they end.
  for ((i = ${#namespaces[@]} - 1; i >= 0; i--)); do scripts/netns.sh del "${namespaces[i]}" || true; done
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap teardown EXIT
trap 'exit 0' INT TERM

# Not for background jobs: their $! must be the process itself, not a subshell.
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

make_ns() {
  scripts/netns.sh add "$1"
  namespaces+=("$1")
}

# A host on the LAN: its end of a veth is eth0 in its namespace, the other
# end is a port of the bridge.
attach() {
  local ns=$1 address=$2 port=${3:?}
  make_ns "$ns"
  ip link add "$port" netns "$lan" type veth peer name eth0 netns "$ns"
  in_ns "$lan" ip link set "$port" master br0 up
  in_ns "$ns" ip addr add "$address/24" dev eth0
  in_ns "$ns" ip link set eth0 up
  in_ns "$ns" ip route replace 224.0.0.0/4 dev eth0
}

make_ns "$lan"
in_ns "$lan" ip link add br0 type bridge mcast_snooping 0
in_ns "$lan" ip link set br0 up
attach "$tier" 198.51.100.1 p-tier
attach "$src" 198.51.100.2 p-src

map=$run/quillbrook-channels.map
: >"$map"
for k in $(seq "$channels"); do
  ns=${prefix}ch$k address=198.51.100.$((10 + k))
  attach "$ns" "$address" "p-ch$k"
  mkdir -p "$run/ch$k/wd" "$run/ch$k/home"
  cp -r "$build/player/." "$run/ch$k/wd/"
  # eth0 is a veth, which the relay would pass over; name it so the playlist
  # carries the address the tier reaches it at.
  (cd "$run/ch$k/wd" && HOME=$run/ch$k/home QUILLBROOK_INTERFACE=eth0 exec ip netns exec "$ns" "$build/quillbrook") &
  echo $! >"$run/ch$k/relay.pid"
  ip netns exec "$ns" "$build/client/quillbrook-client" --wait-for-relay 5 "239.255.1.$k:5000" \
    >"$run/ch$k/client.log" 2>&1 &
  echo "ch$k $address:8154;" >>"$map"
done

# Sources start once every relay has joined its group, so each relay sees
# its stream from the first datagram on.
deadline=$((SECONDS + 30))
for k in $(seq "$channels"); do
  until grep -qs "Entering mcast receive loop" "$run/ch$k/home/.local/share/ombrix/quillbrook.log"; do
    if [ $SECONDS -ge $deadline ]; then echo "$0: relay $k did not start its stream" >&2; exit 1; fi
    sleep 0.2
  done
  ip netns exec "$src" "$build/tools/mcast_send" "$stream" "239.255.1.$k" 5000 --realtime --loop \
    --max-seconds 43200 >"$run/ch$k/source.log" 2>&1 &
  echo $! >"$run/ch$k/source.pid"
done

# The tier: the shipped configuration with this run's paths and port.
sed -e "s|/etc/nginx/quillbrook-channels.map|$map|" -e "s|/var/cache/nginx/quillbrook|$run/cache|" \
  -e 's|listen 80;|listen 8080;|' -e 's|listen \[::\]:80;|listen [::]:8080;|' \
  deploy/nginx/quillbrook-tier.conf >"$run/quillbrook-tier.conf"
cat >"$run/nginx.conf" <<EOF
worker_processes 2;
pid $run/nginx.pid;
error_log $run/nginx-error.log warn;
events { worker_connections 4096; }
http {
  include /etc/nginx/mime.types;
  access_log off;
  client_body_temp_path $run/client-body;
  proxy_temp_path $run/proxy-temp;
  include $run/quillbrook-tier.conf;
}
EOF
ip netns exec "$tier" nginx -p "$run" -c "$run/nginx.conf" -g 'daemon off;' &

deadline=$((SECONDS + 60))
for k in $(seq "$channels"); do
  url=http://127.0.0.1:8080/ch$k/hlsMcast.m3u8
  until in_ns "$tier" curl -sf -o /dev/null "$url"; do
    if [ $SECONDS -ge $deadline ]; then echo "$0: channel $k has no playlist behind the tier" >&2; exit 1; fi
    sleep 0.5
  done
  echo "channel $k: $url (in namespace $tier); relay 198.51.100.$((10 + k)):8154 in ${prefix}ch$k"
done
echo "run folder: $run; Ctrl-C ends everything"
[ -z "$ready_file" ] || echo "$run" >"$ready_file"
wait
