"""The data plane seen from outside: a real H.264/AAC stream, made with ffmpeg
at test time, multicast through the namespace's loopback into the real relay,
and read back over HTTP as an HLS player reads it.

The relay measures segments in video frame starts, not wall time, so most
tests send far faster than real time, in stages that end just before a known
frame start; every cut is then predictable to the byte, and nothing has to be
caught in flight.
"""
import contextlib
import re
import socket
import subprocess
import sys

import pytest

from conftest import ALT_PORT, HTTP_PORT, ROOT, VIDEO_PID, ControlConnection, http_get, poll

sys.path.insert(0, str(ROOT / "tools"))
import mcast_send  # noqa: E402

GROUP = "239.1.2.3"
UDP_PORT = 5000
OTHER_VIDEO_PID = 0x1E1
TS_PACKET_BYTES = 188
RELAY_DATAGRAM_BYTES = 4096
FRAMES_PER_SEGMENT = 109  # the first whole frame count above 1.8 s at 60 frames/s
# Twenty times real time: quick, yet well within what the relay's receive
# buffer absorbs, so nothing is lost (a loss shows as "discontunuity").
FAST_BPS = 35e6
SEND_LIMIT_SECONDS = 30
PLAYLIST = "/hlsMcast.m3u8"
NOT_FOUND = b"Error: File not found"


def packet_pid(packet):
    return ((packet[1] & 0x1F) << 8) | packet[2]


def starts_video_pes(packet, video_pid):
    return packet[0] == 0x47 and packet[1] & 0x40 and packet_pid(packet) == video_pid


class Plan:
    """What the relay must make of a list of datagrams: the bytes it keeps (the
    whole packets among each datagram's first 4,096 bytes), in order, and the
    segments it cuts from them at every 109th video frame start."""

    def __init__(self, datagrams, video_pid=VIDEO_PID):
        self.datagrams = datagrams
        kept, self.kept_ends = [], []
        self.frame_offsets, self.frame_datagrams = [], []
        position = 0
        for index, datagram in enumerate(datagrams):
            usable = datagram[:RELAY_DATAGRAM_BYTES]
            usable = usable[:len(usable) - len(usable) % TS_PACKET_BYTES]
            for offset in range(0, len(usable), TS_PACKET_BYTES):
                if starts_video_pes(usable[offset:offset + 4], video_pid):
                    self.frame_offsets.append(position + offset)
                    self.frame_datagrams.append(index)
            kept.append(usable)
            position += len(usable)
            self.kept_ends.append(position)
        self.stream = b"".join(kept)

    @property
    def cuts(self):
        return (len(self.frame_offsets) - 1) // FRAMES_PER_SEGMENT

    def segment(self, number):
        start = 0 if number == 0 else self.frame_offsets[number * FRAMES_PER_SEGMENT]
        return self.stream[start:self.frame_offsets[(number + 1) * FRAMES_PER_SEGMENT]]

    def datagram_of_cut(self, cut):
        """Index of the datagram whose frame start makes cut number `cut` (from 1)."""
        return self.frame_datagrams[cut * FRAMES_PER_SEGMENT]

    def send_until_cut(self, cut, start=0):
        """Sends from datagram `start` up to the one that would make cut
        number `cut`, so the relay ends with exactly cut - 1 segments closed.
        Returns where the next stage starts."""
        end = self.datagram_of_cut(cut) if cut <= self.cuts else len(self.datagrams)
        mcast_send.send_datagrams(self.datagrams[start:end], GROUP, UDP_PORT, FAST_BPS,
                                  max_seconds=SEND_LIMIT_SECONDS)
        return end


def plan_of(path, video_pid=VIDEO_PID):
    return Plan(mcast_send.datagrams_of(path.read_bytes()), video_pid)


@contextlib.contextmanager
def streaming(relay, description=f"{GROUP}:{UDP_PORT}"):
    relay.start()
    with ControlConnection(description):
        relay.wait_log("Entering mcast receive loop")
        yield


def playlist_text():
    status, _, body = http_get(PLAYLIST)
    return body.decode() if status == 200 else None


def wait_for_segment(number, timeout=15.0):
    """Waits until the playlist lists segment `number`, i.e. until it is closed."""
    return poll(lambda: (text := playlist_text()) and f"/hlsMcast_{number}.ts\n" in text and text,
                timeout, what=f"hlsMcast_{number}.ts in the playlist")


def expected_playlist(media_sequence, numbers):
    head = f"#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n#EXT-X-MEDIA-SEQUENCE:{media_sequence}\r\n"
    return head + "".join(f"#EXTINF:1.81600,\nhttp://127.0.0.1:{HTTP_PORT}/hlsMcast_{n}.ts\n" for n in numbers)


def fetch_segment(number, response=None):
    status, headers, body = response or http_get(f"/hlsMcast_{number}.ts")
    assert status == 200, f"hlsMcast_{number}.ts answered {status}"
    assert headers["content-type"] == "video/MP2T"
    assert int(headers["content-length"]) == len(body)
    return body


