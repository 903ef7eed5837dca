"""Faults from outside while the relay ingests a real stream: players
hammering it, players that vanish mid-transfer, and control frames far larger
than any stream description. Each time the relay must stay up, lose nothing
on the way in, and keep serving segments exactly as they were closed.
"""
import re
import socket
import struct
import subprocess

from conftest import HTTP_PORT, ROOT, http_get, poll, run
from test_control_plane import (CONNECTED, EXITED, RECEIVE_STARTED, VERSION_SENT, control_lines, controller, got,
                                send, stream_info)
from test_data_plane import (GROUP, PLAYLIST, UDP_PORT, fetch_segment, plan_of, playlist_text, streaming,
                             wait_for_segment)

MIB = 1 << 20
NO_SPARE_BUFFER = "AppendSegmentData:: no free segment buffer, a sender may see new bytes"
# Each wrk thread learns the newest segment from the playlists it reads, then
# cycles the playlist, that segment, and the oldest listed one, whose slot the
# very next cut reuses under any reader still holding it.
WRK_SCRIPT = """
local newest, turn = nil, 0
request = function()
  turn = turn + 1
  local path = "/hlsMcast.m3u8"
  if newest and turn % 3 == 1 then path = "/hlsMcast_" .. newest .. ".ts" end
  if newest and turn % 3 == 2 then path = "/hlsMcast_" .. math.max(newest - 6, 0) .. ".ts" end
  return wrk.format("GET", path)
end
response = function(status, headers, body)
  if #body > 4096 then return end
  for n in body:gmatch("hlsMcast_(%d+)%.ts") do newest = tonumber(n) end
end
done = function(summary)
  io.write(string.format("QBWRK requests=%d non2xx=%d\\n", summary.requests, summary.errors.status))
end
"""


def ingest_faults(relay):
    """Lines that mean bytes were lost or changed on their way through."""
    faults = ("discontunuity", "ERROR -- File exceeded", NO_SPARE_BUFFER)
    return [line for line in relay.log_lines() if line.startswith(faults)]


def test_players_hammering_the_relay_get_every_segment_exactly(relay, long_stream, tmp_path):
    plan = plan_of(long_stream)
    script = tmp_path / "players.lua"
    script.write_text(WRK_SCRIPT)
    fetched = {}

    def fetch_new():
        listed = re.findall(r"/hlsMcast_(\d+)\.ts\n", playlist_text() or "")
        for number in set(map(int, listed)) - set(fetched):
            fetched[number] = fetch_segment(number)
        return len(fetched) == plan.cuts

    with streaming(relay):
        # About five times real time: the whole file goes in while wrk runs.
        sender = subprocess.Popen(["/usr/bin/python3", str(ROOT / "tools/mcast_send.py"), str(long_stream), GROUP,
                                   str(UDP_PORT), "--rate-mbps", "8", "--max-seconds", "30"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        players = subprocess.Popen(["wrk", "-t2", "-c50", "-d5s", "--timeout", "5s", "-H", "Connection: close",
                                    "-s", str(script), f"http://127.0.0.1:{HTTP_PORT}"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            poll(fetch_new, timeout=30, what="every segment, fetched as it closed")
        finally:
            load, load_errors = players.communicate(timeout=30)
            _, sender_errors = sender.communicate(timeout=30)
        assert sender.returncode == 0, sender_errors
        summary = re.search(r"QBWRK requests=(\d+) non2xx=(\d+)", load)
        assert players.returncode == 0 and summary, load + load_errors
        assert int(summary[1]) > int(summary[2]), "wrk got no segment or playlist at all"
        assert http_get(PLAYLIST)[0] == 200
        assert (ingest_faults(relay), relay.proc.poll()) == ([], None)

    assert sorted(fetched) == list(range(plan.cuts))
    for number, body in fetched.items():
        assert body == plan.segment(number), f"hlsMcast_{number}.ts differs from what was sent"


def test_players_that_vanish_mid_transfer_release_their_segments(relay, netns, long_stream):
    # Capped send buffers keep the relay's write of a whole segment blocked on
    # the reader, so each reset lands in the middle of it.
    subprocess.run(["ip", "netns", "exec", netns.name, "sysctl", "-qw", "net.ipv4.tcp_wmem=4096 16384 65536"],
                   check=True)
    plan = plan_of(long_stream)
    vanished = 6  # more than the spare buffers: a lease kept by a dead reader would run them out
    with streaming(relay):
        sent = plan.send_until_cut(8)
        wait_for_segment(6)
        for oldest in range(vanished):
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as reader:
                reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                reader.settimeout(10)
                reader.connect(("127.0.0.1", HTTP_PORT))
                reader.sendall(f"GET /hlsMcast_{oldest}.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
                response = reader.recv(4096)
                assert response.startswith(b"HTTP/1.1 200 ")
                # The next cut reuses the held slot; what follows must still be the segment as it was closed.
                sent = plan.send_until_cut(9 + oldest, sent)
                wait_for_segment(7 + oldest)
                while len(response) < 96 * 1024 and (chunk := reader.recv(16384)):
                    response += chunk
                body = response.partition(b"\r\n\r\n")[2]
                assert body == plan.segment(oldest)[:len(body)], f"hlsMcast_{oldest}.ts changed under its reader"
                # Linger zero: close() resets the connection instead of a FIN.
                reader.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            poll(lambda: sum(line.startswith("TS pkt send error") for line in relay.log_lines()) == oldest + 1,
                 what="the relay's write to fail")

        plan.send_until_cut(16, sent)
        wait_for_segment(14)
        for number in range(8, 15):
            assert fetch_segment(number) == plan.segment(number), f"hlsMcast_{number}.ts differs"
        assert (ingest_faults(relay), relay.proc.poll()) == ([], None)
    # Each write ended early: -1, or the bytes that went out before the reset.
    counts = [int(line.split()[-1]) for line in relay.log_lines() if line.startswith("TS pkt send error")]
    assert len(counts) == vanished and all(count < len(plan.segment(0)) for count in counts), counts


def test_megabyte_control_frames_leave_the_connection_working(relay):
    description = f"{GROUP}:{UDP_PORT}"
    # Past the NUL the text is ignored, so this still names the stream.
    padded = description + "\0" + " " * (MIB - len(description) - 1)
    relay.start()

    async def session():
        async with controller() as ws:
            await send(relay, ws, "x" * MIB)  # a single field: no stream
            await send(relay, ws, "1:" * (MIB // 2))  # half a million fields, the first no group
            await send(relay, ws, bytes(MIB))
            assert RECEIVE_STARTED not in relay.log_lines()
            await send(relay, ws, description)
            relay.wait_log(RECEIVE_STARTED)
            await send(relay, ws, padded)
            assert relay.proc.poll() is None

    run(session())
    assert relay.wait_exit() == 0
    assert control_lines(relay) == [
        CONNECTED, VERSION_SENT,
        got(MIB), "Websocket received bad mcast group address 1; nothing started", got(MIB), got(MIB, "binary"),
        stream_info(GROUP, UDP_PORT), got(len(description)),
        f"Websocket ignored mcast stream info for {GROUP}: a stream is already running", got(MIB),
        got(2, "close"), EXITED]
