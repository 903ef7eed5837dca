"""The processes the benchmark runs: the receivers under test (each on a
group and port of its own), nginx, and the sender."""
import asyncio
import os
import shutil
import signal
import subprocess
import threading
import time
import urllib.request
from pathlib import Path

import websockets

from procfs import TextTail, cpu_seconds, poll, udp_counters, udp_socket

BENCH = Path(__file__).resolve().parent
TS_PACKET_BYTES = 188
SMALL_DATAGRAM_PACKETS = 7   # 1,316 bytes
LARGE_DATAGRAM_PACKETS = 21  # 3,948 bytes
RELAY_GROUP = ("239.255.10.1", 5001)
BARE_GROUP = ("239.255.10.2", 5002)
FFMPEG_GROUP = ("239.255.10.3", 5003)
RING_BARE_GROUP = ("239.255.10.4", 5004)
RELAY_HTTP_PORT = 8154
NGINX_PORT = 8180
VIDEO_PID = 0x100
SUBPROTOCOL = "ObQuillbrook"
NGINX_FILE_BYTES = 2_000_000


# ---- the processes under test ------------------------------------------------

class Receiver:
    name = ""
    group = None

    def __init__(self, tools, workdir):
        self.tools, self.workdir = tools, workdir
        self.proc = None
        self.position = 0  # where the next sender run carries on this group's stream

    @property
    def port(self):
        return self.group[1]

    def snapshot(self):
        queue_drops = udp_socket(self.port)
        return {"cpu": cpu_seconds(self.proc.pid), "udp": udp_counters(),
                "drops": queue_drops[1] if queue_drops else None, "own": self.own_counters()}

    def own_counters(self):
        return {}

    def own_loss(self, before, after, sent):
        """Loss the receiver itself reports between two snapshots."""
        return 0

    def drain(self, timeout=3.0):
        """Waits until the receiver has read everything queued on its socket."""
        try:
            poll(lambda: (udp_socket(self.port) or (0, 0))[0] == 0, timeout, f"{self.name} to drain", 0.01)
        except RuntimeError:
            pass

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        if self.alive():
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class BareReceiver(Receiver):
    name = "bare"
    group = BARE_GROUP
    slots = 1

    def start(self):
        self.proc = subprocess.Popen([str(self.tools / "bare_receiver"), self.group[0], str(self.port),
                                      str(self.slots)], stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("bare_receiver did not start")
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.strip())

    def own_counters(self):
        count = len(self.lines)
        # Retried: a signal landing just before the receive call waits for the next datagram.
        for _ in range(50):
            self.proc.send_signal(signal.SIGUSR1)
            try:
                poll(lambda: len(self.lines) > count, 0.1, "bare receiver's totals", 0.002)
                break
            except RuntimeError:
                continue
        fields = dict(item.split("=") for item in self.lines[-1].split())
        return {key: int(value) for key, value in fields.items()}

    def own_loss(self, before, after, sent):
        return sent["bytes"] - (after["own"]["bytes"] - before["own"]["bytes"])


class RingSizedBareReceiver(BareReceiver):
    """The bare receiver writing through a buffer as large as the relay's ring."""
    name = "bare-ring"
    group = RING_BARE_GROUP
    slots = 8


