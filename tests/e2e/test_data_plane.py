"""The data plane seen from outside: a real H.264/AAC stream, made with ffmpeg
at test time, multicast through the namespace's loopback into the real relay,
and read back over HTTP as an HLS player reads it.

The stream goes in faster than real time, in stages; after each stage the
test waits until the relay's socket queue is empty and fetches every new
segment, so none leaves the ring unseen. What the relay must make of it is
checked as properties of the segments, not by re-running its cut rules.
"""
import re
import socket
import struct
import subprocess
from pathlib import Path

from conftest import ALT_PORT, HTTP_PORT, Process, http_get, mcast_send, poll, sender

GROUP, UDP_PORT = "239.1.2.3", 5000
VIDEO_PID = 0x1E1  # not the default, so the description must carry it
TS_PACKET_BYTES = 188
RELAY_DATAGRAM_BYTES = 4096
CUT_DURATION_MS, CUT_SEGMENT_BYTES = 1800, 2_000_000
TIMESTAMP_HZ, TIMESTAMP_WRAP = 90_000, 1 << 33
FAST_BPS = 35e6  # about twenty times real time, well within what the relay's receive buffer absorbs
PLAYLIST = "/hlsMcast.m3u8"
ENTRY = re.compile(r"#EXTINF:([\d.]+),\nhttp://127\.0\.0\.1:8154/hlsMcast_(\d+)\.ts\n")
# Lines that mean bytes were lost or changed on their way through.
INGEST_FAULTS = ("discontunuity", "ERROR -- File exceeded", "AppendSegmentData:: no free segment buffer",
                 "File-complete: Not even ts pkts!", "TS-read: Not even ts pkts!")


def is_video_pes_start(packet, video_pid):
    return packet[0] == 0x47 and packet[1] & 0x40 and ((packet[1] & 0x1F) << 8 | packet[2]) == video_pid


class Stream:
    """What the relay must keep of a list of datagrams: the whole packets among
    each one's first 4,096 bytes, in order; and where video frames start in
    them, with each frame's decoding time (its DTS, else its PTS)."""

    def __init__(self, datagrams):
        self.datagrams = datagrams
        kept = [d[:RELAY_DATAGRAM_BYTES] for d in datagrams]
        self.bytes = b"".join(d[:len(d) - len(d) % TS_PACKET_BYTES] for d in kept)
        self.frames = {}
        for at in range(0, len(self.bytes), TS_PACKET_BYTES):
            packet = self.bytes[at:at + TS_PACKET_BYTES]
            if is_video_pes_start(packet, VIDEO_PID):
                field = mcast_send.timestamp_offsets(packet)[-1]
                self.frames[at] = mcast_send.read_timestamp(packet[field:field + 5])
        times = sorted(self.frames.values())
        self.frame_ms = min(b - a for a, b in zip(times, times[1:]) if b > a) * 1000 / TIMESTAMP_HZ
        self.sent = 0

    def send(self, count):
        """Sends the next datagrams and waits until the relay has taken them all."""
        stage = self.datagrams[self.sent:self.sent + count]
        mcast_send.send_datagrams(stage, GROUP, UDP_PORT, FAST_BPS, max_seconds=30)
        self.sent += len(stage)
        poll(lambda: relay_socket_queue()[0] == 0, what="the relay to take what was sent")
        return self.sent < len(self.datagrams)


def relay_socket_queue():
    """(bytes queued, datagrams dropped) of the relay's UDP socket in this namespace."""
    for row in Path("/proc/thread-self/net/udp").read_text().splitlines()[1:]:
        fields = row.split()
        if int(fields[1].split(":")[1], 16) == UDP_PORT:
            return int(fields[4].split(":")[1], 16), int(fields[-1])
    raise AssertionError("the relay has no socket on the stream's port")


def fetch_segment(number):
    status, headers, body = http_get(f"/hlsMcast_{number}.ts")
    assert (status, headers["content-type"], int(headers["content-length"])) == (200, "video/MP2T", len(body))
    return body


def not_found(path):
    status, _, body = http_get(path)
    return status == 404 and body.endswith(b"Error: File not found")


