#!/usr/bin/python3
"""Sends an MPEG-2 transport stream file to a multicast group, the way an IPTV
head-end does: seven 188-byte packets per UDP datagram, paced at a steady rate.

    mcast_send.py FILE.ts GROUP PORT [--rate-mbps R | --realtime] [--loop]
                  [--max-seconds S] [--max-datagrams N]
                  [--packets-per-datagram 7] [--ttl 1]

Without a rate option the stream goes out at its own bit rate (--realtime),
taken from its program clock references. Every run is bounded: it stops at
the end of the file (never, with --loop), after --max-seconds (default one
hour), after --max-datagrams, or at SIGINT/SIGTERM, and exits 0 in each case.

Importable: the tests build datagram lists with datagrams_of() and send them
with send_datagrams(), or send a whole file with send_stream().
"""
import argparse
import ipaddress
import signal
import socket
import sys
import threading
import time

TS_PACKET_BYTES = 188
TS_SYNC_BYTE = 0x47
PCR_HZ = 27_000_000
DEFAULT_PACKETS_PER_DATAGRAM = 7  # 1316 bytes: the largest run that fits a 1500-byte Ethernet MTU
DEFAULT_MAX_SECONDS = 3600.0
# Sleeping for less than this costs more in wake-up jitter than it gains.
MIN_SLEEP_SECONDS = 0.001


def datagrams_of(data, packets_per_datagram=DEFAULT_PACKETS_PER_DATAGRAM):
    """Splits whole transport packets into datagram payloads; a trailing
    partial packet, as in a truncated capture, is left out."""
    whole = len(data) - len(data) % TS_PACKET_BYTES
    step = packets_per_datagram * TS_PACKET_BYTES
    return [bytes(data[i:min(i + step, whole)]) for i in range(0, whole, step)]


def _pcr_of(packet):
    """The packet's program clock reference in 27 MHz ticks, or None."""
    if packet[0] != TS_SYNC_BYTE or not packet[3] & 0x20:
        return None
    adaptation_length = packet[4]
    if adaptation_length < 7 or not packet[5] & 0x10:
        return None
    b = packet[6:12]
    base = (b[0] << 25) | (b[1] << 17) | (b[2] << 9) | (b[3] << 1) | (b[4] >> 7)
    extension = ((b[4] & 0x01) << 8) | b[5]
    return base * 300 + extension


def stream_rate_bps(data):
    """The stream's mean bit rate between its first and last PCR on the first
    PID that carries one. Raises ValueError when there are not two."""
    pcr_pid = first = last = None
    for offset in range(0, len(data) - TS_PACKET_BYTES + 1, TS_PACKET_BYTES):
        packet = data[offset:offset + TS_PACKET_BYTES]
        pcr = _pcr_of(packet)
        if pcr is None:
            continue
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        if pcr_pid is None:
            pcr_pid, first = pid, (offset, pcr)
        elif pid == pcr_pid:
            last = (offset, pcr)
    if first is None or last is None or last[1] <= first[1]:
        raise ValueError("stream carries too few program clock references to derive its rate")
    return (last[0] - first[0]) * 8 * PCR_HZ / (last[1] - first[1])


def is_multicast(address):
    try:
        return ipaddress.IPv4Address(address).is_multicast
    except ValueError:
        return False


def multicast_socket(ttl=1):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # TTL 1 keeps the stream on the local link; loopback lets a relay on this
    # host (or in this network namespace) receive what we send.
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, ttl)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    return s


