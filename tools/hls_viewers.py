#!/usr/bin/python3
"""Simulated HLS viewers for trials of a relay or of the tier in front of it.

    hls_viewers.py URL [URL...] --viewers N [--slow M --slow-mbps R] --seconds S [--json FILE]

Each viewer behaves as a live player does: it reloads the playlist about once
per segment duration, fetches every segment it has not fetched yet once, in
order, over one keep-alive connection, and starts at the live edge. Viewers
join spread over the first seconds, as real ones do. A slow viewer reads its
segments at a fixed rate, like a player on a poor link. Viewers are spread
over the URLs in turn.

For each fast viewer the summary counts a miss when a segment fails, answers
other than 200, or arrives later than one segment duration after the
playlist that first listed it; a fast viewer that missed nothing was served
in time. Prints a JSON summary (or writes it to --json).
"""
import argparse
import asyncio
import json
import random
import re
import socket
import sys
import time
from urllib.parse import urljoin, urlsplit

ENTRY = re.compile(r"#EXTINF:([\d.]+),[^\n]*\n([^#\s][^\n]*)\n")
SEQUENCE = re.compile(r"#EXT-X-MEDIA-SEQUENCE:(\d+)")
DEFAULT_SEGMENT_SECONDS = 2.0
READ_BYTES = 65536


class Connection:
    """One HTTP/1.1 keep-alive connection; reconnects when the server closes it."""

    def __init__(self, host, port, rate_bps=None):
        self.host, self.port, self.rate_bps = host, port, rate_bps
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
                return await self._response(keep_body)
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


async def viewer(url, rate_bps, join_delay, until, result):
    await asyncio.sleep(join_delay)
    parts = urlsplit(url)
    connection = Connection(parts.hostname, parts.port or 80, rate_bps)
    fetched = result["segments"] = {}
    try:
        while time.monotonic() < until:
            reloaded = time.monotonic()
            status, body = await connection.get(parts.path)
            text = body.decode(errors="replace")
            entries = ENTRY.findall(text)
            if status != 200 or not entries:
                result["playlist_errors"] += status != 404
                await asyncio.sleep(0.5)
                continue
            first = int(SEQUENCE.search(text)[1])
            # A player starts near the live edge, then takes every segment in order.
            start = result.setdefault("first", first + max(0, len(entries) - 3))
            for number, (duration, uri) in enumerate(entries, first):
                if number < start or number in fetched or time.monotonic() >= until:
                    continue
                result["relay_urls"] += uri.startswith("http://") and urlsplit(uri).port == 8154
                segment_status, segment_bytes = await connection.get(urlsplit(urljoin(url, uri)).path, keep_body=False)
                took = time.monotonic() - reloaded
                fetched[number] = {"status": segment_status, "bytes": segment_bytes, "late": took > float(duration)}
            seconds = float(entries[-1][0]) if entries else DEFAULT_SEGMENT_SECONDS
            await asyncio.sleep(max(0.0, reloaded + seconds - time.monotonic()))
    except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ValueError, IndexError) as e:
        result["error"] = repr(e)
    finally:
        connection.close()


def summarize(results, urls):
    summary = {"viewers": len(results), "in_time": 0, "errors": [], "relay_urls": 0, "per_url": {}}
    for r in results:
        summary["relay_urls"] += r["relay_urls"]
        numbers = sorted(r["segments"])
        misses = [n for n in range(numbers[0], numbers[-1] + 1) if n not in r["segments"]] if numbers else []
        misses += [n for n, s in r["segments"].items() if s["status"] != 200 or s["late"]]
        if r.get("error"):
            summary["errors"].append(r["error"])
        per_url = summary["per_url"].setdefault(r["url"], {"segments": {}, "fetched": 0, "bytes": 0})
        for n, s in r["segments"].items():
            per_url["segments"][n] = s["bytes"]
            per_url["fetched"] += 1
            per_url["bytes"] += s["bytes"]
        if not r["slow"]:
            summary["in_time"] += bool(numbers) and not misses and not r.get("error")
            summary.setdefault("misses", []).extend(misses)
    summary["fast"] = sum(not r["slow"] for r in results)
    return summary


async def main_async(args):
    until = time.monotonic() + args.seconds
    results = []
    tasks = []
    for index in range(args.viewers + args.slow):
        slow = index >= args.viewers
        url = args.urls[index % len(args.urls)]
        result = {"url": url, "slow": slow, "relay_urls": 0, "playlist_errors": 0, "segments": {}}
        results.append(result)
        rate = args.slow_mbps * 1e6 if slow else None
        tasks.append(viewer(url, rate, random.uniform(0, args.join_seconds), until, result))
    await asyncio.gather(*tasks)
    return summarize(results, args.urls)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("urls", nargs="+", help="playlist URLs")
    parser.add_argument("--viewers", type=int, default=10, help="fast viewers")
    parser.add_argument("--slow", type=int, default=0, help="slow viewers besides them")
    parser.add_argument("--slow-mbps", type=float, default=2.0)
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to watch (bounded: at most 600)")
    parser.add_argument("--join-seconds", type=float, default=3.0, help="viewers join spread over this long")
    parser.add_argument("--json", help="write the summary here instead of standard output")
    args = parser.parse_args()
    args.seconds = min(args.seconds, 600.0)
    summary = asyncio.run(main_async(args))
    text = json.dumps(summary, indent=1)
    if args.json:
        with open(args.json, "w") as out:
            out.write(text)
    else:
        print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
