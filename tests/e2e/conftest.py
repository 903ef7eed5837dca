"""End-to-end harness: every test gets a network namespace of its own
(scripts/netns.sh), holding only its loopback with the multicast range routed
onto it, so nothing a test sends can leave the machine. The relay runs inside
with its own folder and HOME."""
import contextlib
import ctypes
import http.client
import itertools
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
import hls_viewers  # noqa: E402

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000
_namespace_numbers = itertools.count(1)


def poll(predicate, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.05)
    return value


def _checked(result):
    if result != 0:
        raise OSError(ctypes.get_errno(), "setns")


@contextlib.contextmanager
def inside(namespace):
    """This thread in a named namespace meanwhile; what it starts or makes there, process or socket, stays there."""
    home, there = os.open("/proc/thread-self/ns/net", os.O_RDONLY), os.open(f"/run/netns/{namespace}", os.O_RDONLY)
    try:
        _checked(_libc.setns(there, CLONE_NEWNET))
        yield
    finally:
        _checked(_libc.setns(home, CLONE_NEWNET))
        os.close(there)
        os.close(home)


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
    """The one looping sender, as the build under test has it."""
    return Process([BUILD / "tools/mcast_send", path, group, port, "--max-seconds", "120", *args])


def looped(path, passes):
    """The stream's bytes over that many passes, seamless as the sender loops them."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "looped.ts"
        subprocess.run([BUILD / "tools/mcast_send", path, "--output", out, "--passes", str(passes)], check=True)
        return out.read_bytes()


def http_get(path, port=HTTP_PORT, timeout=10.0):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("GET", path)
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


class Viewer(hls_viewers.Viewer):
    """The tests' player: the stream from its start, every segment kept, and the relay's playlist as it must be."""

    def __init__(self):
        super().__init__(f"http://127.0.0.1:{HTTP_PORT}{PLAYLIST}", keep_bodies=True, from_start=True)

    def fetch_new(self):
        new = super().fetch_new()
        if self.playlist is not None:
            sequence = int(re.search(r"#EXT-X-MEDIA-SEQUENCE:(\d+)\r\n", self.playlist)[1])
            numbers = [int(n) for _, n in ENTRY.findall(self.playlist)]
            assert len(numbers) == len(hls_viewers.ENTRY.findall(self.playlist))
            assert numbers == list(range(sequence, sequence + len(numbers)))
            assert 2 <= len(numbers) <= 7 and (len(numbers) == 7 or sequence <= 1)  # 1: after a lead-in
        return new


@pytest.fixture
def netns():
    """The test's own namespace (scripts/netns.sh), for relay, senders and players; it ends with all still there."""
    name = f"qb-e2e-{os.getpid()}-{next(_namespace_numbers)}"
    subprocess.run([ROOT / "scripts/netns.sh", "add", name], check=True)
    try:
        with inside(name):
            yield name
    finally:
        subprocess.run([ROOT / "scripts/netns.sh", "del", name], check=True)


@pytest.fixture
def relay(netns, tmp_path):
    r = Relay(tmp_path)
    yield r
    r.stop()


@pytest.fixture(scope="session")
def make_stream():
    def make(seconds, video_pid=None, picture="", encoding="", *muxing):
        """A test stream from the one cache (tools/test_stream.sh); the arguments are its maker's."""
        args = [str(seconds)] if video_pid is None else [str(seconds), hex(video_pid), picture, encoding, *muxing]
        made = subprocess.run([ROOT / "tools/test_stream.sh", *args], check=True, stdout=subprocess.PIPE, text=True,
                              timeout=300)
        return Path(made.stdout.strip())
    return make
