#!/usr/bin/python3
"""Sends an MPEG-2 transport stream file to a multicast group, the way an IPTV
head-end does: seven 188-byte packets per UDP datagram, paced at a steady rate.

    mcast_send.py FILE.ts GROUP PORT [--rate-mbps R | --realtime] [--loop] [--rtp]
                  [--max-seconds S] [--max-datagrams N]
                  [--packets-per-datagram 7] [--ttl 1]

Without a rate option the stream goes out at its own bit rate (--realtime),
taken from its program clock references. Every run is bounded: it stops at
the end of the file (never, with --loop), after --max-seconds (default one
hour), after --max-datagrams, or at SIGINT/SIGTERM, and exits 0 in each case.

With --loop the seam between passes is invisible to a receiver: each PID's
continuity counter carries on from where the last pass left it, and every
PCR, PTS and DTS moves forward by the file's duration, so a player sees one
endless stream rather than a jump back in time. The duration is that of the
PCR PID's frames (its PTS span plus one frame), so that stream, normally the
video, joins up exactly; other streams keep their place relative to it. An
AAC track always runs a little past the video, by the encoder's priming
frame at least, so at each seam its next pass starts a frame or so early;
players drop or re-time that frame.

With --rtp each datagram goes out behind a 12-byte RTP header, as many IPTV
networks send transport streams (see RtpWrapper).

Importable: the tests build datagram lists with datagrams_of() and send them
with send_datagrams(), or send a whole file with send_stream(); SeamlessLoop
rewrites the datagrams of one pass for the next.
"""
import argparse
import collections
import ipaddress
import random
import signal
import struct
import socket
import sys
import time

TS_PACKET_BYTES = 188
TS_SYNC_BYTE = 0x47
NULL_PID = 0x1FFF
PCR_HZ = 27_000_000
PCR_TICKS_PER_PTS_TICK = 300  # 27 MHz over 90 kHz
TIMESTAMP_WRAP = 1 << 33  # PTS, DTS and the PCR base are 33-bit counters
CONTINUITY_WRAP = 16
DEFAULT_PACKETS_PER_DATAGRAM = 7  # 1316 bytes: the largest run that fits a 1500-byte Ethernet MTU
DEFAULT_MAX_SECONDS = 3600.0
RTP_VERSION_2 = 0x80  # no padding, no extension, no CSRC list
RTP_PAYLOAD_TYPE_MP2T = 33
RTP_CLOCK_HZ = 90_000
# Sleeping for less than this costs more in wake-up jitter than it gains.
MIN_SLEEP_SECONDS = 0.001


def datagrams_of(data, packets_per_datagram=DEFAULT_PACKETS_PER_DATAGRAM):
    """Splits whole transport packets into datagram payloads; a trailing
    partial packet, as in a truncated capture, is left out."""
    whole = len(data) - len(data) % TS_PACKET_BYTES
    step = packets_per_datagram * TS_PACKET_BYTES
    return [bytes(data[i:min(i + step, whole)]) for i in range(0, whole, step)]


def _pid_of(packet):
    return ((packet[1] & 0x1F) << 8) | packet[2]


def _has_adaptation(packet):
    return bool(packet[3] & 0x20)


def _has_payload(packet):
    return bool(packet[3] & 0x10)


def _has_pcr(packet):
    return _has_adaptation(packet) and packet[4] >= 7 and bool(packet[5] & 0x10)


def _read_pcr(b):
    """A PCR field (6 bytes: 33-bit base, 6 reserved bits, 9-bit extension) in 27 MHz ticks."""
    base = (b[0] << 25) | (b[1] << 17) | (b[2] << 9) | (b[3] << 1) | (b[4] >> 7)
    extension = ((b[4] & 0x01) << 8) | b[5]
    return base * PCR_TICKS_PER_PTS_TICK + extension


