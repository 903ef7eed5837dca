"""End-to-end harness: every test gets a network namespace of its own, and the
relay runs inside it with a temporary working directory and HOME.

Nothing a test sends can leave the machine: the namespace holds only its own
loopback, with the multicast range routed onto it.
"""
import ctypes
import http.client
import itertools
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QB_BUILD_DIR", ROOT / "build"))
HTTP_PORT, ALT_PORT = 8154, 8155
VERSION_TEXT = "relay version 1.4.3"
VIDEO_PID = 0x100

sys.path.insert(0, str(ROOT / "tools"))
import mcast_send  # noqa: E402

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)
_names = itertools.count()


def poll(predicate, timeout=10.0, interval=0.05, what="condition"):
    """Returns the predicate's first truthy value, or fails after timeout."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)
    return value


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"setns: {os.strerror(err)}")


class NetNamespace:
    """A named namespace that this thread enters; children forked from it
    inherit it, so the relay, senders and players all live inside."""

    def __init__(self):
        self.name = f"qb-{os.getpid()}-{next(_names)}"

    def run(self, *cmd):
        subprocess.run(["ip", "netns", "exec", self.name, *cmd], check=True)

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        self.run("ip", "link", "set", "lo", "up")
        self.run("ip", "link", "set", "lo", "multicast", "on")
        self.run("ip", "route", "add", "224.0.0.0/4", "dev", "lo")
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


class Process:
    """A child whose output (standard output and error) is collected as it arrives."""

    def __init__(self, args, **kw):
        self.proc = subprocess.Popen([str(a) for a in args], stdin=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                     stdout=kw.pop("stdout", subprocess.PIPE), **kw)
        self._chunks = []
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()

    def _collect(self):
        for chunk in iter(lambda: self.proc.stdout.read1(4096) if self.proc.stdout else b"", b""):
            self._chunks.append(chunk.decode(errors="replace"))

    @property
    def output(self):
        return "".join(self._chunks)

    def wait_exit(self, timeout=10.0):
        poll(lambda: self.proc.poll() is not None, timeout, what=f"{self.proc.args[0]} to exit")
        self._reader.join(timeout)
        return self.proc.returncode

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Relay(Process):
    """The real binary, started in a working directory of its own."""

    def __init__(self, tmp: Path):
        self.workdir, self.home = tmp / "wd", tmp / "home"
        self.workdir.mkdir(parents=True)
        self.log_path = self.home / ".local/share/ombrix/quillbrook.log"
        self.proc = None

    def start(self, wait_ready=True, env=None):
        super().__init__([BUILD / "quillbrook"], cwd=self.workdir, stdout=subprocess.DEVNULL,
                         env={"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"), **(env or {})})
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
        return [line[26:] if line[24:26] == "  " else line for line in self.log().splitlines()]

    def wait_log(self, text, timeout=10.0):
        return poll(lambda: text in self.log(), timeout, what=f"log line {text!r}")

    def stop(self):
        if self.proc:
            super().stop()


def client(*args, **kw):
    """The real quillbrook-client."""
    return Process([BUILD / "client/quillbrook-client", *args], **kw)


@pytest.fixture
def netns():
    with NetNamespace() as ns:
        yield ns


@pytest.fixture
def relay(netns, tmp_path):
    r = Relay(tmp_path)
    yield r
    r.stop()


@pytest.fixture
def controlled(relay):
    """Starts the relay held by a real client for the given description."""
    held = []

    def start(description):
        relay.start()
        held.append(client(description))
        relay.wait_log("Entering mcast receive loop")
        return relay
    yield start
    for c in held:
        c.stop()


@pytest.fixture(scope="session")
def make_stream(tmp_path_factory):
    """Test streams made with ffmpeg once per session: H.264 at 60 frames/s and AAC."""
    made = {}

    def make(seconds, video_pid=VIDEO_PID):
        if (seconds, video_pid) not in made:
            path = tmp_path_factory.mktemp("streams") / f"test_{seconds}s_{video_pid:x}.ts"
            subprocess.run([ROOT / "tools/make_test_stream.sh", path, str(seconds), hex(video_pid)],
                           check=True, timeout=120)
            made[seconds, video_pid] = path
        return made[seconds, video_pid]
    return make


def http_get(path, port=HTTP_PORT, timeout=10.0):
    """One GET on its own connection; returns (status, headers dict, body bytes)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("GET", path)
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


def sender(path, group, port, *args):
    """tools/mcast_send.py as a demo runs it, bounded in time."""
    return Process(["/usr/bin/python3", ROOT / "tools/mcast_send.py", path, group, port, "--max-seconds", "120", *args])
