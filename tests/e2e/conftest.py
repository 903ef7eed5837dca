"""End-to-end harness: every test gets a network namespace of its own, and the
relay runs inside it with a temporary working directory and HOME.

Nothing a test sends can leave the machine: the namespace holds only its own
loopback, with the multicast range routed onto it.
"""
import asyncio
import contextlib
import ctypes
import itertools
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest
import websockets

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QB_BUILD_DIR", ROOT / "build"))
RELAY_BINARY = BUILD / "quillbrook"
HTTP_PORT = 8154
ALT_PORT = 8155
SUBPROTOCOL = "ObQuillbrook"
VERSION_TEXT = "relay version 1.4.3"
VIDEO_PID = 0x100

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)
_names = itertools.count()


def poll(predicate, timeout=10.0, interval=0.05, what="condition"):
    """Returns the predicate's first truthy value, or fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"setns: {os.strerror(err)}")


class NetNamespace:
    """A named namespace that this thread enters; children forked from it
    inherit it, so the relay, senders and players all live inside."""

    def __init__(self):
        self.name = f"qb-{os.getpid()}-{next(_names)}"

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        for cmd in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "set", "lo", "multicast", "on"],
                    ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
            subprocess.run(["ip", "netns", "exec", self.name, *cmd], check=True)
        self._home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open(f"/run/netns/{self.name}", os.O_RDONLY)
        try:
            _setns(target)
        finally:
            os.close(target)
        return self

    def __exit__(self, *exc):
        _setns(self._home)
        os.close(self._home)
        subprocess.run(["ip", "netns", "del", self.name], check=False)


class Relay:
    """The real binary, started in a directory of its own."""

    def __init__(self, tmp: Path):
        self.workdir = tmp / "wd"
        self.home = tmp / "home"
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.home.mkdir(parents=True, exist_ok=True)
        self.log_path = self.home / ".local/share/ombrix/quillbrook.log"
        self.proc = None

    def start(self, wait_ready=True):
        env = {"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        self.proc = subprocess.Popen([str(RELAY_BINARY)], cwd=self.workdir, env=env,
                                     stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if wait_ready:
            poll(lambda: "Browse files at http://127.0.0.1:8155/" in self.log() or self.proc.poll() is not None,
                 what="relay to listen")
        return self

    def log(self):
        try:
            return self.log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def log_lines(self):
        """Entry texts without their time stamps."""
        return [line[26:] if len(line) > 26 and line[24:26] == "  " else line
                for line in self.log().splitlines()]

    def wait_log(self, text, timeout=10.0):
        return poll(lambda: text in self.log(), timeout, what=f"log line {text!r}")

    def wait_exit(self, timeout=10.0):
        poll(lambda: self.proc.poll() is not None, timeout, what="relay to exit")
        return self.proc.returncode

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()


@pytest.fixture
def netns():
    with NetNamespace() as ns:
        yield ns


@pytest.fixture
def relay(netns, tmp_path):
    r = Relay(tmp_path)
    yield r
    r.stop()


@pytest.fixture(scope="session")
def make_stream(tmp_path_factory):
    made = {}

    def make(seconds, video_pid=VIDEO_PID):
        key = (seconds, video_pid)
        if key not in made:
            path = tmp_path_factory.mktemp("streams") / f"test_{seconds}s_{video_pid:x}.ts"
            subprocess.run([str(ROOT / "tools/make_test_stream.sh"), str(path), str(seconds), hex(video_pid)],
                           check=True, timeout=120)
            made[key] = path
        return made[key]
    return make


@pytest.fixture(scope="session")
def long_stream(make_stream):
    """30 s, 1800 frames: 16 cuts, enough to wrap the ring twice."""
    return make_stream(30)


def ws_connect(port=HTTP_PORT, path="/", subprotocols=(SUBPROTOCOL,), **kw):
    return websockets.connect(f"ws://127.0.0.1:{port}{path}", subprotocols=list(subprotocols) or None,
                              ping_interval=None, close_timeout=1, max_size=None, **kw)


def run(coro):
    return asyncio.run(coro)


def http_get(path, port=HTTP_PORT, timeout=10.0):
    """One GET on its own connection; returns (status, headers dict, body bytes)."""
    import http.client
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("GET", path)
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


def udp_sender(ttl=1):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, ttl)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    return s


class ControlConnection:
    """A blocking control client that sends one stream description and then
    just holds the connection: the relay lives as long as it stays open.
    Speaks only as much WebSocket (RFC 6455) as that needs, so a test can
    keep it open without an event loop."""

    def __init__(self, description, port=HTTP_PORT, timeout=5.0):
        import base64
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           f"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: {SUBPROTOCOL}\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("relay closed the control connection during the handshake")
            head += chunk
        status = head.split(b"\r\n", 1)[0]
        if b" 101 " not in status + b" ":
            raise ConnectionError(f"control handshake refused: {status!r}")
        self.send_text(description)

    def send_text(self, text):
        payload = text.encode()
        assert len(payload) < 126, "short frames only"
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(bytes([0x81, 0x80 | len(payload)]) + mask + masked)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
