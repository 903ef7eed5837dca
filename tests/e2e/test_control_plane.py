"""The control plane from outside: the relay's life bound to its WebSocket
clients, what a control session may send, control files and ports. (The
hostile-hosts run, long enough for two, checks the timing and bytes of its
membership reports; the session here, that none comes before a join.)"""
import asyncio
import select
import socket

import pytest
import websockets

from conftest import ALT_PORT, HTTP_PORT, VERSION_TEXT, Relay, poll

EXITED = "Websocket exited, so are we"
RECEIVE_STARTED = "Starting mcast receive thread"
MIB = 1 << 20


def connect(port=HTTP_PORT, path="/"):
    return websockets.connect(f"ws://127.0.0.1:{port}{path}", subprotocols=["ObQuillbrook"], ping_interval=None,
                              close_timeout=1, max_size=None)


async def send(relay, ws, message, frames=1):
    def handled():
        return sum(line.startswith("Websocket got ") for line in relay.log_lines())
    before = handled()
    await (ws.send(message) if frames else ws.ping(message))
    poll(lambda: handled() >= before + max(frames, 1), what=f"relay to handle {str(message)[:40]!r}")


def test_a_control_session(relay, tmp_path):
    """One client through everything a session may bring: junk frames of every
    kind, bad sources, groups, ports and PIDs, a description, a second one, a
    second client and a second relay; then the control files take over. Only
    the group joined is ever reported."""
    sniffer = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_IGMP)
    relay.start()
    refused = {"239.9.9.9@239.1.1.1:5000": "source address 239.9.9.9",
               "239.1.1:5000": "mcast group address 239.1.1", "1:" * (MIB // 2): "mcast group address 1",
               "x\nWebsocket exited, so are we:5000": "mcast group address x?Websocket exited, so are we",
               "239.1.1.1:70000": "port 70000", "239.1.1.1:5000:2000": "video PID 2000"}

    async def session():
        async with connect(ALT_PORT, "/any/path") as ws:
            assert await ws.recv() == VERSION_TEXT
            for junk in (b"239.1.1.1:5000", "239.1.1.1", ":5000", "x" * MIB, bytes(MIB), *refused):
                await send(relay, ws, junk)
            await send(relay, ws, ["239.1.1.1", ":5000"], frames=3)  # fragments are never joined
            await send(relay, ws, b"239.1.1.1:5000", frames=0)  # a ping, never answered
            assert RECEIVE_STARTED not in relay.log_lines() and relay.proc.poll() is None
            await send(relay, ws, "239.1.1.1:5000:0x1e1\0 padding")
            await send(relay, ws, "239.2.2.2:6000")
            with pytest.raises(websockets.InvalidHandshake):
                async with connect():
                    pass
            second = Relay(tmp_path / "second").start()
            assert second.wait_exit() == 0
            # It ends at the failed bind itself, not through the lifetime check later.
            assert second.log_lines()[-1].startswith("cannot bind to 8154")
            (relay.workdir / "break").touch()
            relay.wait_log("stupid windows")
            (relay.workdir / "dump").touch()
            poll(lambda: not (relay.workdir / "dump").exists(), what="dump file to go")
            (relay.workdir / "stop").touch()
            assert relay.wait_exit() == 0
            with pytest.raises(websockets.ConnectionClosed):
                await ws.recv()  # the version came once, and nothing else ever does

    asyncio.run(session())
    lines = relay.log_lines()
    for expected in [*(f"Websocket received bad {what}; nothing started" for what in refused.values()),
                     "Websocket got 14 bytes of binary", f"Websocket got {MIB} bytes of binary",
                     "Websocket got 5 bytes of continuation", "Websocket got 0 bytes of continuation",
                     "Websocket got 14 bytes of ping",
                     "Websocket received mcast stream info: mcastAddr=239.1.1.1, port=5000, vidPid(passed-in)=1e1",
                     "Websocket ignored mcast stream info for 239.2.2.2: a stream is already running",
                     "ERROR: Websocket connection received, but one already exists"]:
        assert expected in lines, expected
    assert lines.count(RECEIVE_STARTED) == 1
    assert EXITED not in lines and not (relay.workdir / "stop").exists()
    # At least the pass that saw "break" reported the group; no report came before it was joined.
    reports = set()
    while select.select([sniffer], [], [], 0)[0]:
        reports.add(sniffer.recv(256)[16:])
    group = socket.inet_aton("239.1.1.1")
    assert reports == {group + b"\x16\0\xf9\xfc" + group}
    sniffer.close()


def test_any_accepted_client_closing_ends_the_relay(relay):
    relay.start()

    async def session():
        async with connect() as first, connect(ALT_PORT) as second:
            assert [await first.recv(), await second.recv()] == [VERSION_TEXT] * 2
            second.transport.abort()  # gone without a close frame
            await second.wait_closed()
            assert relay.wait_exit() == 0

    asyncio.run(session())
    assert relay.log_lines()[-1] == EXITED


def test_control_files_present_at_start_act_in_order(relay):
    for name in ("break", "stop", "dump"):
        (relay.workdir / name).touch()
    relay.start()
    assert relay.wait_exit() == 0
    # "break" acts before "stop" ends the relay, and "dump" is never reached.
    assert sorted(p.name for p in relay.workdir.iterdir()) == ["dump"]
    lines = relay.log_lines()
    assert lines[lines.index("Browse files at http://127.0.0.1:8155/") + 1:] == ["stupid windows"]


def test_a_unicast_group_ends_the_relay_with_failure(relay):
    relay.start()

    async def session():
        async with connect() as ws:
            await ws.send("10.0.0.1:5000")
            assert relay.wait_exit() == 1

    asyncio.run(session())
    assert relay.log_lines()[-2].startswith("StartMcastReceive:: multicast join failed, ")
    assert relay.log_lines()[-1] == "Could not get main mcast socket"
