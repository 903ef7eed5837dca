"""The control plane seen from outside: the relay's life bound to one WebSocket
client, the stream description, control files, ports, IGMP reports and CORS.

Every test runs the real binary in a namespace of its own and speaks to it as
a client does; log lines are asserted without their time stamps.
"""
import contextlib
import socket
import struct
import time

import pytest
import websockets

from conftest import ALT_PORT, HTTP_PORT, SUBPROTOCOL, VERSION_TEXT, Relay, http_get, poll, run, ws_connect

CONNECTED = "Websocket connection received"
VERSION_SENT = f"Websocket sent version string {VERSION_TEXT}"
EXITED = "Websocket exited, so are we"
REFUSED = "ERROR: Websocket connection received, but one already exists"
RECEIVE_STARTED = "Starting mcast receive thread"


def control_lines(relay):
    return [line for line in relay.log_lines() if "Websocket" in line]


def frames_handled(relay):
    return sum(line.startswith("Websocket got ") for line in relay.log_lines())


def got(length, kind="text"):
    return f"Websocket got {length} bytes of {kind}"


def stream_info(group, port, pid="100", label="default"):
    return f"Websocket received mcast stream info: mcastAddr={group}, port={port}, vidPid({label})={pid}"


@contextlib.asynccontextmanager
async def controller(port=HTTP_PORT, path="/"):
    async with ws_connect(port, path) as ws:
        assert await ws.recv() == VERSION_TEXT
        yield ws


async def send(relay, ws, message, frames=1):
    """Sends and waits until the relay has logged every frame of it."""
    before = frames_handled(relay)
    await ws.send(message)
    poll(lambda: frames_handled(relay) >= before + frames, what=f"relay to handle {message!r}")


async def frames_left(ws):
    left = []
    with contextlib.suppress(websockets.ConnectionClosed):
        while True:
            left.append(await ws.recv())
    return left


def test_without_a_client_the_relay_exits(relay):
    relay.start()
    assert relay.wait_exit(timeout=10) == 0
    assert relay.log_lines()[-1] == "Exiting"
    assert control_lines(relay) == []


@pytest.mark.parametrize("port,path", [(HTTP_PORT, "/"), (ALT_PORT, "/any/other/path")])
def test_client_gets_the_version_once_and_its_close_ends_the_relay(relay, port, path):
    relay.start()

    async def session():
        async with controller(port, path) as ws:
            assert ws.subprotocol == SUBPROTOCOL
            await send(relay, ws, b"\x01")
            await ws.close(1000, "done")
            return await frames_left(ws)

    assert run(session()) == []
    assert relay.wait_exit() == 0
    assert control_lines(relay) == [CONNECTED, VERSION_SENT, got(1, "binary"), got(6, "close"), EXITED]


def test_a_client_that_drops_tcp_ends_the_relay(relay):
    relay.start()

    async def session():
        async with controller() as ws:
            ws.transport.abort()

    run(session())
    assert relay.wait_exit() == 0
    assert control_lines(relay) == [CONNECTED, VERSION_SENT, EXITED]


@pytest.mark.parametrize("message,info", [
    ("239.1.1.1:5000", stream_info("239.1.1.1", 5000)),
    ("239.1.1.1:5000:1e1", stream_info("239.1.1.1", 5000, "1e1", "passed-in")),
    ("239.1.1.1:5000:0x1e1", stream_info("239.1.1.1", 5000, "1e1", "passed-in")),
    ("239.1.1.1:5000:1e1:9", stream_info("239.1.1.1", 5000)),
    ("239.1.1.1::5000", stream_info("239.1.1.1", 5000)),
    ("239.1.1.1:5000:", stream_info("239.1.1.1", 5000)),
    ('"239.1.1.1":5000', stream_info("239.1.1.1", 5000)),
    ("239.1.1.1:5000\x00:1e1", stream_info("239.1.1.1", 5000)),  # the text ends at the NUL
])
def test_stream_description_starts_ingest(relay, message, info):
    relay.start()

    async def session():
        async with controller() as ws:
            await send(relay, ws, message)
            relay.wait_log(RECEIVE_STARTED)

    run(session())
    assert relay.wait_exit() == 0
    assert control_lines(relay) == [CONNECTED, VERSION_SENT, info, got(len(message)), got(2, "close"), EXITED]
    assert relay.log_lines().count(RECEIVE_STARTED) == 1


