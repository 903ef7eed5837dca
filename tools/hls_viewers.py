#!/usr/bin/python3
"""Simulated HLS viewers: the one viewer of the end-to-end tests, the tier
test and the tier bench.

    hls_viewers.py URL [URL...] --viewers N [--slow M --slow-mbps R] --seconds S [--json FILE]
    hls_viewers.py LL-URL [LL-URL...] --low-latency --viewers N --seconds S [--json FILE]

Each viewer behaves as a live player does: it reloads the playlist about once
per segment duration, fetches every segment it has not fetched yet once, in
order, over one keep-alive connection, and starts at the live edge. Viewers
join spread over the first seconds, as real ones do. A slow viewer reads its
segments at a fixed rate, like a player on a poor link. Viewers are spread
over the URLs in turn.

A viewer misses a segment that fails, answers other than 200, or arrives
later than one segment duration after the reload of the playlist that listed
it, and a playlist that fails once it has started; a fast viewer that missed
nothing, skipped nothing and met no error was served in time. Prints a JSON
summary (or writes it to --json).

With --low-latency the URLs are low-latency playlists (EXT-X-PART), which
viewers play as hls.js does in its low-latency mode: they start PART-HOLD-BACK
behind the live edge at an INDEPENDENT part and fetch every part from there
on, in order. The playlist is reloaded with _HLS_msn/_HLS_part naming the
hinted part, which the server holds until that part exists; the hinted part
itself is asked for at once too, and held the same way, as players that
follow EXT-X-PRELOAD-HINT do (hls.js 1.7 reads the hint but waits for the
playlist). A viewer misses a part or a playlist answered other than 200 once
it has started, and a part that left the playlist before it was fetched. Each
part's lag is the wall clock when it arrived less its PROGRAM-DATE-TIME (that
of its segment plus the parts before it); a part is late when it lags more
than PART-HOLD-BACK and more than the viewer's first part did, since a
player holding back that far would have stalled. A viewer with parts, no
miss, no late part and no error was served in time.

Importable: a test makes a Viewer and calls its fetch_new() at its own pace,
or makes one with low_latency=True and awaits its watch().
"""
import argparse
import asyncio
import json
import random
import re
import socket
import statistics
import sys
import time
from datetime import datetime
from typing import NamedTuple
from urllib.parse import urljoin, urlsplit

ENTRY = re.compile(r"#EXTINF:([\d.]+),[^\n]*\n([^#\s][^\n]*)\n")
SEQUENCE = re.compile(r"#EXT-X-MEDIA-SEQUENCE:(\d+)")
RETRY_SECONDS = 0.5  # until the next reload when there was no playlist
REQUEST_TIMEOUT_SECONDS = 10.0
READ_BYTES = 65536
RELAY_PORT = 8154
ATTRIBUTE = re.compile(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)')
# What ends a viewer's run early: the connection or the server's answer failed.
WATCH_ERRORS = (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ValueError, IndexError)


