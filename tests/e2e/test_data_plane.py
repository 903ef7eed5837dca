"""The data plane from outside: real streams go into the relay faster than real
time, in stages; after each the test waits until the relay's socket queue is
empty and fetches every new segment, so none leaves the ring unseen."""
import http.client
import json
import re
import socket
import struct
import subprocess
from pathlib import Path

import pytest
import wire
from conftest import ALT_PORT, HTTP_PORT, PLAYLIST, Process, Viewer, http_get, looped, poll, sender
from wire import NULL_PACKET, TS_PACKET_BYTES

GROUP, UDP_PORT = "239.1.2.3", 5000
VIDEO_PID = 0x1E1  # not the default, so the description must carry it
RELAY_DATAGRAM_BYTES = 4096
# A pool for 4 Mbit/s (the ring scenario's) cuts a segment past 19 blocks of 65,424 bytes, the default pool
# (40 Mbit/s) past 188.
RING_MAX_MBITS, RING_CUT_BYTES, DEFAULT_CUT_BYTES = 4, 19 * 65_424, 188 * 65_424
TABLE_PIDS = {0x0, 0x1000}  # PAT, and the PMT where ffmpeg puts it
TIMESTAMP_HZ, TIMESTAMP_WRAP = 90_000, 1 << 33
FAST_BPS = 35e6  # about twenty times real time, well within what the relay's receive buffer absorbs
# Lines that mean bytes were lost or changed on their way through.
INGEST_FAULTS = ("discontunuity", "RTP sequence discontinuity", "AppendSegmentData::", "TS-read: Not even ts pkts!")


class Stream:
    """What the relay must keep of the datagrams (the whole packets among each one's first 4,096 bytes), where
    video frames start, their decoding times, and which are keyframes (ffmpeg sets the random access indicator
    on exactly those; cleared, as some head-ends send them, the codec's own marks remain)."""

    def __init__(self, datagrams, video_pid=VIDEO_PID, rtp=False, clear_random_access=False):
        self.datagrams, self.sent = datagrams, 0
        kept = [d[:RELAY_DATAGRAM_BYTES] for d in datagrams]
        stream = bytearray(b"".join(d[:len(d) - len(d) % TS_PACKET_BYTES] for d in kept))
        self.frames, self.keyframes = {}, set()
        for at in range(0, len(stream), TS_PACKET_BYTES):
            packet = stream[at:at + TS_PACKET_BYTES]
            if packet[0] == 0x47 and packet[1] & 0x40 and ((packet[1] & 0x1F) << 8 | packet[2]) == video_pid:
                self.frames[at] = wire.decode_ticks(packet)
                if packet[3] & 0x20 and packet[4] and packet[5] & 0x40:
                    self.keyframes.add(at)
                    if clear_random_access:
                        stream[at + 5] &= ~0x40
        if clear_random_access:
            self.datagrams = wire.datagrams_of(stream)
        if rtp:
            self.datagrams = wire.rtp_wrapped(self.datagrams)
        self.bytes = bytes(stream)
        # Where a cut at each frame falls: before the tables that come right before it.
        self.cuts = {}
        for at in self.frames:
            start = at
            while start and ((stream[start - 187] & 0x1F) << 8 | stream[start - 186]) in TABLE_PIDS:
                start -= TS_PACKET_BYTES
            self.cuts[start] = at
        times = sorted(self.frames.values())
        self.frame_ms = min(b - a for a, b in zip(times, times[1:]) if b > a) * 1000 / TIMESTAMP_HZ

    def ms(self, first, last):
        return (self.frames[last] - self.frames[first]) % TIMESTAMP_WRAP * 1000 / TIMESTAMP_HZ

    def send(self, count):
        stage = self.datagrams[self.sent:self.sent + count]
        wire.send_datagrams(stage, GROUP, UDP_PORT, FAST_BPS, max_seconds=30)
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


def assert_intact(relay):
    assert [line for line in relay.log_lines() if line.startswith(INGEST_FAULTS)] == []
    assert relay_socket_queue()[1] == 0, "the kernel dropped datagrams"


