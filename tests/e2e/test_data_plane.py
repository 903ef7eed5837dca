"""The data plane seen from outside: real streams, made with ffmpeg at test
time (H.264, HEVC and MPEG-2 video at the rates broadcasters use, one of them
RTP-wrapped), multicast through the namespace's loopback into the real relay,
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

import pytest
from conftest import ALT_PORT, HTTP_PORT, Process, http_get, mcast_send, poll, sender

GROUP, UDP_PORT = "239.1.2.3", 5000
VIDEO_PID = 0x1E1  # not the default, so the description must carry it
TS_PACKET_BYTES = 188
RELAY_DATAGRAM_BYTES = 4096
CUT_DURATION_MS, CUT_SEGMENT_BYTES, LONGEST_SEGMENT_MS = 1800, 2_000_000, 2450
SLOT_BYTES = 2_125_000
TIMESTAMP_HZ, TIMESTAMP_WRAP = 90_000, 1 << 33
FAST_BPS = 35e6  # about twenty times real time, well within what the relay's receive buffer absorbs
PLAYLIST = "/hlsMcast.m3u8"
ENTRY = re.compile(r"#EXTINF:([\d.]+),\nhttp://127\.0\.0\.1:8154/hlsMcast_(\d+)\.ts\n")
# Lines that mean bytes were lost or changed on their way through.
INGEST_FAULTS = ("discontunuity", "RTP sequence discontinuity", "AppendSegmentData:: no free segment buffer",
                 "File-complete: Not even ts pkts!", "TS-read: Not even ts pkts!")
SLOT_FULL = "AppendSegmentData:: slot full at"
RTP_WRAPPED = "Stream is RTP-wrapped; reading the transport packets inside"


def is_video_pes_start(packet, video_pid):
    return packet[0] == 0x47 and packet[1] & 0x40 and ((packet[1] & 0x1F) << 8 | packet[2]) == video_pid


class Stream:
    """What the relay must keep of a list of datagrams: the whole packets among
    each one's first 4,096 bytes, in order; and where video frames start in
    them, with each frame's decoding time (its DTS, else its PTS), and which
    are keyframes (ffmpeg sets the random access indicator on exactly those).
    Optionally sent RTP-wrapped, or with the indicators cleared, as some
    head-ends send them, so that only the codec's own marks show keyframes."""

    def __init__(self, datagrams, video_pid=VIDEO_PID, rtp=False, clear_random_access=False):
        self.datagrams = datagrams
        self.rtp = mcast_send.RtpWrapper() if rtp else None
        kept = [d[:RELAY_DATAGRAM_BYTES] for d in datagrams]
        stream = bytearray(b"".join(d[:len(d) - len(d) % TS_PACKET_BYTES] for d in kept))
        self.frames, self.keyframes = {}, set()
        for at in range(0, len(stream), TS_PACKET_BYTES):
            packet = stream[at:at + TS_PACKET_BYTES]
            if is_video_pes_start(packet, video_pid):
                field = mcast_send.timestamp_offsets(packet)[-1]
                self.frames[at] = mcast_send.read_timestamp(packet[field:field + 5])
                if packet[3] & 0x20 and packet[4] and packet[5] & 0x40:
                    self.keyframes.add(at)
                    if clear_random_access:
                        stream[at + 5] &= ~0x40
        if clear_random_access:
            self.datagrams = mcast_send.datagrams_of(stream)
        self.bytes = bytes(stream)
        times = sorted(self.frames.values())
        self.frame_ms = min(b - a for a, b in zip(times, times[1:]) if b > a) * 1000 / TIMESTAMP_HZ
        self.sent = 0

    def ms(self, first, last):
        """From one frame start to another, by their decoding times."""
        return (self.frames[last] - self.frames[first]) % TIMESTAMP_WRAP * 1000 / TIMESTAMP_HZ

    def send(self, count):
        """Sends the next datagrams and waits until the relay has taken them all."""
        stage = self.datagrams[self.sent:self.sent + count]
        mcast_send.send_datagrams(stage, GROUP, UDP_PORT, FAST_BPS, max_seconds=30, rtp=self.rtp)
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

    def check(self, stream, keyframe_starts=False):
        """Every segment fetched is a run of the stream as sent, in order, with
        its true duration listed. It is cut at a video frame start once due: at
        the first keyframe, or short of 2,450 ms when none comes, or by size;
        or, when the next datagram's packets would not fit its slot, there, in
        mid-frame. With keyframe_starts, every segment after the first starts
        at a keyframe. Returns how many were cut in mid-frame."""
        numbers = sorted(self.segments)
        assert numbers == list(range(len(numbers)))
        joined = b"".join(self.segments[n] for n in numbers)
        assert joined == stream.bytes[:len(joined)], "the segments in order are not the stream as sent"
        start, mid_frame_cuts = 0, 0
        for n in numbers:
            end = start + len(self.segments[n])
            frames = [at for at in stream.frames if start <= at < end]
            full = end - start > SLOT_BYTES - RELAY_DATAGRAM_BYTES
            assert end in stream.frames or full, f"hlsMcast_{n}.ts is not cut at frames"
            assert not keyframe_starts or n == 0 or start in stream.keyframes, f"hlsMcast_{n}.ts starts no keyframe"
            # A frame start that found the slot over the size limit would have cut there.
            assert all(at - start <= CUT_SEGMENT_BYTES for at in frames if at > start), f"hlsMcast_{n}.ts too big"
            # A segment cut in mid-frame lasts until the frame it holds part of ends.
            real_ms = stream.ms(frames[0], min(at for at in stream.frames if at >= end))
            by_size = end - start > CUT_SEGMENT_BYTES or end not in stream.frames
            assert real_ms > CUT_DURATION_MS or by_size, f"hlsMcast_{n}.ts cut early"
            assert abs(self.extinf[n] * 1000 - real_ms) <= stream.frame_ms, f"hlsMcast_{n}.ts lasts {real_ms} ms"
            missed = [at for at in frames if at in stream.keyframes and stream.ms(frames[0], at) > CUT_DURATION_MS]
            held_to_longest = real_ms + stream.frame_ms > LONGEST_SEGMENT_MS
            assert by_size or (not missed and (end in stream.keyframes or held_to_longest)), \
                f"hlsMcast_{n}.ts is not cut at the first keyframe due"
            mid_frame_cuts += end not in stream.frames
            start = end
        return mid_frame_cuts


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