class RelayUnderTest(Receiver):
    name = "relay"
    group = RELAY_GROUP
    exit_code = None
    _closing = None

    def start(self):
        home = self.workdir / "relay-home"
        wd = self.workdir / "relay-wd"
        for d in (home, wd):
            d.mkdir(parents=True, exist_ok=True)
        self.log_path = home / ".local/share/ombrix/quillbrook.log"
        self.stderr = open(self.workdir / "relay.stderr", "w")
        env = {"HOME": str(home), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        self.proc = subprocess.Popen([str(self.tools / "quillbrook")], cwd=wd, env=env,
                                     stdin=subprocess.DEVNULL, stderr=self.stderr)
        self.tail = TextTail(self.log_path, self.log_path.with_name("quillbrook1.log"))
        poll(lambda: "Browse files at http://127.0.0.1:8155/" in self.tail.read_new() or not self.alive(),
             5, "relay to listen")
        self.description = f"{self.group[0]}:{self.port}:{VIDEO_PID:x}"
        self._closing = None
        ready = threading.Event()
        self.ws_thread = threading.Thread(target=self._control, args=(ready,), daemon=True)
        self.ws_thread.start()
        if not ready.wait(5):
            raise RuntimeError("relay's control channel did not answer")
        seen = []
        poll(lambda: seen.append(self.tail.read_new()) or "Entering mcast receive loop" in "".join(seen), 5,
             "relay to join")

    def _control(self, ready):
        async def hold():
            uri = f"ws://127.0.0.1:{RELAY_HTTP_PORT}/"
            async with websockets.connect(uri, subprotocols=[SUBPROTOCOL], ping_interval=None,
                                          close_timeout=1) as ws:
                self.version = await ws.recv()
                await ws.send(self.description)
                self._closing = asyncio.Event()
                self._loop = asyncio.get_running_loop()
                ready.set()
                await self._closing.wait()
        asyncio.run(hold())

    def own_counters(self):
        text = self.tail.read_new()
        self.discontinuities = getattr(self, "discontinuities", 0) + sum(
            line[26:].startswith("discontunuity") for line in text.splitlines())
        return {"discontinuities": self.discontinuities}

    def own_loss(self, before, after, sent):
        return after["own"]["discontinuities"] - before["own"]["discontinuities"]

    def stop(self):
        """Closing the control channel is how the relay is meant to end."""
        if self.proc is None:
            return
        if self._closing is not None and self.alive():
            self._loop.call_soon_threadsafe(self._closing.set)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        self.exit_code = self.proc.poll()
        super().stop()


class FfmpegHls(Receiver):
    name = "ffmpeg"
    group = FFMPEG_GROUP

    def start(self):
        out = self.workdir / "ffmpeg-hls"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        self.out = out
        # fifo_size counts 188-byte packets; the socket buffer matches the relay's.
        url = (f"udp://{self.group[0]}:{self.port}?fifo_size=50000&overrun_nonfatal=1"
               f"&buffer_size=1048576")
        self.stderr_path = self.workdir / "ffmpeg.stderr"
        self.stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-i", url, "-c", "copy",
             "-f", "hls", "-hls_time", "1.8", "-hls_list_size", "7", str(out / "x.m3u8")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.stderr)
        self.tail = TextTail(self.stderr_path)
        poll(lambda: udp_socket(self.port) is not None or not self.alive(), 5, "ffmpeg to open its socket")

    def drain(self, timeout=3.0):
        """ffmpeg's own packet queue sits behind the socket: also waits until it
        has stopped using the CPU."""
        super().drain(timeout)
        last = cpu_seconds(self.proc.pid)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            time.sleep(0.1)
            now = cpu_seconds(self.proc.pid)
            if now - last < 0.001:
                break
            last = now

    def own_counters(self):
        text = self.tail.read_new()
        self.overruns = getattr(self, "overruns", 0) + text.count("overrun")
        return {"overruns": self.overruns}

    def own_loss(self, before, after, sent):
        return after["own"]["overruns"] - before["own"]["overruns"]

    def stop(self):
        if self.alive():
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        super().stop()


class Nginx:
    def __init__(self, workdir, stream):
        self.dir = workdir / "nginx"
        (self.dir / "www").mkdir(parents=True, exist_ok=True)
        (self.dir / "tmp").mkdir(exist_ok=True)
        with open(stream, "rb") as f:
            (self.dir / "www" / "seg.ts").write_bytes(f.read(NGINX_FILE_BYTES))
        os.chmod(self.dir, 0o755)
        os.chmod(self.dir / "www", 0o755)
        conf = (BENCH / "nginx.conf").read_text().replace("@DIR@", str(self.dir))
        (self.dir / "nginx.conf").write_text(conf)
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["nginx", "-p", str(self.dir), "-c", str(self.dir / "nginx.conf")],
                                     stdin=subprocess.DEVNULL)
        poll(lambda: self._answers(), 5, "nginx to listen")

    def _answers(self):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{NGINX_PORT}/seg.ts", timeout=1) as r:
                return len(r.read()) == NGINX_FILE_BYTES
        except OSError:
            return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# ---- sender and trials -------------------------------------------------------

class Sender:
    def __init__(self, tools, stream):
        self.binary, self.stream = tools / "mcast_blast", stream

    def command(self, receiver, rate_mbps, packets, seconds):
        return [str(self.binary), str(self.stream), receiver.group[0], str(receiver.port), f"{rate_mbps:.3f}",
                str(packets), f"{seconds:.3f}", str(receiver.position)]

    def parse(self, receiver, output):
        line = output.strip().splitlines()[-1]
        result = {k: (float(v) if "." in v else int(v)) for k, v in (item.split("=") for item in line.split())}
        receiver.position = int(result["end_packet"])
        return result

    def run(self, receiver, rate_mbps, packets, seconds):
        done = subprocess.run(self.command(receiver, rate_mbps, packets, seconds), capture_output=True,
                              text=True, timeout=seconds + 30)
        if done.returncode != 0:
            raise RuntimeError(f"mcast_blast failed: {done.stderr.strip()}")
        return self.parse(receiver, done.stdout)

    def start(self, receiver, rate_mbps, packets, seconds):
        return subprocess.Popen(self.command(receiver, rate_mbps, packets, seconds), stdout=subprocess.PIPE,
                                text=True)
