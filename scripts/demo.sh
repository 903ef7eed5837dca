#!/usr/bin/env bash
# The relay on its built-in test stream, watched from a browser on this
# machine. The source, the relay and its client run in a private network
# namespace, so no multicast or IGMP ever reaches a real network; only the
# relay's port 8154 is carried out, over a Unix socket, to this machine's
# 127.0.0.1:8154. Ctrl-C ends everything.
set -euo pipefail
cd "$(dirname "$0")/.."

group=239.255.0.1
udp_port=5000
http_port=8154
# Short, so the first run makes it in a couple of seconds. 24 s holds whole
# video frames (60/s) and whole AAC frames (1024 samples at 48 kHz), so at
# each loop the audio overlaps by no more than the encoder's priming frame.
stream_seconds=24
run_hours=12
start_timeout_s=10

scripts/setup.sh
build=$(realpath "${QB_BUILD_DIR:-build}")

# The test stream is made once and reused; it loops at its own rate, each
# pass carrying the clocks on, so players see one endless stream.
stream=$(tools/test_stream.sh "$stream_seconds")

run=$(mktemp -d /tmp/quillbrook-demo.XXXXXX)
netns=quillbrook-demo-$$
host_bridge=
client=

teardown() {
  trap - EXIT INT TERM
  # The client's close frame is what ends the relay cleanly.
  if [ -n "$client" ] && kill -0 "$client" 2>/dev/null; then
    kill -INT "$client" 2>/dev/null || true
    for _ in $(seq 30); do kill -0 "$client" 2>/dev/null || break; sleep 0.1; done
  fi
  [ -n "$host_bridge" ] && kill "$host_bridge" 2>/dev/null || true
  if [ -e "/run/netns/$netns" ]; then scripts/netns.sh del "$netns" || true; fi
  wait 2>/dev/null || true
  rm -rf "$run"
  echo "demo stopped"
}
trap teardown EXIT
trap 'exit 130' INT TERM

# Not for background jobs: $! must be the process itself, not a subshell.
in_netns() { ip netns exec "$netns" "$@"; }

scripts/netns.sh add "$netns"

# The relay serves the player page from its working directory.
cp -r "$build/player" "$run/www"
mkdir -p "$run/home"

host_listening() { [ -n "$(ss -Hltn "sport = :$http_port" 2>/dev/null)" ]; }
if host_listening; then
  echo "127.0.0.1:$http_port is already taken on this machine" >&2
  exit 1
fi
# The bridge goes up first: it only dials the relay when a browser connects,
# and the relay, once started, gives its client no more than about 3 s.
deadline=$((SECONDS + start_timeout_s))
ip netns exec "$netns" socat UNIX-LISTEN:"$run/relay.sock",fork,unlink-early TCP:127.0.0.1:$http_port &
socat TCP-LISTEN:$http_port,bind=127.0.0.1,reuseaddr,fork UNIX-CONNECT:"$run/relay.sock" &
host_bridge=$!
until [ -S "$run/relay.sock" ] && host_listening; do
  kill -0 "$host_bridge" 2>/dev/null || { echo "cannot listen on 127.0.0.1:$http_port" >&2; exit 1; }
  [ $SECONDS -lt $deadline ] || { echo "the bridge to 127.0.0.1:$http_port did not start" >&2; exit 1; }
  sleep 0.1
done

ip netns exec "$netns" "$build/tools/mcast_send" "$stream" "$group" "$udp_port" \
  --realtime --loop --max-seconds $((run_hours * 3600)) &
(cd "$run/www" && HOME="$run/home" exec ip netns exec "$netns" "$build/quillbrook") &
relay=$!
until in_netns bash -c "exec 3<>/dev/tcp/127.0.0.1/$http_port" 2>/dev/null; do
  kill -0 "$relay" 2>/dev/null || { echo "the relay exited at start" >&2; exit 1; }
  [ $SECONDS -lt $deadline ] || { echo "the relay did not listen on $http_port" >&2; exit 1; }
  sleep 0.1
done

echo "relay log: $run/home/.local/share/ombrix/quillbrook.log"
echo "open http://127.0.0.1:$http_port/ in a browser (Ctrl-C ends the demo)"
ip netns exec "$netns" "$build/client/quillbrook-client" "$group:$udp_port" &
client=$!
# The client ends when the relay does, or on Ctrl-C.
wait "$client" || true
client=