def send_datagrams(datagrams, group, port, rate_bps, *, loop=False, max_seconds=DEFAULT_MAX_SECONDS,
                   max_datagrams=None, stop=None, ttl=1, sock=None):
    """Sends the payloads in order at rate_bps (None: as fast as the socket
    takes them), once or, with loop, over and over. Returns (datagrams, bytes)
    sent. Ends at the list's end, at max_seconds, at max_datagrams, or when
    the threading.Event stop is set, whichever comes first."""
    if not datagrams:
        return 0, 0
    own_socket = sock is None
    sock = sock or multicast_socket(ttl)
    destination = (group, port)
    start = time.monotonic()
    deadline = start + max_seconds
    sent_datagrams = sent_bytes = 0
    try:
        while True:
            for payload in datagrams:
                if stop is not None and stop.is_set():
                    return sent_datagrams, sent_bytes
                if max_datagrams is not None and sent_datagrams >= max_datagrams:
                    return sent_datagrams, sent_bytes
                now = time.monotonic()
                if now >= deadline:
                    return sent_datagrams, sent_bytes
                if rate_bps:
                    # Paced against the start, not the previous datagram, so
                    # sleep overruns are caught up instead of adding up.
                    due = start + sent_bytes * 8 / rate_bps
                    if due - now >= MIN_SLEEP_SECONDS:
                        pause = min(due - now, deadline - now)
                        if stop is None:
                            time.sleep(pause)
                        elif stop.wait(pause):
                            return sent_datagrams, sent_bytes
                sock.sendto(payload, destination)
                sent_datagrams += 1
                sent_bytes += len(payload)
            if not loop:
                return sent_datagrams, sent_bytes
    finally:
        if own_socket:
            sock.close()


def send_stream(path, group, port, *, rate_mbps=None, loop=False, max_seconds=DEFAULT_MAX_SECONDS,
                max_datagrams=None, packets_per_datagram=DEFAULT_PACKETS_PER_DATAGRAM, ttl=1, stop=None):
    """Sends a transport stream file; rate_mbps None means its own rate."""
    with open(path, "rb") as f:
        data = f.read()
    rate_bps = rate_mbps * 1e6 if rate_mbps else stream_rate_bps(data)
    return send_datagrams(datagrams_of(data, packets_per_datagram), group, port, rate_bps, loop=loop,
                          max_seconds=max_seconds, max_datagrams=max_datagrams, stop=stop, ttl=ttl)


def _number(kind, low=None, high=None, positive=False):
    """An argparse type: a number of `kind` within the given bounds."""
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text}") from None
        if ((positive and value <= 0) or (low is not None and value < low)
                or (high is not None and value > high)):
            raise argparse.ArgumentTypeError(f"out of range: {text}")
        return value
    return parse


def main(argv=None):
    parser = argparse.ArgumentParser(description="Send an MPEG-2 transport stream file to a multicast group.")
    parser.add_argument("file", help="transport stream file (188-byte packets)")
    parser.add_argument("group", help="multicast group, e.g. 239.1.1.1")
    parser.add_argument("port", type=_number(int, 1, 65535), help="UDP port")
    pace = parser.add_mutually_exclusive_group()
    pace.add_argument("--rate-mbps", type=_number(float, positive=True), help="send at this rate in Mbit/s")
    pace.add_argument("--realtime", action="store_true",
                      help="send at the stream's own rate, from its PCRs (the default)")
    parser.add_argument("--loop", action="store_true", help="start over at the end of the file")
    parser.add_argument("--max-seconds", type=_number(float, positive=True), default=DEFAULT_MAX_SECONDS,
                        help=f"stop after this long (default {DEFAULT_MAX_SECONDS:g})")
    parser.add_argument("--max-datagrams", type=_number(int, positive=True), help="stop after this many datagrams")
    parser.add_argument("--packets-per-datagram", type=_number(int, positive=True),
                        default=DEFAULT_PACKETS_PER_DATAGRAM,
                        help=f"transport packets per datagram (default {DEFAULT_PACKETS_PER_DATAGRAM})")
    parser.add_argument("--ttl", type=_number(int, 0, 255), default=1,
                        help="multicast time to live (default 1: the local link only)")
    args = parser.parse_args(argv)
    if not is_multicast(args.group):
        # TTL and loopback only govern multicast: a unicast address would be
        # routed off this host like any other traffic.
        parser.error(f"not an IPv4 multicast group (224.0.0.0/4): {args.group}")

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    try:
        datagrams, sent = send_stream(args.file, args.group, args.port, rate_mbps=args.rate_mbps, loop=args.loop,
                                      max_seconds=args.max_seconds, max_datagrams=args.max_datagrams,
                                      packets_per_datagram=args.packets_per_datagram, ttl=args.ttl, stop=stop)
    except (OSError, ValueError) as e:
        print(f"mcast_send: {e}", file=sys.stderr)
        return 1
    print(f"mcast_send: sent {datagrams} datagrams, {sent} bytes to {args.group}:{args.port}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