def check(viewer, stream, keyframe_starts, cut_bytes=DEFAULT_CUT_BYTES, lead_in=False):
    """The segments in order are the stream as sent, each cut at a frame start, listed with its true duration
    and no bigger than the size rule allows. Joined mid-GOP (lead_in), the playlist lists the stream from its
    first keyframe on: a player would start in segment 0 and find none."""
    numbers = sorted(viewer.segments)
    assert numbers == list(range(lead_in, lead_in + len(numbers)))
    start = min(cut for cut, at in stream.cuts.items() if at in stream.keyframes) if lead_in else 0
    joined = b"".join(viewer.segments[n] for n in numbers)
    assert joined == stream.bytes[start:start + len(joined)], "the segments in order are not the stream as sent"
    for n in numbers:
        end = start + len(viewer.segments[n])
        frames = [at for at in stream.frames if start <= at < end]
        # ffmpeg sends PAT and PMT before each keyframe: a player may start at any segment.
        assert not keyframe_starts or n == 0 or (stream.cuts.get(start) in stream.keyframes and
                                                 viewer.segments[n][1:3] == b"\x40\x00"), \
            f"hlsMcast_{n}.ts starts no keyframe, or not with the PAT"
        # A frame start that found the segment over the size limit would have cut there.
        assert all(at - start <= cut_bytes for at in frames if at > start), f"hlsMcast_{n}.ts too big"
        real_ms = stream.ms(frames[0], min(at for at in stream.frames if at >= end))
        assert abs(viewer.extinf[n] * 1000 - real_ms) <= stream.frame_ms, f"hlsMcast_{n}.ts lasts {real_ms} ms"
        assert end in stream.cuts, f"hlsMcast_{n}.ts cut in mid-frame"
        start = end


def not_found(path):
    return http_get(path)[0] == 404


