#!/usr/bin/env bash
# Builds the relay and runs it in a private network namespace with a client
# that describes a stream, until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec unshare --net bash -c '
  ip link set lo up; ip link set lo multicast on; ip route add 224.0.0.0/4 dev lo
  work=$(mktemp -d); cd "$work"
  HOME="$work" '"$PWD"'/build/quillbrook &
  sleep 0.5
  /usr/bin/python3 -c "
import asyncio, websockets
async def main():
    async with websockets.connect(\"ws://127.0.0.1:8154/\", subprotocols=[\"ObQuillbrook\"], ping_interval=None) as ws:
        print(await ws.recv())
        await ws.send(\"239.1.1.1:5000\")
        print(\"relay running; Ctrl-C ends it\")
        await asyncio.Future()
asyncio.run(main())
"'
