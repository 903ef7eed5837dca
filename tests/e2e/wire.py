"""What the tests put on the wire themselves: transport packets cut into
datagrams, malformed ones among them, sent in stages at a set rate, bare or
behind an RTP header; the timestamps of a packet. A stream that plays or
loops goes out through the one sender, tools/mcast_send, instead."""
import random
import socket
import struct
import time

TS_PACKET_BYTES = 188
PACKETS_PER_DATAGRAM = 7  # 1,316 bytes: the largest run that fits a 1,500-byte Ethernet MTU
# Stream ids whose PES packets have no optional header, hence no timestamps (Table 2-21).
PES_WITHOUT_HEADER = frozenset((0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF))
# Sleeping for less than this costs more in wake-up jitter than it gains.
MIN_SLEEP_SECONDS = 0.001
NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * (TS_PACKET_BYTES - 4)


def datagrams_of(data):
    """Whole transport packets cut into datagram payloads; a trailing partial
    packet, as in a cut capture, is left out."""
    whole = len(data) - len(data) % TS_PACKET_BYTES
    step = PACKETS_PER_DATAGRAM * TS_PACKET_BYTES
    return [bytes(data[i:min(i + step, whole)]) for i in range(0, whole, step)]


def read_timestamp(t):
    """A PTS or DTS field: 33 bits spread over 5 bytes between marker bits."""
    return ((t[0] & 0x0E) << 29) | (t[1] << 22) | ((t[2] & 0xFE) << 14) | (t[3] << 7) | (t[4] >> 1)


def timestamp_offsets(packet):
    """Offsets within the packet of the PTS and DTS fields of a PES header
    that starts there; a header cut off by the packet's end is not read."""
    if not packet[1] & 0x40 or not packet[3] & 0x10:
        return []
    start = 4 + (1 + packet[4] if packet[3] & 0x20 else 0)
    pes = packet[start:start + 19]
    if len(pes) < 9 or pes[:3] != b"\0\0\1" or pes[3] in PES_WITHOUT_HEADER:
        return []
    wanted = {0b10: (9,), 0b11: (9, 14)}.get(pes[7] >> 6, ())
    return [start + at for at in wanted if at + 5 <= len(pes)]


class RtpWrapper:
    """An RTP version-2 header before each datagram, as RFC 2250 carries
    transport packets: payload type 33, sequence numbers stepping by one, a
    90 kHz timestamp of the send time, one source. The numbers carry on across
    calls, so a stream sent in stages is one RTP stream; they start at random."""

    def __init__(self):
        self.sequence, self.first_timestamp, self.ssrc = (random.getrandbits(n) for n in (16, 32, 32))

    def wrap(self, payload, seconds):
        timestamp = (self.first_timestamp + round(seconds * 90_000)) & 0xFFFFFFFF
        header = struct.pack("!BBHII", 0x80, 33, self.sequence, timestamp, self.ssrc)
        self.sequence = (self.sequence + 1) & 0xFFFF
        return header + payload


def send_datagrams(datagrams, group, port, rate_bps, *, max_seconds=30, rtp=None):
    """Sends the payloads in order at rate_bps (of the payloads), paced against
    the start so that sleep overruns are caught up; ends early after max_seconds."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        # Loopback delivers to the relay in the test's namespace, the only place this runs.
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        start, sent = time.monotonic(), 0
        for payload in datagrams:
            now = time.monotonic()
            if now - start >= max_seconds:
                return
            if start + sent * 8 / rate_bps - now >= MIN_SLEEP_SECONDS:
                time.sleep(start + sent * 8 / rate_bps - now)
            sock.sendto(rtp.wrap(payload, time.monotonic() - start) if rtp else payload, (group, port))
            sent += len(payload)