class Viewer:
    """Reads the playlist as a player does and fetches each new segment once."""

    def __init__(self):
        self.segments, self.extinf = {}, {}

    def fetch_new(self):
        status, _, body = http_get(PLAYLIST)
        if status != 200:
            return 0
        text = body.decode()
        sequence = int(re.search(r"#EXT-X-MEDIA-SEQUENCE:(\d+)\r\n", text)[1])
        entries = [(int(n), float(extinf)) for extinf, n in ENTRY.findall(text)]
        assert [n for n, _ in entries] == list(range(sequence, sequence + len(entries)))
        assert 2 <= len(entries) <= 7 and (len(entries) == 7 or sequence == 0)
        new = [(n, extinf) for n, extinf in entries if n not in self.segments]
        for n, extinf in new:
            self.segments[n], self.extinf[n] = fetch_segment(n), extinf
        return len(new)

    def check(self, stream):
        """Every segment fetched is a run of the stream as sent, in order, cut at
        a video frame start once it was due, with its true duration listed."""
        numbers = sorted(self.segments)
        assert numbers == list(range(len(numbers)))
        joined = b"".join(self.segments[n] for n in numbers)
        assert joined == stream.bytes[:len(joined)], "the segments in order are not the stream as sent"
        start = 0
        for n in numbers:
            end = start + len(self.segments[n])
            frames = [at for at in stream.frames if start <= at < end]
            assert end in stream.frames and (n == 0 or frames[0] == start), f"hlsMcast_{n}.ts is not cut at frames"
            # A frame start that found the slot over the size limit would have cut there.
            assert all(at - start <= CUT_SEGMENT_BYTES for at in frames if at > start), f"hlsMcast_{n}.ts too big"
            real_ms = (stream.frames[end] - stream.frames[frames[0]]) % TIMESTAMP_WRAP * 1000 / TIMESTAMP_HZ
            assert real_ms > CUT_DURATION_MS or end - start > CUT_SEGMENT_BYTES, f"hlsMcast_{n}.ts cut early"
            assert abs(self.extinf[n] * 1000 - real_ms) <= stream.frame_ms, f"hlsMcast_{n}.ts lasts {real_ms} ms"
            start = end


