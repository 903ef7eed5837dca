"""Hostile or careless hosts on the LAN against the real relay while viewers watch: connections held open,
files the web library would run, show or wait on, a FIFO for a control file, floods that would fill the log.
The viewers miss nothing; the attackers get 404s and nothing runs. The same run checks the relay's
membership reports and its client's exit when a control file stops it."""
import os
import select
import socket
import struct
import time

import wire
from conftest import HTTP_PORT, PLAYLIST, Process, Viewer, http_get, poll, sender

GROUP, UDP_PORT = "239.1.2.5", 5000


def hold_connections(seconds, idle, slow, viewers):
    """Connections that send nothing, or request headers that never end, a
    byte a second, short of the relay's 10 s request time-out; the viewers
    watch meanwhile."""
    held = [socket.create_connection(("127.0.0.1", HTTP_PORT)) for _ in range(idle + slow)]
    for sock in held[idle:]:
        sock.send(b"GET /index.html HTTP/1.1\r\nX-Padding: ")
    for _ in range(seconds):
        for sock in held[idle:]:
            sock.send(b"x")
        for viewer in viewers:
            viewer.fetch_new()
        time.sleep(1)  # the attacker's pace, not a wait for the relay
    for sock in held:
        sock.close()


def test_viewers_keep_their_segments_through_attacks_and_floods(relay, make_stream):
    outside, folder = relay.workdir.parent, relay.workdir
    for name, text in {"index.html": "<p>player</p>", "run.cgi": f"#!/bin/sh\ntouch {outside}/ran\necho\n",
                       "page.shtml": f'<!--#exec "touch {outside}/ran" -->', ".git/config": "[core]\n"}.items():
        (folder / name).parent.mkdir(exist_ok=True)
        (folder / name).write_text(text)
    (folder / "run.cgi").chmod(0o755)
    (folder / "secret.txt").symlink_to(relay.log_path)
    os.mkfifo(folder / "feed")
    os.mkfifo(folder / "stop")  # opened, it would block the thread that looks for control files
    # The relay's membership reports go on meanwhile; the kernel stamps each as it is queued here.
    sniffer = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_IGMP)
    sniffer.setsockopt(socket.SOL_SOCKET, 29, 1)  # SO_TIMESTAMP, missing from the socket module
    relay.start(f"{GROUP}:{UDP_PORT}")
    source = sender(make_stream(12), GROUP, UDP_PORT, "--realtime", "--loop")
    poll(lambda: http_get(PLAYLIST)[0] == 200, timeout=20, what="the playlist")
    viewers = [Viewer(), Viewer()]  # the same segments twice: neither may be blamed for the other's fetch

    for path in ("/run.cgi", "/page.shtml", "/.git/config", "/secret.txt", "/feed", "/feed", "/feed"):
        status, headers, body = http_get(path, timeout=5)
        assert (status, headers["access-control-allow-origin"], body[-14:]) == (404, "*", b"File not found"), path
    assert http_get("/")[2] == b"<p>player</p>" and not (outside / "ran").exists()
    hold_connections(9, 20, 20, viewers)
    assert [viewer.misses for viewer in viewers] == [[], []]
    assert min(len(viewer.segments) for viewer in viewers) >= 5
    assert not [line for line in relay.log_lines() if "discontunuityTS" in line]

    upgrade = ["Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="]
    floods = [Process(["wrk", "-t1", "-c4", "-d8s", *(f"-H{header}" for header in headers),
                       f"http://127.0.0.1:{HTTP_PORT}/{'u' * 8192}"]) for headers in (["Connection: close"], upgrade)]
    # Not one whole packet and no video: a line per packet and per datagram, were they not summarised.
    wire.send_datagrams([b"\xff" * 1000] * 50_000, GROUP, UDP_PORT, 20e6, max_seconds=8)
    flooded = len(relay.log_lines())
    # The burst's tail is summarised within a second or so, though no further fault comes to be counted.
    poll(lambda: any(line.startswith("No start code! (") for line in relay.log_lines()[flooded:]), what="the tail")
    assert [flood.wait_exit(timeout=15) for flood in floods] == [0, 0]
    assert relay.log_path.stat().st_size < 1 << 20 and not relay.log_path.with_name("quillbrook1.log").exists()
    assert relay.log_lines()[0] == "main" and any(line.startswith("No start code! (") for line in relay.log_lines())

    (folder / "stop").unlink()
    (folder / "stop").touch()
    assert relay.wait_exit() == 0
    assert relay.client.wait_exit() == 5
    assert relay.client.output.endswith("quillbrook-client: the relay closed the control connection; it has stopped\n")
    source.stop()
    reports = []  # (kernel arrival time, datagram)
    while select.select([sniffer], [], [], 0)[0]:
        datagram, ancillary, _, _ = sniffer.recvmsg(256, 64)
        if datagram[16:20] == socket.inet_aton(GROUP):
            seconds, microseconds = struct.unpack("qq", ancillary[0][2])
            reports.append((seconds + microseconds / 1e6, datagram))
    # Version 2 reports of the group (their bytes, checksums included, are the unit test's), every 3 to 8 s.
    assert len(reports) >= 2 and all(3 < b[0] - a[0] < 8 for a, b in zip(reports, reports[1:])), reports
    assert all(len(d) == 28 and d[20:22] == b"\x16\0" and d[24:] == socket.inet_aton(GROUP) for _, d in reports)