class Connection:
    """One HTTP/1.1 keep-alive connection; reconnects when the server closes it."""

    def __init__(self, url, rate_bps=None):
        parts = urlsplit(url)
        self.host, self.port, self.rate_bps = parts.hostname, parts.port or 80, rate_bps
        self.reader = self.writer = None

    async def get(self, path, keep_body=True):
        """(status, body), or (status, body length) when the body is not kept."""
        for attempt in (1, 2):  # a kept-alive connection may have been closed meanwhile
            try:
                if self.writer is None:
                    self.reader, self.writer = await asyncio.open_connection(self.host, self.port)
                    if self.rate_bps:  # a small window, so a slow reader really holds the sender back
                        self.writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
                self.writer.write(f"GET {path} HTTP/1.1\r\nHost: {self.host}\r\n\r\n".encode())
                return await asyncio.wait_for(self._response(keep_body), REQUEST_TIMEOUT_SECONDS)
            except (ConnectionError, asyncio.IncompleteReadError):
                self.close()
                if attempt == 2:
                    raise

    async def _response(self, keep_body):
        head = (await self.reader.readuntil(b"\r\n\r\n")).decode("latin-1")
        status = int(head.split(" ", 2)[1])
        headers = dict(line.split(":", 1) for line in head.split("\r\n")[1:] if ":" in line)
        headers = {k.strip().lower(): v.strip() for k, v in headers.items()}
        if headers.get("transfer-encoding", "").lower() == "chunked":  # nginx's answer when sub_filter edits a body
            body = bytearray()
            while size := int((await self.reader.readuntil(b"\r\n")).split(b";")[0], 16):
                body += (await self.reader.readexactly(size + 2))[:-2]
            await self.reader.readuntil(b"\r\n")
            body = bytes(body) if keep_body else len(body)
        else:
            body = await self._read_paced(int(headers.get("content-length", 0)), keep_body)
        if headers.get("connection", "").lower() == "close":
            self.close()
        return status, body

    async def _read_paced(self, length, keep_body):
        # A thousand viewers would hold hundreds of megabytes of segments: count them, keep playlists.
        body, done, start = bytearray(), 0, time.monotonic()
        while done < length:
            chunk = await self.reader.readexactly(min(READ_BYTES, length - done))
            done += len(chunk)
            if keep_body:
                body += chunk
            if self.rate_bps:
                await asyncio.sleep(max(0.0, start + done * 8 / self.rate_bps - time.monotonic()))
        return bytes(body) if keep_body else done

    def close(self):
        if self.writer:
            self.writer.close()
        self.reader = self.writer = None


class Part(NamedTuple):
    msn: int
    index: int
    uri: str
    start: float  # wall clock seconds, by PROGRAM-DATE-TIME
    duration: float
    independent: bool


def read_parts(text):
    """(the parts a low-latency playlist lists, oldest first; the hinted part
    or None; PART-HOLD-BACK in seconds)."""
    parts, hint, hold_back = [], None, 0.0
    msn = index = 0
    segment_start = clock = 0.0
    for line in text.splitlines():
        tag, _, value = line.partition(":")
        attributes = {k: v.strip('"') for k, v in ATTRIBUTE.findall(value)}
        if tag == "#EXT-X-MEDIA-SEQUENCE":
            msn = int(value)
        elif tag == "#EXT-X-SERVER-CONTROL":
            hold_back = float(attributes.get("PART-HOLD-BACK", 0))
        elif tag == "#EXT-X-PROGRAM-DATE-TIME":
            segment_start = clock = datetime.fromisoformat(value.replace("Z", "+00:00")).timestamp()
        elif tag == "#EXT-X-PART":
            duration = float(attributes["DURATION"])
            parts.append(Part(msn, index, attributes["URI"], clock, duration, attributes.get("INDEPENDENT") == "YES"))
            index, clock = index + 1, clock + duration
        elif tag == "#EXTINF":
            # A segment without a date-time of its own begins where the one before ends.
            segment_start = clock = segment_start + float(value.split(",")[0])
            msn, index = msn + 1, 0
        elif tag == "#EXT-X-PRELOAD-HINT" and attributes.get("TYPE") == "PART":
            hint = Part(msn, index, attributes["URI"], clock, 0.0, False)
    return parts, hint, hold_back


def start_part(parts, hold_back):
    """The INDEPENDENT part a player starts from, PART-HOLD-BACK behind the live edge, or None."""
    independent = [p for p in parts if p.independent]
    if not independent:
        return None
    target = parts[-1].start + parts[-1].duration - hold_back
    behind = [p for p in independent if p.start <= target]
    return behind[-1] if behind else independent[0]