def stalled_reader(number):
    """A player that asks for a segment and then stops reading: the relay's
    write blocks with the segment leased."""
    reader = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    reader.settimeout(10)
    reader.connect(("127.0.0.1", HTTP_PORT))
    reader.sendall(f"GET /hlsMcast_{number}.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    head = reader.recv(4096)
    assert head.startswith(b"HTTP/1.1 200 ")
    poll(lambda: tcp_unsent_bytes(reader.getsockname()[1]) > 0, what="the relay's write to block")
    return reader, head


def tcp_unsent_bytes(reader_port):
    for row in Path("/proc/thread-self/net/tcp").read_text().splitlines()[1:]:
        fields = row.split()
        if [int(f.split(":")[1], 16) for f in fields[1:3]] == [HTTP_PORT, reader_port]:
            return int(fields[4].split(":")[0], 16)
    return 0


NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * (TS_PACKET_BYTES - 4)
# What a broken head-end or a stray sender might put on the group; none looks like a video frame start.
MALFORMED = [b"\xde\xad\xbe\xef" * (7 * TS_PACKET_BYTES // 4), NULL_PACKET * 2 + NULL_PACKET[:100],
             (NULL_PACKET * 43)[:8000], NULL_PACKET + b"\x00" + NULL_PACKET[1:] + NULL_PACKET]


def test_a_stream_through_the_ring(controlled, netns, make_stream):
    # Loopback's default send buffer would take a whole segment at once;
    # capped, the relay's write really blocks on a reader that stalls.
    netns.run("sysctl", "-qw", "net.ipv4.tcp_wmem=4096 16384 65536")
    good = mcast_send.datagrams_of(make_stream(30, VIDEO_PID).read_bytes())
    datagrams = []
    for i, datagram in enumerate(good):
        datagrams += [datagram, MALFORMED[i // 40 % 4]] if i % 40 == 39 else [datagram]
        # For a while 26 kB a frame, so the size rule cuts before the duration does.
        if 0.7 < i / len(good) < 0.8 and any(is_video_pes_start(datagram[at:], VIDEO_PID)
                                              for at in range(0, len(datagram), TS_PACKET_BYTES)):
            datagrams += [NULL_PACKET * 7] * 20
    stream = Stream(datagrams)
    relay = controlled(f"{GROUP}:{UDP_PORT}:1e1")
    viewer = Viewer()
    assert not_found(PLAYLIST)
    while not_found("/hlsMcast_0.ts"):
        stream.send(40)
    assert not_found(PLAYLIST), "a playlist of one segment"
    while not viewer.fetch_new():
        stream.send(40)
    status, headers, body = http_get(PLAYLIST)
    assert (headers["content-type"], int(headers["content-length"])) == ("application/vnd.apple.mpegurl", len(body))
    assert http_get(PLAYLIST, ALT_PORT)[2] == body, "segment URLs name port 8154 whichever port is asked"

    stalled = stalled_reader(1)
    # Readers that vanish mid-transfer must give their segments back, or the
    # spare buffers run out once the ring comes round to their slots.
    for vanished in range(1, 6):
        reader, _ = stalled_reader(max(viewer.segments))
        while not viewer.fetch_new():
            stream.send(40)
        reader.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        reader.close()  # a reset, not a FIN
        poll(lambda: sum(line.startswith("TS pkt send error") for line in relay.log_lines()) == vanished,
             what="the relay's write to fail")
    while stream.send(600):
        viewer.fetch_new()
    viewer.fetch_new()

    # The stalled reader's slot was refilled long ago; it still gets the segment as it was closed.
    reader, response = stalled
    while chunk := reader.recv(65536):
        response += chunk
    assert response.partition(b"\r\n\r\n")[2] == viewer.segments[1]
    assert len(viewer.segments) > 9 and not_found("/hlsMcast_0.ts") and not_found("/hlsMcast_1.ts")
    viewer.check(stream)
    assert any(len(body) > CUT_SEGMENT_BYTES and viewer.extinf[n] < 1.8 for n, body in viewer.segments.items())
    lines = relay.log_lines()
    assert "Requested TS file not found hlsMcast_0.ts" in lines
    assert "No start code!" in lines and "Not even ts pkts!" in lines
    assert [line for line in lines if line.startswith(INGEST_FAULTS)] == []
    assert relay_socket_queue()[1] == 0, "the kernel dropped datagrams"


def test_ffmpeg_plays_the_live_stream(controlled, make_stream):
    controlled(f"{GROUP}:{UDP_PORT}:1e1")
    source = sender(make_stream(30, VIDEO_PID), GROUP, UDP_PORT, "--realtime")
    try:
        poll(lambda: http_get(PLAYLIST)[0] == 200, timeout=15, what="the playlist")
        player = subprocess.run(
            ["ffmpeg", "-nostdin", "-v", "error", "-i", f"http://127.0.0.1:{HTTP_PORT}{PLAYLIST}", "-t", "10",
             "-f", "null", "-"], capture_output=True, text=True, timeout=60)
    finally:
        source.proc.terminate()
    assert (player.returncode, player.stderr) == (0, "")
    assert source.wait_exit() == 0 and source.output.startswith("mcast_send: sent ")


def test_players_hammering_the_relay_get_every_segment_exactly(controlled, make_stream):
    source_file = make_stream(30, VIDEO_PID)
    stream = Stream(mcast_send.datagrams_of(source_file.read_bytes()))
    relay = controlled(f"{GROUP}:{UDP_PORT}:1e1")
    viewer = Viewer()
    # About five times real time, so the whole stream goes in while fifty
    # players hammer the playlist that each cut rewrites.
    source = sender(source_file, GROUP, UDP_PORT, "--rate-mbps", "8")
    poll(viewer.fetch_new, what="the playlist")
    players = Process(["wrk", "-t2", "-c50", "-d6s", "-H", "Connection: close", f"http://127.0.0.1:{HTTP_PORT}{PLAYLIST}"])
    try:
        poll(lambda: viewer.fetch_new() == 0 and source.proc.poll() is not None, timeout=30, what="every segment")
    finally:
        assert players.wait_exit(timeout=30) == 0 and source.wait_exit(timeout=30) == 0
    assert re.search(r"\n +\d+ requests in", players.output) and "Non-2xx" not in players.output, players.output
    assert len(viewer.segments) > 12
    viewer.check(stream)
    assert [line for line in relay.log_lines() if line.startswith(INGEST_FAULTS)] == []
