"""End-to-end harness: every test gets a network namespace of its own, holding
only its loopback with the multicast range routed onto it, so nothing a test
sends can leave the machine. The relay runs inside with its own folder and HOME."""
import ctypes
import http.client
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QB_BUILD_DIR", ROOT / "build"))
HTTP_PORT, ALT_PORT = 8154, 8155
VERSION_TEXT = "relay version 1.4.3"
PLAYLIST = "/hlsMcast.m3u8"
ENTRY = re.compile(r"#EXTINF:([\d.]+),\nhttp://127\.0\.0\.1:8154/hlsMcast_(\d+)\.ts\n")

sys.path.insert(0, str(ROOT / "tools"))
import mcast_send  # noqa: E402

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000


def poll(predicate, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.05)
    return value


def _checked(result):
    if result != 0:
        raise OSError(ctypes.get_errno(), "unshare or setns")


class NetNamespace:
    """A namespace of this thread's own; children forked from it inherit it,
    so the relay, senders and players all live inside."""

    def __enter__(self):
        self._home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        _checked(_libc.unshare(CLONE_NEWNET))
        for args in ("link set lo up", "link set lo multicast on", "route add 224.0.0.0/4 dev lo"):
            subprocess.run(["ip", *args.split()], check=True)
        return self

    def __exit__(self, *exc):
        _checked(_libc.setns(self._home, CLONE_NEWNET))
        os.close(self._home)


class Process:
    def __init__(self, args, log_path=None, **kw):
        self.log_path, self._output = log_path, tempfile.TemporaryFile()
        self.proc = subprocess.Popen([str(a) for a in args], stdin=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                     stdout=kw.pop("stdout", self._output), **kw)

    @property
    def output(self):
        # pread leaves alone the file offset that the child shares.
        fd = self._output.fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0).decode(errors="replace")

    def wait_exit(self, timeout=10.0):
        poll(lambda: self.proc.poll() is not None, timeout, what=f"{self.proc.args[0]} to exit")
        return self.proc.returncode

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def log(self):
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def log_lines(self):
        """Entry texts without their time stamps."""
        return [line[26:] if line[24:26] == "  " else line for line in self.log().splitlines()]

    def wait_log(self, text, timeout=10.0):
        return poll(lambda: text in self.log(), timeout, what=f"log line {text!r}")


class Relay(Process):
    def __init__(self, tmp: Path):
        self.workdir, self.home = tmp / "wd", tmp / "home"
        self.workdir.mkdir(parents=True)
        self.log_path, self.proc, self.client = self.home / ".local/share/ombrix/quillbrook.log", None, None

    def start(self, description=None, **env):
        """Starts the relay in a folder of its own and, given a stream description, a client that holds it."""
        super().__init__([BUILD / "quillbrook"], self.log_path, cwd=self.workdir, stdout=subprocess.DEVNULL,
                         env={"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"), **env})
        poll(lambda: "Browse files at http://127.0.0.1:8155/" in self.log() or self.proc.poll() is not None,
             what="relay to listen")
        if description:
            self.client = client(description)
            self.wait_log("Entering mcast receive loop")
        return self

    def stop(self):
        super().stop()
        if self.client:
            self.client.stop()


def client(*args, **kw):
    return Process([BUILD / "client/quillbrook-client", *args], **kw)


def sender(path, group, port, *args):
    return Process(["/usr/bin/python3", ROOT / "tools/mcast_send.py", path, group, port, "--max-seconds", "120", *args])


def http_get(path, port=HTTP_PORT, timeout=10.0):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("GET", path)
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


class Viewer:
    """Fetches the playlist as a player does, and each new segment once; a miss fails or outlasts a segment."""

    def __init__(self):
        self.segments, self.extinf, self.misses = {}, {}, []

    def get(self, path):
        started = time.monotonic()
        try:
            status, _, body = http_get(path, timeout=5)
        except OSError as error:
            status = error
        if status != 200 or time.monotonic() - started > 1.8:
            self.misses.append((path, status, time.monotonic() - started))
        return body if status == 200 else None

    def fetch_new(self):
        if (playlist := self.get(PLAYLIST)) is None:
            return 0
        text = playlist.decode()
        sequence = int(re.search(r"#EXT-X-MEDIA-SEQUENCE:(\d+)\r\n", text)[1])
        entries = [(int(n), float(extinf)) for extinf, n in ENTRY.findall(text)]
        assert [n for n, _ in entries] == list(range(sequence, sequence + len(entries)))
        assert 2 <= len(entries) <= 7 and (len(entries) == 7 or sequence == 0)
        new = [(n, extinf) for n, extinf in entries if n not in self.segments]
        for n, extinf in new:
            self.segments[n], self.extinf[n] = self.get(f"/hlsMcast_{n}.ts"), extinf
        return len(new)


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
    def make(seconds, video_pid=0x100):
        path = tmp_path_factory.getbasetemp() / f"test_{seconds}s_{video_pid:x}.ts"
        if not path.exists():
            subprocess.run([ROOT / "tools/make_test_stream.sh", path, str(seconds), hex(video_pid)], check=True,
                           timeout=120)
        return path
    return make