class Viewer:
    """One player of one playlist: the segments it fetched by number (their
    bodies, or only their sizes), each one's EXTINF, and what it missed; or,
    low-latency, the parts it fetched by "N.P" (their sizes) and their lags."""

    def __init__(self, url, *, rate_bps=None, keep_bodies=False, from_start=False, low_latency=False):
        self.url, self.rate_bps, self.keep_bodies, self.from_start = url, rate_bps, keep_bodies, from_start
        self.segments, self.extinf, self.misses = {}, {}, []
        self.playlist = None  # the text of the playlist of the last reload, if there was one
        self.first = None  # the first segment it takes
        self.reload_seconds = RETRY_SECONDS
        self.relay_urls, self.error = 0, None
        self.low_latency, self.parts, self.lags, self.late = low_latency, {}, [], 0
        self.listing = None  # read_parts() of the newest low-latency playlist
        self.last = None  # (msn, index) of the part fetched last
        self.updated = None  # set when a low-latency playlist arrives

    async def reload(self, connection):
        """The playlist, then every segment it lists that is new, in order; returns how many."""
        reloaded, self.playlist = time.monotonic(), None
        status, body = await connection.get(urlsplit(self.url).path)
        text = body.decode(errors="replace")
        entries = ENTRY.findall(text) if status == 200 else []
        self.reload_seconds = float(entries[-1][0]) if entries else RETRY_SECONDS
        if not entries:
            if self.first is not None:
                self.misses.append(("playlist", status))
            return 0
        self.playlist, sequence = text, int(SEQUENCE.search(text)[1])
        if self.first is None:
            # A player starts near the live edge; a test may want the stream from its start.
            self.first = sequence + (0 if self.from_start else max(0, len(entries) - 3))
        new = 0
        for number, (duration, uri) in enumerate(entries, sequence):
            if number < self.first or number in self.segments:
                continue
            self.relay_urls += uri.startswith("http://") and urlsplit(uri).port == RELAY_PORT
            status, self.segments[number] = await connection.get(urlsplit(urljoin(self.url, uri)).path,
                                                                 self.keep_bodies)
            self.extinf[number] = float(duration)
            if status != 200 or time.monotonic() - reloaded > float(duration):
                self.misses.append((number, status))
            new += 1
        return new

    def fetch_new(self):
        """One reload, synchronously, over a connection of its own; a failure counts as a miss."""
        async def once():
            connection = Connection(self.url, self.rate_bps)
            try:
                return await self.reload(connection)
            except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ValueError) as error:
                self.misses.append(("error", repr(error)))
                return 0
            finally:
                connection.close()
        return asyncio.run(once())

    async def watch(self, join_delay, until):
        await asyncio.sleep(join_delay)
        if self.low_latency:
            return await self.watch_parts(until)
        connection = Connection(self.url, self.rate_bps)
        try:
            while time.monotonic() < until:
                reloaded = time.monotonic()
                await self.reload(connection)
                await asyncio.sleep(max(0.0, reloaded + self.reload_seconds - time.monotonic()))
        except WATCH_ERRORS as e:
            self.error = repr(e)
        finally:
            connection.close()

    async def watch_parts(self, until):
        """Playlists on one connection, parts on another, as hls.js loads them:
        on one, a reload held until the next part exists would hold back the
        parts already listed."""
        playlists, media, self.updated = Connection(self.url), Connection(self.url), asyncio.Event()
        try:
            async with asyncio.TaskGroup() as group:
                group.create_task(self.reload_parts(playlists, until))
                group.create_task(self.fetch_parts(media, until))
        except* WATCH_ERRORS as e:
            self.error = repr(e.exceptions[0])
        finally:
            playlists.close()
            media.close()

    async def reload_parts(self, connection, until):
        path, directives = urlsplit(self.url).path, ""
        while time.monotonic() < until:
            status, body = await connection.get(path + directives)
            if status != 200:
                if self.listing is not None:
                    self.misses.append(("playlist", status))
                directives = ""  # the playlist as it stands, a moment later
                await asyncio.sleep(RETRY_SECONDS)
                continue
            self.listing = read_parts(body.decode(errors="replace"))
            self.updated.set()
            hint = self.listing[1]
            directives = f"?_HLS_msn={hint.msn}&_HLS_part={hint.index}" if hint else ""
            if not hint:
                await asyncio.sleep(RETRY_SECONDS)

    async def fetch_parts(self, connection, until):
        while time.monotonic() < until:
            self.updated.clear()
            part = self.next_part()
            if part is None:
                await self.next_playlist(until)
                continue
            status, size = await connection.get(urlsplit(urljoin(self.url, part.uri)).path, keep_body=False)
            lag = time.time() - part.start
            if status != 200:
                # Asked again once the playlist has moved on.
                self.misses.append((f"{part.msn}.{part.index}", status))
                await self.next_playlist(until)
                continue
            self.parts[f"{part.msn}.{part.index}"], self.last = size, (part.msn, part.index)
            self.late += bool(self.lags) and lag > max(self.listing[2], self.lags[0])
            self.lags.append(lag)

    async def next_playlist(self, until):
        try:
            await asyncio.wait_for(self.updated.wait(), max(0.0, until - time.monotonic()))
        except TimeoutError:
            pass

    def next_part(self):
        """The part after the last one fetched, if the newest playlist lists or hints at it."""
        if self.listing is None:
            return None
        parts, hint, hold_back = self.listing
        if self.last is None:
            return start_part(parts, hold_back)
        numbers = [(p.msn, p.index) for p in parts]
        if self.last in numbers:
            following = numbers.index(self.last) + 1
            if following < len(parts):
                return parts[following]
            return hint if hint and (hint.msn, hint.index) > self.last else None
        if numbers and self.last < numbers[0]:
            self.misses.append(("skipped", f"{numbers[0][0]}.{numbers[0][1]}"))
            self.last = None
            return start_part(parts, hold_back)
        return None  # the playlist that lists the part fetched last is still to come