def assert_not_found(status, _, body):
    # The web server puts its own status line before the relay's text.
    assert (status, body.endswith(NOT_FOUND)) == (404, True), body


def lost_packets(relay):
    """The receive side's continuity breaks on the video PID: packets lost on
    the way in. (The send side's own check, "TS pkt discontunuityTS", fires
    as well whenever segments are fetched twice or out of order.)"""
    return [line for line in relay.log_lines() if line.startswith("discontunuity")]


def test_playlist_and_segments_follow_the_ring(relay, long_stream):
    plan = plan_of(long_stream)
    segments = {}
    with streaming(relay):
        assert_not_found(*http_get(PLAYLIST))

        # One cut: the first segment can be had, the playlist still can't.
        sent = plan.send_until_cut(2)
        first = poll(lambda: (r := http_get("/hlsMcast_0.ts"))[0] == 200 and r, what="the first cut")
        segments[0] = fetch_segment(0, first)
        assert_not_found(*http_get(PLAYLIST))

        # The second cut makes the playlist.
        sent = plan.send_until_cut(3, sent)
        status, headers, body = poll(lambda: (r := http_get(PLAYLIST))[0] == 200 and r, what="the playlist")
        assert body.decode() == expected_playlist(0, [0, 1])
        assert headers["content-type"] == "application/vnd.apple.mpegurl"
        assert int(headers["content-length"]) == len(body)
        status, _, alt_body = http_get(PLAYLIST, ALT_PORT)
        assert (status, alt_body) == (200, body), "segment URLs name port 8154 whichever port is asked"
        segments[1] = fetch_segment(1)

        # Cuts 3 to 9: the ring wraps, the two oldest segments leave it.
        plan.send_until_cut(10, sent)
        assert wait_for_segment(8) == expected_playlist(2, range(2, 9))
        for number in range(2, 9):
            segments[number] = fetch_segment(number)
        for gone in (0, 1):
            assert_not_found(*http_get(f"/hlsMcast_{gone}.ts"))
            relay.wait_log(f"Requested TS file not found hlsMcast_{gone}.ts")

    for number, body in segments.items():
        assert body == plan.segment(number), f"hlsMcast_{number}.ts differs from what was sent"
        if number > 0:
            assert starts_video_pes(body[:4], VIDEO_PID), f"hlsMcast_{number}.ts starts mid-frame"
    # Nothing lost, nothing added: the segments in order are the stream as sent.
    joined = b"".join(segments[n] for n in sorted(segments))
    assert joined == plan.stream[:len(joined)]
    # Each segment fetched once, in order: the send side's counter check, which
    # runs on across requests, sees one unbroken stream too.
    assert [line for line in relay.log_lines() if "discontunuity" in line] == []


@pytest.mark.parametrize("pid_text", ["1e1", "0x1e1"])
def test_video_pid_is_taken_as_hex(relay, make_stream, pid_text):
    plan = plan_of(make_stream(5, OTHER_VIDEO_PID), OTHER_VIDEO_PID)
    with streaming(relay, f"{GROUP}:{UDP_PORT}:{pid_text}"):
        plan.send_until_cut(plan.cuts + 1)
        wait_for_segment(1)
        second = fetch_segment(1)
    assert starts_video_pes(second[:4], OTHER_VIDEO_PID)
    assert second == plan.segment(1)
    assert any(line.endswith("vidPid(passed-in)=1e1") for line in relay.log_lines())


def test_unicast_group_ends_the_relay_with_failure(relay):
    relay.start()
    with ControlConnection(f"10.0.0.1:{UDP_PORT}"):
        assert relay.wait_exit() == 1
    lines = relay.log_lines()
    assert "Could not get main mcast socket" in lines
    join_failed = [i for i, line in enumerate(lines) if line.startswith("StartMcastReceive:: multicast join failed, ")]
    assert join_failed and join_failed[0] < lines.index("Could not get main mcast socket")


NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * (TS_PACKET_BYTES - 4)
# Every kind of datagram a broken head-end or a stray sender might put on the
# group. None looks like a video frame start, so the cuts stay where they were.
MALFORMED = {
    "garbage": b"\xde\xad\xbe\xef" * (7 * TS_PACKET_BYTES // 4),
    "partial": NULL_PACKET * 2 + NULL_PACKET[:100],
    "oversized": (NULL_PACKET * 43)[:8000],
    "unsynced": NULL_PACKET + b"\x00" + NULL_PACKET[1:] + NULL_PACKET,
}


def test_malformed_datagrams_are_logged_and_never_stall_the_cuts(relay, long_stream):
    good = mcast_send.datagrams_of(long_stream.read_bytes())
    datagrams, kinds = [], list(MALFORMED)
    for index, datagram in enumerate(good):
        datagrams.append(datagram)
        if index % 40 == 39:
            datagrams.append(MALFORMED[kinds[index // 40 % len(kinds)]])
    plan = Plan(datagrams)
    segments = {}
    with streaming(relay):
        sent = 0
        for cut in (7, 13):  # each stage's cuts fit in the ring, so none is missed
            sent = plan.send_until_cut(cut + 1, sent)
            wait_for_segment(cut - 1)
            for number in range(len(segments), cut):
                segments[number] = fetch_segment(number)
        assert relay.proc.poll() is None

    for number, body in segments.items():
        assert len(body) % TS_PACKET_BYTES == 0
        assert body == plan.segment(number), f"hlsMcast_{number}.ts differs from what the relay should keep"
    uneven = sum(min(len(d), RELAY_DATAGRAM_BYTES) % TS_PACKET_BYTES != 0 for d in datagrams[:sent])
    kept = plan.stream[:plan.kept_ends[sent - 1]]
    unsynced = sum(kept[offset] != 0x47 for offset in range(0, len(kept), TS_PACKET_BYTES))
    # The last stage's datagrams after its cut may still be on their way through.
    poll(lambda: relay.log_lines().count("No start code!") >= unsynced, what="every unsynced packet logged")
    poll(lambda: relay.log_lines().count("Not even ts pkts!") >= uneven, what="every uneven datagram logged")
    lines = relay.log_lines()
    assert uneven > 0 and unsynced > 0
    assert (lines.count("Not even ts pkts!"), lines.count("No start code!")) == (uneven, unsynced)
    # Unsynced packets are passed on, so the send side's check sees them too;
    # partial packets are not, so no segment was closed or sent uneven.
    assert "Ts pkt no start code" in lines
    assert "File-complete: Not even ts pkts!" not in lines
    assert "TS-read: Not even ts pkts!" not in lines
    assert lost_packets(relay) == []


def tcp_unsent_bytes(local_port, remote_port):
    """Bytes a socket of this namespace has queued but not had acknowledged."""
    with open("/proc/thread-self/net/tcp") as table:
        for row in table.read().splitlines()[1:]:
            fields = row.split()
            local, remote = fields[1], fields[2]
            if int(local.split(":")[1], 16) == local_port and int(remote.split(":")[1], 16) == remote_port:
                return int(fields[4].split(":")[0], 16)
    return 0


def test_stalled_reader_gets_the_segment_as_it_was_closed(relay, netns, long_stream):
    # Loopback's default send buffer (megabytes) would take a whole segment at
    # once; capped, the relay's write really blocks on the stalled reader.
    subprocess.run(["ip", "netns", "exec", netns.name, "sysctl", "-qw", "net.ipv4.tcp_wmem=4096 16384 65536"],
                   check=True)
    plan = plan_of(long_stream)
    with streaming(relay):
        sent = plan.send_until_cut(3)
        wait_for_segment(1)
        closed = fetch_segment(1)

        reader = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        reader.settimeout(10)
        reader.connect(("127.0.0.1", HTTP_PORT))
        with reader:
            reader.sendall(b"GET /hlsMcast_1.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            response = b""
            while len(response) < 4096 and (chunk := reader.recv(4096)):
                response += chunk
            assert response.startswith(b"HTTP/1.1 200 ")
            reader_port = reader.getsockname()[1]
            poll(lambda: tcp_unsent_bytes(HTTP_PORT, reader_port) > 0, what="the relay to be held up by the reader")

            # Eight cuts later segment 9 has been written into segment 1's slot.
            plan.send_until_cut(12, sent)
            wait_for_segment(10)
            assert http_get("/hlsMcast_1.ts")[0] == 404
            assert fetch_segment(9) == plan.segment(9)
            assert tcp_unsent_bytes(HTTP_PORT, reader_port) > 0, "the relay finished sending while stalled"

            while chunk := reader.recv(65536):
                response += chunk

    head, _, body = response.partition(b"\r\n\r\n")
    length = re.search(rb"(?im)^content-length:\s*(\d+)\r?$", head)
    assert length and int(length.group(1)) == len(closed)
    assert body == closed == plan.segment(1)
    assert lost_packets(relay) == []


def test_ffmpeg_plays_the_live_stream(relay, long_stream):
    with streaming(relay):
        sender = subprocess.Popen(["/usr/bin/python3", str(ROOT / "tools/mcast_send.py"), str(long_stream), GROUP,
                                   str(UDP_PORT), "--realtime", "--max-seconds", "40"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            poll(playlist_text, timeout=15, what="the playlist")
            player = subprocess.run(["ffmpeg", "-nostdin", "-v", "error",
                                     "-i", f"http://127.0.0.1:{HTTP_PORT}{PLAYLIST}", "-t", "10", "-f", "null", "-"],
                                    capture_output=True, text=True, timeout=60)
        finally:
            sender.terminate()
            _, sender_errors = sender.communicate(timeout=10)
    assert (player.returncode, player.stderr) == (0, "")
    # The sender ends cleanly on SIGTERM, as it must when it is a demo's source.
    assert sender.returncode == 0
    assert sender_errors.startswith("mcast_send: sent ")
    assert lost_packets(relay) == []
