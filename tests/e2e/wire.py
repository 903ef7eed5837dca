"""What the tests put on the wire themselves: transport packets cut into
datagrams, malformed ones among them, sent in stages at a set rate, bare or
behind an RTP header; the timestamps of a packet; PAT sections rewritten. A
stream that plays or loops goes out through the one sender, tools/mcast_send,
instead."""
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


def crc32_mpeg2(data):
    """The CRC-32 that ends each table section: polynomial 0x04C11DB7, not reflected, no final XOR."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = crc << 1 ^ 0x104C11DB7 if crc & 0x80000000 else crc << 1
    return crc


def with_network_entry(data, network_pid=0x10):
    """The stream with each PAT section listing the network information table first, as program 0 the way DVB
    multiplexes do; section length and CRC-32 made anew. Each section must start in its packet and leave room."""
    out = bytearray(data)
    for at in range(0, len(out) - TS_PACKET_BYTES + 1, TS_PACKET_BYTES):
        if out[at + 1] & 0x5F != 0x40 or out[at + 2]:  # not where a section starts on PID 0
            continue
        start = at + 5 + out[at + 4]  # past the pointer field: ffmpeg's PAT packets carry no adaptation field
        length = (out[start + 1] & 0x0F) << 8 | out[start + 2]
        section = bytearray(out[start:start + 8] + struct.pack("!HH", 0, 0xE000 | network_pid) +
                            out[start + 8:start + 3 + length - 4])
        section[1:3] = struct.pack("!H", 0xB000 | (length + 4))
        out[start:start + len(section) + 4] = section + struct.pack("!I", crc32_mpeg2(section))
    return bytes(out)


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
