"""Hostile or careless hosts on the LAN against the real relay while viewers
watch: connections held open, files the web library would run, show or wait
on, a FIFO for a control file, floods that would fill the log. The viewers
must miss nothing; the attackers get 404s and nothing runs."""
import os
import select
import socket
import threading
import time

from conftest import HTTP_PORT, Process, http_get, mcast_send, poll, sender
from test_data_plane import ENTRY, PLAYLIST

GROUP, UDP_PORT = "239.1.2.5", 5000
MIB = 1 << 20


class Viewer(threading.Thread):
    """Reads the playlist every 0.9 s and each new segment once. A miss is a
    failed fetch or one slower than a segment lasts (1.8 s)."""

    def __init__(self):
        super().__init__(daemon=True)
        self.done, self.fetched, self.misses = threading.Event(), set(), []
        self.start()

    def fetch(self, path):
        started = time.monotonic()
        try:
            status, _, body = http_get(path, timeout=5)
        except OSError as error:
            status, body = error, b""
        if status != 200 or time.monotonic() - started > 1.8:
            self.misses.append((path, status, time.monotonic() - started))
        return body.decode(errors="replace")

    def run(self):
        while not self.done.wait(0.9):
            for _, number in ENTRY.findall(self.fetch(PLAYLIST)):
                if number not in self.fetched:
                    self.fetched.add(number)
                    self.fetch(f"/hlsMcast_{number}.ts")

    def stop(self):
        self.done.set()
        self.join()
        return self.misses


def hold_connections(seconds, idle, slow):
    """Connections that send nothing, or request headers that never end, a
    byte a second; each reopened as soon as the relay lets it go."""
    held = [None] * (idle + slow)
    for _ in range(seconds):
        for i, sock in enumerate(held):
            if sock is None or select.select([sock], [], [], 0)[0]:
                if sock:
                    sock.close()
                held[i] = sock = socket.create_connection(("127.0.0.1", HTTP_PORT))
                if i >= idle:
                    sock.send(b"GET /index.html HTTP/1.1\r\nX-Padding: ")
            if i >= idle:
                sock.send(b"x")
        time.sleep(1)  # the attacker's pace, not a wait for the relay
    for sock in held:
        sock.close()


def refused(path):
    status, headers, body = http_get(path, timeout=5)
    return status == 404 and headers["access-control-allow-origin"] == "*" and body.endswith(b"File not found")


def test_viewers_keep_their_segments_through_attacks(relay, controlled, make_stream):
    outside, folder = relay.workdir.parent, relay.workdir
    (folder / "index.html").write_text("<p>player</p>")
    (folder / "run.cgi").write_text(f"#!/bin/sh\ntouch {outside}/ran\necho\n")
    (folder / "run.cgi").chmod(0o755)
    (folder / "page.shtml").write_text(f'<!--#exec "touch {outside}/ran" -->')
    (folder / ".git").mkdir()
    (folder / ".git/config").write_text("[core]\n")
    (outside / "secret").write_text("secret")
    (folder / "secret.txt").symlink_to(outside / "secret")
    os.mkfifo(folder / "feed")
    os.mkfifo(folder / "stop")  # opened, it would block the thread that looks for control files
    controlled(f"{GROUP}:{UDP_PORT}")
    source = sender(make_stream(12), GROUP, UDP_PORT, "--realtime", "--loop")
    poll(lambda: http_get(PLAYLIST)[0] == 200, timeout=20, what="the playlist")
    viewers = [Viewer(), Viewer()]  # the same segments twice: neither may be blamed for the other's fetch

    for path in ("/run.cgi", "/page.shtml", "/.git/config", "/secret.txt", "/feed", "/feed", "/feed"):
        assert refused(path), path
    assert http_get("/")[2] == b"<p>player</p>" and not (outside / "ran").exists()
    hold_connections(12, idle=20, slow=20)  # past the 10 s request time-out, so they are reopened too
    assert [viewer.stop() for viewer in viewers] == [[], []]
    assert min(len(viewer.fetched) for viewer in viewers) >= 6
    assert not [line for line in relay.log_lines() if "discontunuityTS" in line]

    (folder / "stop").unlink()
    (folder / "stop").touch()
    assert relay.wait_exit() == 0
    source.stop()


def test_floods_leave_the_log_its_history(controlled):
    relay = controlled(f"{GROUP}:{UDP_PORT}")
    upgrade = ["Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="]
    floods = [Process(["wrk", "-t1", "-c4", "-d8s", *(f"-H{header}" for header in headers),
                       f"http://127.0.0.1:{HTTP_PORT}/{'u' * 8192}"]) for headers in (["Connection: close"], upgrade)]
    # Not one whole packet and no video: a line per packet and per datagram, and no cut ever.
    mcast_send.send_datagrams([b"\xff" * 1000] * 50_000, GROUP, UDP_PORT, 20e6, max_seconds=8)
    assert [flood.wait_exit(timeout=15) for flood in floods] == [0, 0]
    lines = relay.log_lines()
    assert relay.log_path.stat().st_size < MIB and not relay.log_path.with_name("quillbrook1.log").exists()
    assert lines[0] == "main" and any(line.startswith("No start code! (") for line in lines)