def test_frames_that_describe_no_stream_start_nothing(relay):
    relay.start()

    async def session():
        async with controller() as ws:
            for message in ("239.1.1.1", ":5000", b"239.1.1.1:5000"):
                await send(relay, ws, message)
            # Fragments are not joined; the client ends the message with an empty final fragment.
            await send(relay, ws, ["239.1.1.1", ":5000"], frames=3)
            before = frames_handled(relay)
            pong = await ws.ping(b"239.1.1.1:5000")
            poll(lambda: frames_handled(relay) > before, what="ping to be handled")
            pong.cancel()  # the relay never answers pings
            assert RECEIVE_STARTED not in relay.log_lines()
            await send(relay, ws, "239.1.1.1:5000")  # the connection still takes a description
            relay.wait_log(RECEIVE_STARTED)

    run(session())
    assert relay.wait_exit() == 0
    assert control_lines(relay) == [
        CONNECTED, VERSION_SENT, got(9), got(5), got(14, "binary"), got(9), got(5, "continuation"),
        got(0, "continuation"), got(14, "ping"), stream_info("239.1.1.1", 5000), got(14), got(2, "close"), EXITED]


def test_bad_group_text_is_named_in_one_line_and_starts_nothing(relay):
    bad = ["239.1.1:5000", "nonsense:5000", "x\nWebsocket exited, so are we:5000", "bad\rgroup:5000"]
    relay.start()

    async def session():
        async with controller() as ws:
            for message in bad:
                await send(relay, ws, message)
            assert RECEIVE_STARTED not in relay.log_lines()
            assert relay.proc.poll() is None
            await send(relay, ws, "239.1.1.1:5000")
            relay.wait_log(RECEIVE_STARTED)

    run(session())
    assert relay.wait_exit() == 0
    refusals = [f"Websocket received bad mcast group address {group}; nothing started"
                for group in ("239.1.1", "nonsense", "x?Websocket exited, so are we", "bad?group")]
    assert control_lines(relay) == [
        CONNECTED, VERSION_SENT,
        refusals[0], got(12), refusals[1], got(13), refusals[2], got(34), refusals[3], got(14),
        stream_info("239.1.1.1", 5000), got(14), got(2, "close"), EXITED]
    assert relay.log_lines().count(RECEIVE_STARTED) == 1


def test_a_further_description_is_ignored_while_a_stream_runs(relay):
    relay.start()

    async def session():
        async with controller() as ws:
            await send(relay, ws, "239.1.1.1:5000")
            await send(relay, ws, "239.2.2.2:6000:1e1")
            relay.wait_log(RECEIVE_STARTED)

    run(session())
    assert relay.wait_exit() == 0
    assert control_lines(relay) == [
        CONNECTED, VERSION_SENT, stream_info("239.1.1.1", 5000), got(14),
        "Websocket ignored mcast stream info for 239.2.2.2: a stream is already running", got(18),
        got(2, "close"), EXITED]
    assert relay.log_lines().count(RECEIVE_STARTED) == 1


def test_a_second_client_before_a_description_is_accepted_and_its_close_also_ends(relay):
    relay.start()

    async def session():
        async with controller() as first:
            async with controller(ALT_PORT) as second:
                await send(relay, second, "239.1.1.1:5000")
                await first.close()
                relay.wait_exit()

    run(session())
    assert relay.proc.returncode == 0
    assert control_lines(relay) == [CONNECTED, VERSION_SENT, CONNECTED, VERSION_SENT,
                                    stream_info("239.1.1.1", 5000), got(14), got(2, "close"), EXITED]


def test_a_new_client_is_refused_once_a_stream_runs(relay):
    relay.start()

    async def session():
        async with controller() as first:
            await send(relay, first, "239.1.1.1:5000")
            with pytest.raises(websockets.InvalidHandshake):
                async with ws_connect(ALT_PORT):
                    pass
            relay.wait_log(REFUSED)
            await send(relay, first, b"still here")

    run(session())
    assert relay.wait_exit() == 0
    assert control_lines(relay) == [CONNECTED, VERSION_SENT, stream_info("239.1.1.1", 5000), got(14),
                                    REFUSED, got(10, "binary"), got(2, "close"), EXITED]


