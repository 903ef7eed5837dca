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
# Sleeping for less than this costs more in wake-up jitter than it gains.
MIN_SLEEP_SECONDS = 0.001
NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * (TS_PACKET_BYTES - 4)


def datagrams_of(data):
    """Whole transport packets cut into datagram payloads; a trailing partial
    packet, as in a cut capture, is left out."""
    whole = len(data) - len(data) % TS_PACKET_BYTES
    step = PACKETS_PER_DATAGRAM * TS_PACKET_BYTES
    return [bytes(data[i:min(i + step, whole)]) for i in range(0, whole, step)]


def decode_ticks(packet):
    """The DTS, else the PTS, of the PES header that starts in the packet: 33 bits over 5 bytes between markers."""
    pes = packet[4 + (1 + packet[4] if packet[3] & 0x20 else 0):]
    t = pes[14:19] if pes[7] >> 6 == 0b11 else pes[9:14]
    return ((t[0] & 0x0E) << 29) | (t[1] << 22) | ((t[2] & 0xFE) << 14) | (t[3] << 7) | (t[4] >> 1)


def rtp_wrapped(datagrams):
    """Each datagram behind an RTP version-2 header, as RFC 2250 carries transport packets: payload type 33,
    sequence numbers stepping by one from a random start, one source (the relay reads no RTP timestamp)."""
    first, source = random.getrandbits(16), random.getrandbits(32)
    return [struct.pack("!BBHII", 0x80, 33, (first + i) & 0xFFFF, 0, source) + d for i, d in enumerate(datagrams)]


def send_datagrams(datagrams, group, port, rate_bps, *, max_seconds=30):
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
            sock.sendto(payload, (group, port))
            sent += len(payload)