def summarize(viewers):
    summary = {"viewers": len(viewers), "fast": 0, "in_time": 0, "misses": [], "errors": [], "relay_urls": 0,
               "per_url": {}}
    for v in viewers:
        summary["relay_urls"] += v.relay_urls
        summary["errors"] += [v.error] if v.error else []
        summary["per_url"].setdefault(v.url, {"segments": {}})["segments"].update(v.segments)
        if v.rate_bps is None:
            numbers = sorted(v.segments)
            misses = [n for n in range(numbers[0], numbers[-1] + 1) if n not in v.segments] if numbers else []
            misses += [what for what, _ in v.misses]
            summary["fast"] += 1
            summary["in_time"] += bool(numbers) and not misses and not v.error
            summary["misses"] += misses
    return summary


def summarize_low_latency(viewers):
    summary = {"viewers": len(viewers), "in_time": 0, "misses": [], "errors": [], "lag_seconds": None,
               "per_url": {}, "per_viewer": []}
    for v in viewers:
        lag = statistics.median(v.lags) if v.lags else None
        summary["per_viewer"].append({"url": v.url, "parts": len(v.parts), "lag_seconds": lag, "late": v.late,
                                      "misses": len(v.misses)})
        summary["per_url"].setdefault(v.url, {"parts": {}})["parts"].update(v.parts)
        summary["misses"] += [[what, status] for what, status in v.misses]
        summary["errors"] += [v.error] if v.error else []
        summary["in_time"] += bool(v.parts) and not v.misses and not v.late and not v.error
    lags = [v["lag_seconds"] for v in summary["per_viewer"] if v["lag_seconds"] is not None]
    summary["lag_seconds"] = statistics.median(lags) if lags else None
    summary["part_hold_back_seconds"] = next((v.listing[2] for v in viewers if v.listing), None)
    return summary


async def watch_all(args):
    until = time.monotonic() + args.seconds
    viewers = [Viewer(args.urls[i % len(args.urls)], rate_bps=args.slow_mbps * 1e6 if i >= args.viewers else None,
                      low_latency=args.low_latency)
               for i in range(args.viewers + args.slow)]
    await asyncio.gather(*(v.watch(random.uniform(0, args.join_seconds), until) for v in viewers))
    return summarize_low_latency(viewers) if args.low_latency else summarize(viewers)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("urls", nargs="+", help="playlist URLs")
    parser.add_argument("--viewers", type=int, default=10, help="fast viewers")
    parser.add_argument("--slow", type=int, default=0, help="slow viewers besides them")
    parser.add_argument("--slow-mbps", type=float, default=2.0)
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to watch (bounded: at most 600)")
    parser.add_argument("--join-seconds", type=float, default=3.0, help="viewers join spread over this long")
    parser.add_argument("--low-latency", action="store_true", help="the URLs are low-latency playlists")
    parser.add_argument("--json", help="write the summary here instead of standard output")
    args = parser.parse_args()
    if args.low_latency and args.slow:
        parser.error("slow viewers play classic playlists only")
    args.seconds = min(args.seconds, 600.0)
    text = json.dumps(asyncio.run(watch_all(args)), indent=1)
    if args.json:
        with open(args.json, "w") as out:
            out.write(text)
    else:
        print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