def _write_pcr(b, at, pcr):
    base = (pcr // PCR_TICKS_PER_PTS_TICK) % TIMESTAMP_WRAP
    extension = pcr % PCR_TICKS_PER_PTS_TICK
    b[at:at + 6] = bytes((base >> 25 & 0xFF, base >> 17 & 0xFF, base >> 9 & 0xFF, base >> 1 & 0xFF,
                          (base & 1) << 7 | 0x7E | extension >> 8, extension & 0xFF))


def read_timestamp(t):
    """A PTS or DTS field: 33 bits spread over 5 bytes between marker bits (ISO/IEC 13818-1, 2.4.3.7)."""
    return ((t[0] & 0x0E) << 29) | (t[1] << 22) | ((t[2] & 0xFE) << 14) | (t[3] << 7) | (t[4] >> 1)


def _write_timestamp(b, at, value):
    # The top four bits of the first byte say PTS or DTS; they stay.
    b[at:at + 5] = bytes((b[at] & 0xF0 | value >> 29 & 0x0E | 1, value >> 22 & 0xFF, value >> 14 & 0xFE | 1,
                          value >> 7 & 0xFF, value << 1 & 0xFE | 1))


# Stream ids whose PES packets have no optional header, hence no timestamps (2.4.3.7, Table 2-21).
_PES_WITHOUT_HEADER = frozenset((0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF))


def timestamp_offsets(packet):
    """Offsets within the packet of the PTS and DTS fields of a PES header
    that starts there; a header cut off by the packet's end is not read."""
    if not packet[1] & 0x40 or not _has_payload(packet):
        return []
    start = 4 + (1 + packet[4] if _has_adaptation(packet) else 0)
    pes = packet[start:start + 19]
    if len(pes) < 9 or pes[:3] != b"\0\0\1" or pes[3] in _PES_WITHOUT_HEADER:
        return []
    flags = pes[7] >> 6
    wanted = {0b10: (9,), 0b11: (9, 14)}.get(flags, ())
    return [start + at for at in wanted if at + 5 <= len(pes)]


def _pcr_of(packet):
    """The packet's program clock reference in 27 MHz ticks, or None."""
    if packet[0] != TS_SYNC_BYTE or not _has_pcr(packet):
        return None
    return _read_pcr(packet[6:12])


def stream_rate_bps(data):
    """The stream's mean bit rate between its first and last PCR on the first
    PID that carries one. Raises ValueError when there are not two."""
    pcr_pid = first = last = None
    for offset in range(0, len(data) - TS_PACKET_BYTES + 1, TS_PACKET_BYTES):
        packet = data[offset:offset + TS_PACKET_BYTES]
        pcr = _pcr_of(packet)
        if pcr is None:
            continue
        pid = _pid_of(packet)
        if pcr_pid is None:
            pcr_pid, first = pid, (offset, pcr)
        elif pid == pcr_pid:
            last = (offset, pcr)
    if first is None or last is None or last[1] <= first[1]:
        raise ValueError("stream carries too few program clock references to derive its rate")
    return (last[0] - first[0]) * 8 * PCR_HZ / (last[1] - first[1])


def _unwrapped(values, wrap):
    """Counters that wrap at `wrap`, in order, made into plain numbers: each
    step is taken as the shorter way round, so the small steps back that
    B-frames make stay steps back."""
    out = []
    for value in values:
        if out:
            step = (value - out[-1]) % wrap
            out.append(out[-1] + (step - wrap if step >= wrap // 2 else step))
        else:
            out.append(value)
    return out


def _span_plus_one_step(values, wrap):
    """From the first to one step past the last of the distinct values, the
    step being the commonest gap between neighbours; None for fewer than two."""
    points = sorted(set(_unwrapped(values, wrap)))
    if len(points) < 2:
        return None
    step = collections.Counter(b - a for a, b in zip(points, points[1:])).most_common(1)[0][0]
    return points[-1] - points[0] + step


def pass_duration_pcr(pcr_pid_pts, pcrs):
    """How long one pass over a file plays, in 27 MHz ticks: what a looped
    copy's PCRs, PTSs and DTSs move forward by each pass.

    Taken from the PTSs on the PCR PID when it has them, as the span plus one
    frame, which makes that stream (normally the video) join up exactly; the
    PCR span plus one PCR interval is the fallback, but ffmpeg, for one,
    spaces its PCRs unevenly, so that would leave a gap of a few frames."""
    frames = _span_plus_one_step(pcr_pid_pts, TIMESTAMP_WRAP)
    if frames is not None:
        return frames * PCR_TICKS_PER_PTS_TICK
    clock = _span_plus_one_step(pcrs, TIMESTAMP_WRAP * PCR_TICKS_PER_PTS_TICK)
    if clock is None:
        raise ValueError("stream carries too few timestamps to loop it seamlessly")
    # Whole 90 kHz ticks, so that PTS and DTS move exactly as far as the PCR.
    return round(clock / PCR_TICKS_PER_PTS_TICK) * PCR_TICKS_PER_PTS_TICK


class SeamlessLoop:
    """A list of datagrams to be sent over and over as one endless stream.

    Before a datagram goes out again it is rewritten in place from the last
    pass to the next: each PID's continuity counters step on by as many as the
    pass used, and every PCR, PTS and DTS moves forward by the pass's duration
    (33-bit wrap included). Without that, each pass restarts the clocks, the
    relay logs a continuity break, and hls.js stalls waiting for the timeline
    to catch up. Where the fields lie is found once, here; a pass only touches
    those bytes."""

    def __init__(self, datagrams):
        self.payloads = [bytearray(d) for d in datagrams]
        self.total_bytes = sum(len(p) for p in self.payloads)
        first_counter, next_counter = {}, {}
        pts_by_pid = collections.defaultdict(list)
        pcr_pid, pcrs = None, []
        found = []
        for payload in self.payloads:
            counters, pcr_offsets, stamp_offsets = [], [], []
            for at in range(0, len(payload) - TS_PACKET_BYTES + 1, TS_PACKET_BYTES):
                packet = payload[at:at + TS_PACKET_BYTES]
                if packet[0] != TS_SYNC_BYTE or _pid_of(packet) == NULL_PID:
                    continue
                pid = _pid_of(packet)
                counters.append((at + 3, pid))
                if _has_payload(packet):
                    first_counter.setdefault(pid, packet[3] & 0x0F)
                    next_counter[pid] = (packet[3] + 1) & 0x0F
                if _has_pcr(packet):
                    pcr_offsets.append(at + 6)
                    pcr_pid = pid if pcr_pid is None else pcr_pid
                    if pid == pcr_pid:
                        pcrs.append(_read_pcr(packet[6:12]))
                fields = timestamp_offsets(packet)
                if fields:
                    pts_by_pid[pid].append(read_timestamp(packet[fields[0]:fields[0] + 5]))
                    stamp_offsets.extend(at + field for field in fields)
            found.append((counters, pcr_offsets, stamp_offsets))
        self.duration_pcr = pass_duration_pcr(pts_by_pid.get(pcr_pid, []), pcrs)
        self.duration_seconds = self.duration_pcr / PCR_HZ
        # Where the pass ended, not how many packets it held: a capture may
        # start and end mid-sequence, or lose packets on the way.
        counter_step = {pid: (next_counter[pid] - first) % CONTINUITY_WRAP for pid, first in first_counter.items()}
        self._patches = [([(at, counter_step[pid]) for at, pid in counters if counter_step.get(pid)], pcr_offsets,
                          stamp_offsets) for counters, pcr_offsets, stamp_offsets in found]

    def advance(self, index):
        """Rewrites datagram `index` for the pass after the one it last went out in."""
        payload = self.payloads[index]
        counters, pcr_offsets, stamp_offsets = self._patches[index]
        for at, step in counters:
            counter = payload[at]
            payload[at] = counter & 0xF0 | (counter + step) & 0x0F
        for at in pcr_offsets:
            _write_pcr(payload, at, _read_pcr(payload[at:at + 6]) + self.duration_pcr)
        shift = self.duration_pcr // PCR_TICKS_PER_PTS_TICK
        for at in stamp_offsets:
            _write_timestamp(payload, at, (read_timestamp(payload[at:at + 5]) + shift) % TIMESTAMP_WRAP)


class RtpWrapper:
    """Puts an RTP version-2 header (RFC 3550) before each datagram, as RFC 2250
    carries transport packets: payload type 33, sequence numbers stepping by
    one, a 90 kHz timestamp of the send time, one source identifier. The
    numbers carry on across calls, so a stream sent in stages is one RTP
    stream; sequence numbers and timestamps start at random, as they should."""

    def __init__(self):
        self.sequence = random.getrandbits(16)
        self.first_timestamp = random.getrandbits(32)
        self.ssrc = random.getrandbits(32)

    def wrap(self, payload, seconds):
        timestamp = (self.first_timestamp + round(seconds * RTP_CLOCK_HZ)) & 0xFFFFFFFF
        header = struct.pack("!BBHII", RTP_VERSION_2, RTP_PAYLOAD_TYPE_MP2T, self.sequence, timestamp, self.ssrc)
        self.sequence = (self.sequence + 1) & 0xFFFF
        return header + payload


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
                   max_datagrams=None, stop=None, ttl=1, sock=None, rtp=None):
    """Sends the payloads in order at rate_bps (None: as fast as the socket
    takes them), once or, with loop, over and over as one seamless stream
    (see SeamlessLoop). Returns (datagrams, bytes) sent. Ends at the list's
    end, at max_seconds, at max_datagrams, or when stop (a threading.Event
    or a SignalStop) is set, whichever comes first. With an RtpWrapper each goes out behind
    its header; the rate and the counts are of the payloads."""
    seamless = SeamlessLoop(datagrams) if loop and datagrams else None
    return _send(seamless.payloads if seamless else datagrams, seamless, group, port, rate_bps,
                 max_seconds=max_seconds, max_datagrams=max_datagrams, stop=stop, ttl=ttl, sock=sock, rtp=rtp)


def _send(payloads, seamless, group, port, rate_bps, *, max_seconds, max_datagrams, stop, ttl, sock=None,
          rtp=None):
    """send_datagrams' work: once through payloads, or endlessly when a
    SeamlessLoop holding them is given."""
    if not payloads:
        return 0, 0
    own_socket = sock is None
    sock = sock or multicast_socket(ttl)
    destination = (group, port)
    start = time.monotonic()
    deadline = start + max_seconds
    sent_datagrams = sent_bytes = 0
    later_pass = False
    try:
        while True:
            for index, payload in enumerate(payloads):
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
                if later_pass:
                    seamless.advance(index)
                sock.sendto(rtp.wrap(payload, time.monotonic() - start) if rtp else payload, destination)
                sent_datagrams += 1
                sent_bytes += len(payload)
            if seamless is None:
                return sent_datagrams, sent_bytes
            later_pass = True
    finally:
        if own_socket:
            sock.close()


def send_stream(path, group, port, *, rate_mbps=None, loop=False, max_seconds=DEFAULT_MAX_SECONDS,
                max_datagrams=None, packets_per_datagram=DEFAULT_PACKETS_PER_DATAGRAM, ttl=1, stop=None, rtp=False):
    """Sends a transport stream file; rate_mbps None means its own rate."""
    with open(path, "rb") as f:
        data = f.read()
    datagrams = datagrams_of(data, packets_per_datagram)
    seamless = SeamlessLoop(datagrams) if loop and datagrams else None
    if rate_mbps:
        rate_bps = rate_mbps * 1e6
    elif seamless:
        # Each pass then takes exactly as long as it plays; the rate between
        # the first and last PCR would miss the packets beyond them, and a
        # player would drift out of its buffer a little every pass.
        rate_bps = seamless.total_bytes * 8 / seamless.duration_seconds
    else:
        rate_bps = stream_rate_bps(data)
    return _send(seamless.payloads if seamless else datagrams, seamless, group, port, rate_bps,
                 max_seconds=max_seconds, max_datagrams=max_datagrams, stop=stop, ttl=ttl,
                 rtp=RtpWrapper() if rtp else None)


class SignalStop:
    """A stop request set by a signal handler. The handler runs in the main
    thread between two of its steps, so it must not take a lock the sender
    may hold at that moment, as threading.Event.set does while Event.wait
    holds it: the sender would then never see the signal."""

    def __init__(self):
        self.requested = False

    def set(self, *_):
        self.requested = True

    def is_set(self):
        return self.requested

    def wait(self, seconds):
        time.sleep(seconds)
        return self.requested


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
    parser.add_argument("--loop", action="store_true",
                        help="start over at the end of the file, clocks and continuity counters running on")
    parser.add_argument("--rtp", action="store_true", help="send each datagram behind an RTP header")
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

    stop = SignalStop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, stop.set)
    try:
        datagrams, sent = send_stream(args.file, args.group, args.port, rate_mbps=args.rate_mbps, loop=args.loop,
                                      max_seconds=args.max_seconds, max_datagrams=args.max_datagrams,
                                      packets_per_datagram=args.packets_per_datagram, ttl=args.ttl, stop=stop,
                                      rtp=args.rtp)
    except (OSError, ValueError) as e:
        print(f"mcast_send: {e}", file=sys.stderr)
        return 1
    print(f"mcast_send: sent {datagrams} datagrams, {sent} bytes to {args.group}:{args.port}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