X264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 3 -sc_threshold 0 -b:v 1500k -maxrate 1500k -bufsize 3000k"
AAC = "-c:a aac -b:a 128k -ac 2"
# What head-ends and encoders send: video PID, seconds, picture, encoding. Audio goes on the next PID.
SOURCES = {
    "h264_25": (0x100, 12, "testsrc2=size=640x360:rate=25", f"{X264} -g 50 -keyint_min 50 {AAC}"),
    "h264_2997": (0x100, 12, "testsrc2=size=640x360:rate=30000/1001", f"{X264} -g 30 -keyint_min 30 {AAC}"),
    "hevc_50": (0x100, 12, "testsrc2=size=640x360:rate=50", "-c:v libx265 -preset ultrafast -pix_fmt yuv420p "
                "-x265-params keyint=100:min-keyint=100:scenecut=0:bframes=3:open-gop=0:log-level=error "
                f"-b:v 1500k {AAC}"),
    "mpeg2_25": (0x1E1, 12, "testsrc2=size=720x576:rate=25", "-c:v mpeg2video -pix_fmt yuv420p -g 12 -bf 2 -b:v 4M "
                 "-maxrate 4M -bufsize 1835k -c:a mp2 -b:a 192k -ac 2"),
    # About 40 Mbit/s: noise makes every I-frame 1.1-1.5 MB, so one GOP is more than the size rule lets a segment hold.
    "highrate": (0x100, 4, "testsrc2=size=1920x1080:rate=60,noise=alls=32", "-c:v libx264 -preset ultrafast "
                 f"-pix_fmt yuv420p -g 60 -keyint_min 60 -sc_threshold 0 -b:v 40M -maxrate 40M -bufsize 40M {AAC}"),
}


@pytest.fixture(scope="session")
def make_source(tmp_path_factory, make_stream):
    """The sources, made once per session; "h264_60" is the relay's own test stream."""
    def make(name):
        if name == "h264_60":
            return make_stream(12, 0x100), 0x100
        pid, seconds, picture, encoding = SOURCES[name]
        path = tmp_path_factory.getbasetemp() / f"{name}.ts"
        if not path.exists():
            subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", picture, "-f", "lavfi",
                            "-i", "sine=frequency=440:sample_rate=48000", "-t", str(seconds), "-map", "0:v", "-map",
                            "1:a", *encoding.split(), "-streamid", f"0:{pid}", "-streamid", f"1:{pid + 1}", "-f",
                            "mpegts", path], check=True, timeout=120)
        return path, pid
    return make


@pytest.mark.parametrize("name, rtp, clear_random_access", [
    ("h264_25", False, False), ("h264_2997", False, False), ("hevc_50", False, False), ("mpeg2_25", False, False),
    ("h264_60", True, False), ("highrate", False, False), ("h264_25", False, True)],
    ids=["h264_25", "h264_2997", "hevc_50", "mpeg2_25", "h264_60_rtp", "highrate", "h264_25_codec_marks"])
def test_real_sources(controlled, make_source, name, rtp, clear_random_access):
    path, pid = make_source(name)
    stream = Stream(mcast_send.datagrams_of(path.read_bytes()), pid, rtp, clear_random_access)
    relay = controlled(f"{GROUP}:{UDP_PORT}:{pid:x}")
    viewer = Viewer()
    player, more = None, True
    while more:
        more = stream.send(600)
        viewer.fetch_new()
        # A player joins the live playlist at the stream's start, while it is still listed.
        if player is None and (len(viewer.segments) >= 5 or not more):
            seconds = min(8, sum(viewer.extinf.values()) - 1)
            player = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-live_start_index", "0", "-i",
                                     f"http://127.0.0.1:{HTTP_PORT}{PLAYLIST}", "-t", f"{seconds:.2f}", "-f", "null",
                                     "-"], capture_output=True, text=True, timeout=60)
    assert (player.returncode, player.stderr) == (0, "")
    mid_frame_cuts = viewer.check(stream, keyframe_starts=name != "highrate")
    lines = relay.log_lines()
    assert sum(line.startswith(SLOT_FULL) for line in lines) == mid_frame_cuts
    assert mid_frame_cuts > 0 or name != "highrate"
    assert lines.count(RTP_WRAPPED) == rtp
    assert [line for line in lines if line.startswith(INGEST_FAULTS)] == []
    assert relay_socket_queue()[1] == 0, "the kernel dropped datagrams"