def stalled_reader(number):
    """A player that stops reading once the head, sent with the segment leased, arrives."""
    reader = socket.socket()
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # before connecting: it sets the window offered
    reader.settimeout(10)
    reader.connect(("127.0.0.1", HTTP_PORT))
    reader.sendall(f"GET /hlsMcast_{number}.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    assert reader.recv(4096, socket.MSG_PEEK).startswith(b"HTTP/1.1 200 ")
    return reader


# What a broken head-end or a stray sender might put on the group; none looks like a video frame start.
MALFORMED = [b"\xde\xad\xbe\xef" * (7 * TS_PACKET_BYTES // 4), NULL_PACKET * 2 + NULL_PACKET[:100],
             (NULL_PACKET * 43)[:8000], NULL_PACKET + b"\x00" + NULL_PACKET[1:] + NULL_PACKET]


def test_a_stream_through_the_ring(relay, make_stream):
    # Loopback's default send buffer would take a whole segment at once;
    # capped, the relay's write really blocks on a reader that stalls.
    subprocess.run(["sysctl", "-qw", "net.ipv4.tcp_wmem=4096 16384 65536"], check=True)
    path = make_stream(30, VIDEO_PID)
    good = wire.datagrams_of(path.read_bytes())
    datagrams = []
    for i, datagram in enumerate(good):
        datagrams += [datagram, MALFORMED[i // 40 % 4]] if i % 40 == 39 else [datagram]
        # For a while 26 kB a frame, so the size rule cuts before the duration does.
        if 0.7 < i / len(good) < 0.8:
            datagrams += [NULL_PACKET * 7] * 7
    # Then the stream goes on seamlessly for more segments than the relay has spare buffers.
    datagrams += wire.datagrams_of(looped(path, 6)[sum(map(len, good)):])
    stream = Stream(datagrams)
    relay.start(f"{GROUP}:{UDP_PORT}:1e1", QUILLBROOK_MAX_MBITS=str(RING_MAX_MBITS))
    viewer = Viewer()
    assert not_found(PLAYLIST)
    while not_found("/hlsMcast_0.ts"):
        stream.send(40)
    assert not_found(PLAYLIST), "a playlist of one segment"
    while not viewer.fetch_new():
        stream.send(40)
    assert http_get(PLAYLIST, ALT_PORT)[2] == http_get(PLAYLIST)[2], "segment URLs name port 8154 whichever port"

    # Fifty players hammer the playlist that each cut rewrites, while segments are leased, fetched and dropped.
    players = Process(["wrk", "-t2", "-c50", "-d6s", "-H", "Connection: close",
                       f"http://127.0.0.1:{HTTP_PORT}{PLAYLIST}"])
    stalled = stalled_reader(1)
    # Readers that vanish mid-transfer must give their segments back, or the
    # spare buffers (one a web server worker) run out as the ring comes round.
    more, vanished = True, 0
    while more:
        reader = stalled_reader(max(viewer.segments))
        while more and not viewer.fetch_new():
            more = stream.send(200)
        reader.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        reader.close()  # a reset, not a FIN
        vanished += 1
        if vanished == 9:
            # Slot 1 has been refilled; the stalled reader still gets the segment as it was closed, well
            # within the 10 s the web server gives a write.
            response = http.client.HTTPResponse(stalled)
            response.begin()
            assert response.read() == viewer.segments[1]
    assert players.wait_exit(timeout=30) == 0
    assert re.search(r"\n +\d+ requests in", players.output) and "Non-2xx" not in players.output, players.output

    assert len(viewer.segments) > 85 and not_found("/hlsMcast_0.ts") and not_found("/hlsMcast_1.ts")
    check(viewer, stream, keyframe_starts=False, cut_bytes=RING_CUT_BYTES)
    assert any(len(body) > RING_CUT_BYTES and viewer.extinf[n] < 1.8 for n, body in viewer.segments.items())
    lines = relay.log_lines()
    assert {"Requested TS file not found hlsMcast_0.ts", "No start code!", "Not even ts pkts!"} <= set(lines)
    assert any(line.startswith("TS pkt send error") for line in lines), "no reader vanished mid-transfer"
    assert_intact(relay)


# A multiplex as head-ends send it: program number: video PID, picture, service name; audio on the PID after the video.
PROGRAMS = {1: (0x200, 1280, 720, "One"), 2: (0x300, 960, 540, "Two"), 3: (0x400, 640, 360, "Three")}
X264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 3 -sc_threshold 0 -b:v 1500k -maxrate 1500k -bufsize 3000k"
AAC = "-c:a aac -b:a 128k -ac 2"
# What head-ends and encoders send: seconds, video PID, picture, encoding. Audio goes on the next PID. The
# relay reads no codec's payload but for its keyframe marks (unit-tested), so one 25 fps H.264 source with
# B-frames stands for the codecs and frame rates of the same GOP structure.
SOURCES = {
    "h264_25": (12, 0x1011, "testsrc2=size=640x360:rate=25", f"{X264} -g 50 -keyint_min 50 {AAC}"),
    "programs": (12, 0x200, ";".join(f"testsrc2=size={w}x{h}:rate=25[out{i}]" for i, (_, w, h, _) in
                                     enumerate(PROGRAMS.values())), f"-map 1:a -map 1:a {X264} -g 50 -keyint_min 50 {AAC}",
                 " ".join(f"-streamid {i}:{pid} -streamid {i + 3}:{pid + 1} -program title={name}:program_num={n}:st={i}:"
                          f"st={i + 3}" for i, (n, (pid, _, _, name)) in enumerate(PROGRAMS.items()))),
    "radio": (12, 0x101, "", "-vn -c:a mp2 -b:a 192k -ac 2"),
    # An HD channel at the default pool's rate: noise keeps every I-frame 1.1-1.5 MB; segments hold whole GOPs.
    "highrate": (7, 0x100, "testsrc2=size=1920x1080:rate=60,noise=alls=32", "-c:v libx264 -preset ultrafast "
                 f"-pix_fmt yuv420p -g 60 -keyint_min 60 -sc_threshold 0 -b:v 40M -maxrate 40M -bufsize 40M {AAC}"),
}
DESCRIBED_WITHOUT_PID = {"h264_25"}  # the relay finds the video in the tables
JOINED_MID_GOP = {"h264_25"}  # sent from a second into its first GOP, as a relay joins a running channel


# h264_60: the default stream, RTP-wrapped and with the random access indicators cleared, as some head-ends send.
@pytest.mark.parametrize("name", ["h264_25", "h264_60_rtp_codec_marks", "highrate"])
def test_real_sources(relay, make_stream, name):
    source, rtp = name.split("_rtp")[0], "_rtp" in name
    seconds, pid, *recipe = SOURCES.get(source, (12, None))
    path, pid = make_stream(seconds, pid, *recipe), pid or 0x100
    datagrams = wire.datagrams_of(path.read_bytes())
    datagrams = datagrams[len(datagrams) // seconds:] if source in JOINED_MID_GOP else datagrams
    stream = Stream(datagrams, pid, rtp, name.endswith("_codec_marks"))
    relay.start(f"{GROUP}:{UDP_PORT}" + ("" if source in DESCRIBED_WITHOUT_PID else f":{pid:x}"))
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
    check(viewer, stream, keyframe_starts=True, lead_in=source in JOINED_MID_GOP)
    lines = relay.log_lines()
    assert lines.count("Stream is RTP-wrapped; reading the transport packets inside") == rtp
    assert_intact(relay)


@pytest.mark.parametrize("named, nit", [(0x400, False), (None, True)])
def test_one_program_of_a_multiplex(relay, make_stream, named, nit):
    """Named by its video PID, or by none (the first with video, past a NIT entry), one program alone comes out."""
    *recipe, muxing = SOURCES["programs"]
    stream = Stream(wire.datagrams_of(make_stream(*recipe, muxing + " -mpegts_flags nit" * nit).read_bytes()),
                    named or 0x200)
    number = next((n for n, (pid, *_) in PROGRAMS.items() if pid == named), 1)
    (video_pid, width, height, name), pmt_pid = PROGRAMS[number], 0x0FFF + number  # ffmpeg's PMT PIDs
    relay.start(f"{GROUP}:{UDP_PORT}" + (f":{named:x}" if named else ""))
    viewer, more = Viewer(), True
    while more:
        more = stream.send(600)
        viewer.fetch_new()
    streams = [{"id": hex(video_pid), "width": width, "height": height}, {"id": hex(video_pid + 1)}]
    counters = {}
    for n, body in sorted(viewer.segments.items()):
        packets = [body[at:at + TS_PACKET_BYTES] for at in range(0, len(body), TS_PACKET_BYTES)]
        pids = [(packet[1] & 0x1F) << 8 | packet[2] for packet in packets]
        # A player may start at any segment but the first: the relay's own PAT and the PMT lead it.
        assert set(pids) == {0, pmt_pid, video_pid, video_pid + 1} and (n == 0 or pids[:2] == [0, pmt_pid]), n
        for pid, packet in zip(pids, packets):
            step = packet[3] >> 4 & 1  # a packet without payload repeats its counter
            assert pid not in counters or (counters[pid] + step) % 16 == packet[3] & 0x0F, f"{pid:#x} in {n}"
            counters[pid] = packet[3] & 0x0F
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "program=program_num:stream=id,width,height",
                                "-of", "json", "-"], input=body, capture_output=True, check=True)
        assert json.loads(probe.stdout) == {"programs": [{"program_num": number, "streams": streams}],
                                            "streams": streams}, f"hlsMcast_{n}.ts: {probe.stdout}"
    assert len(viewer.segments) >= 4
    info = (f'program="{number}",service="{name}",video_pid="{video_pid:#x}",video_codec="h264",'
            f'audio_pid="{video_pid + 1:#x}",audio_codec="aac"')
    assert f"\nquillbrook_stream_info{{{info}}} 1\n" in http_get("/metrics")[2].decode()
    assert_intact(relay)


def test_radio(relay, make_stream):
    """Audio alone cuts a radio service's segments at the stream's own pace."""
    relay.start(f"{GROUP}:{UDP_PORT}")
    sender(make_stream(*SOURCES["radio"]), GROUP, UDP_PORT, "--realtime")
    poll(lambda: not not_found(PLAYLIST), timeout=6, what="the first playlist")
    viewer = Viewer()
    poll(lambda: viewer.fetch_new() >= 0 and len(viewer.segments) >= 3, timeout=10, what="a third segment")
    assert all(1.8 <= seconds <= 2.45 for seconds in viewer.extinf.values()), viewer.extinf
    assert ('Program 1 ("Service01"), 1 of 1: PMT PID 0x1000, PCR PID 0x101, streams 0x101 mp2 audio; segments cut '
            'on 0x101 (radio); passed on as it comes') in relay.log_lines()