def test_control_files_act_while_a_client_holds_the_relay(relay):
    relay.start()
    files = {name: relay.workdir / name for name in ("break", "dump", "stop")}

    async def session():
        async with controller() as ws:
            files["break"].touch()
            relay.wait_log("stupid windows")
            poll(lambda: not files["break"].exists(), what="break file to go")
            files["dump"].touch()
            poll(lambda: not files["dump"].exists(), timeout=3, what="dump file to go")
            await send(relay, ws, b"alive")
            files["stop"].touch()
            relay.wait_exit()

    run(session())
    assert relay.proc.returncode == 0
    assert not files["stop"].exists()
    assert relay.log_lines().count("stupid windows") == 1
    assert EXITED not in relay.log_lines() and "Exiting" not in relay.log_lines()


@pytest.mark.parametrize("present,logged,kept", [
    (["stop"], [], []),
    (["break", "stop"], ["stupid windows"], []),
    (["stop", "dump"], [], ["dump"]),  # the process ends before "dump" is looked at
])
def test_control_files_present_at_start_act_in_the_first_pass(relay, present, logged, kept):
    for name in present:
        (relay.workdir / name).touch()
    relay.start()
    assert relay.wait_exit() == 0
    assert sorted(p.name for p in relay.workdir.iterdir() if p.name in present) == kept
    lines = relay.log_lines()
    assert lines[lines.index("Browse files at http://127.0.0.1:8155/") + 1:] == logged


def test_a_second_relay_cannot_bind_and_leaves_the_first_running(relay, tmp_path):
    relay.start()
    second = Relay(tmp_path / "second")

    async def session():
        async with controller() as ws:
            try:
                assert second.start(wait_ready=False).wait_exit() == 0
            finally:
                second.stop()
            await send(relay, ws, b"alive")

    run(session())
    assert relay.wait_exit() == 0
    lines = second.log_lines()
    # It ends at the failed bind itself, not through the lifetime check later.
    assert lines[-1].startswith("cannot bind to 8154"), lines
    assert not any(line.startswith("Server has") or line == "Exiting" for line in lines)
    assert control_lines(relay)[-3:] == [got(5, "binary"), got(2, "close"), EXITED]


def internet_checksum(data):
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    total = (total >> 16) + (total & 0xFFFF)
    total += total >> 16
    return ~total & 0xFFFF


def capture_igmp_reports(sock, group, count, timeout):
    reports = []
    deadline = time.monotonic() + timeout
    while len(reports) < count and time.monotonic() < deadline:
        with contextlib.suppress(socket.timeout):
            datagram = sock.recv(256)
            if datagram[16:20] == socket.inet_aton(group):
                reports.append((time.monotonic(), datagram))
    return reports


def test_membership_reports_for_the_described_group(relay):
    group = "239.1.1.1"
    relay.start()
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_IGMP) as sniffer:
        sniffer.settimeout(0.5)

        async def session():
            async with controller() as ws:
                await send(relay, ws, f"{group}:5000")
                return capture_igmp_reports(sniffer, group, count=2, timeout=15)

        reports = run(session())
    assert len(reports) == 2
    assert 3 < reports[1][0] - reports[0][0] < 8
    for _, datagram in reports:
        assert len(datagram) == 28
        header, message = datagram[:20], datagram[20:]
        version_ihl, tos, total_length, _, fragment, ttl, protocol = struct.unpack("!BBHHHBB", header[:10])
        assert (version_ihl, tos, total_length, fragment, ttl, protocol) == (0x45, 0, 28, 0, 1, 2)
        assert internet_checksum(header) == 0
        assert message[0] == 0x16 and message[1] == 0
        assert message[4:] == socket.inet_aton(group)
        assert internet_checksum(message) == 0


def test_relay_handlers_answer_with_cors_on_both_ports(relay):
    relay.start()

    async def session():
        async with controller():
            for port in (HTTP_PORT, ALT_PORT):
                for path in ("/relayReady", "/hlsMcast.m3u8", "/hlsMcast_0.ts"):
                    status, headers, body = http_get(path, port)
                    assert (status, headers.get("access-control-allow-origin")) == (404, "*"), (port, path)
                    assert b"Error: File not found" in body

    run(session())
    assert relay.wait_exit() == 0
    assert relay.log_lines().count("Requested TS file not found hlsMcast_0.ts") == 2
