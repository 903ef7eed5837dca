#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The transport-stream seeds start from a short stream that ffmpeg makes (H.264
and MP2 audio at 60 frames/s, tiny pictures so video PES starts come often),
cut into datagrams of seven packets as a multicast sender sends them, plus
crafted datagrams for the edge cases the receive loop must survive. Run it
again only to change the seeds; the corpora are checked in.
"""
import struct
import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PACKET = 188
DATAGRAM_PACKETS = 7
VIDEO_PID = 0x100
AUDIO_PID = 0x101


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


# ts_scan: video PID (2 bytes), then per datagram a 2-byte length and its bytes.
def scan_input(pid, datagrams):
    out = struct.pack(">H", pid)
    for d in datagrams:
        out += struct.pack(">H", len(d)) + d
    return out


def packet(pid, pusi=False, counter=0, payload=True, sync=True):
    header = bytes([0x47 if sync else 0x00,
                    (0x40 if pusi else 0) | (pid >> 8), pid & 0xFF,
                    (0x10 if payload else 0x20) | (counter & 0x0F)])
    return header + bytes([0xFF]) * (PACKET - 4)


def ffmpeg_stream():
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "seed.ts"
        subprocess.run(["ffmpeg", "-v", "error", "-y",
                        "-f", "lavfi", "-i", "testsrc=size=64x48:rate=60",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                        "-t", "0.25", "-c:v", "libx264", "-g", "6", "-bf", "0",
                        "-c:a", "mp2", "-f", "mpegts", "-mpegts_start_pid", str(VIDEO_PID), str(out)],
                       check=True)
        return out.read_bytes()


def has_video_pes_start(datagram):
    return any(datagram[i] == 0x47 and datagram[i + 1] & 0x40 and
               ((datagram[i + 1] & 0x1F) << 8 | datagram[i + 2]) == VIDEO_PID
               for i in range(0, len(datagram), PACKET))


def ts_scan_seeds():
    stream = ffmpeg_stream()
    size = PACKET * DATAGRAM_PACKETS
    datagrams = [stream[i:i + size] for i in range(0, len(stream), size)]
    with_pes = [d for d in datagrams if has_video_pes_start(d)]
    write("ts_scan", "ffmpeg-stream-start", scan_input(VIDEO_PID, datagrams[:4]))
    write("ts_scan", "ffmpeg-video-pes-starts", scan_input(VIDEO_PID, with_pes[1:4]))
    write("ts_scan", "ffmpeg-audio-as-video-pid", scan_input(AUDIO_PID, datagrams[4:7]))
    write("ts_scan", "ffmpeg-stream-end", scan_input(VIDEO_PID, [datagrams[-1]]))

    audio = [packet(AUDIO_PID, counter=i) for i in range(7)]
    third = list(audio)
    third[2] = packet(VIDEO_PID, pusi=True)
    write("ts_scan", "pes-start-third-packet", scan_input(VIDEO_PID, [b"".join(third)]))
    first = [packet(VIDEO_PID, pusi=True)] + audio[1:]
    write("ts_scan", "pes-start-first-packet", scan_input(VIDEO_PID, [b"".join(first)]))
    two = list(audio)
    two[1] = packet(VIDEO_PID, pusi=True, counter=0)
    two[4] = packet(VIDEO_PID, pusi=True, counter=1)
    write("ts_scan", "pes-starts-second-and-fifth", scan_input(VIDEO_PID, [b"".join(two)]))
    breaks = [packet(VIDEO_PID, counter=5), packet(VIDEO_PID, counter=5), packet(VIDEO_PID, counter=15),
              packet(VIDEO_PID, counter=0), packet(VIDEO_PID, counter=9, payload=False)]
    write("ts_scan", "counter-breaks", scan_input(VIDEO_PID, [b"".join(breaks), b"".join(breaks[2:])]))
    write("ts_scan", "partial-trailing-packet",
          scan_input(VIDEO_PID, [b"".join(third) + packet(VIDEO_PID, pusi=True)[:100]]))
    write("ts_scan", "no-sync-and-empty",
          scan_input(VIDEO_PID, [packet(VIDEO_PID, pusi=True, sync=False) * 2, b""]))
    full = b"".join(packet(VIDEO_PID, pusi=i % 5 == 0, counter=i) for i in range(22))[:4096]
    write("ts_scan", "datagram-cut-at-4096", scan_input(VIDEO_PID, [full]))


DESCRIPTIONS = {
    "group-port": b"239.1.1.1:5000",
    "pid-hex": b"239.1.1.1:5000:1e1",
    "pid-0x": b"239.1.1.1:5000:0x1e1",
    "four-fields": b"239.1.1.1:5000:1e1:9",
    "empty-field": b"239.1.1.1::5000",
    "trailing-colon": b"239.1.1.1:5000:",
    "quoted-group": b'"239.1.1.1":5000',
    "group-only": b"239.1.1.1",
    "port-only": b":5000",
    "quoted-colon": b'a:"b:c":d',
    "quote-then-text": b'"ab"cd:ef',
    "trailing-quote": b'abc:"',
    "unclosed-quote": b'"abc',
    "nul-inside": b"239.1.1.1:5000\x00:1e1",
    "signs-and-space": b"239.1.1.1: -12: +0x7fffffffff",
    "bad-group": b"239.1.1:5000",
    "control-chars": b"\x1b[31m239.1.1.1\x07:5000",
}


def description_seeds():
    for name, text in DESCRIPTIONS.items():
        write("stream_description", name, text)


# segment_name: operations, see fuzz/segment_name_fuzzer.cpp.
def cut(packets=1):
    return bytes([0x00, packets - 1])


def lease_name(name, hold=False):
    return bytes([0x81 if hold else 0x01, len(name)]) + name


def lease_number(back, hold=False):
    return bytes([0x82 if hold else 0x02, back])


def release(index=0):
    return bytes([0x03, index])


def segment_name_seeds():
    write("segment_name", "every-number-after-nine-cuts",
          b"".join(cut(3) for _ in range(9)) + b"".join(lease_number(k) for k in range(10)))
    names = [b"hlsMcast_3.ts", b"HLSMCAST_3.TS", b"hlsMcast_3.ts\x00", b"/hlsMcast_3.ts", b"hlsMcast_03.ts",
             b"\x1b[31mhlsMcast_1.ts", b"hlsMcast_-1.ts", b""]
    write("segment_name", "literal-names", b"".join(cut(2) for _ in range(5)) +
          b"".join(lease_name(n) for n in names))
    write("segment_name", "leases-held-across-wrap",
          b"".join(cut(k + 1) for k in range(3)) +
          lease_number(0, True) + lease_number(1, True) + lease_number(2, True) +
          lease_name(b"hlsMcast_0.ts", True) + b"".join(cut(8) for _ in range(10)) +
          release(3) + release(0) + lease_number(0, True) + release(1) + release(0) + release(0))


if __name__ == "__main__":
    ts_scan_seeds()
    description_seeds()
    segment_name_seeds()
