"""Many viewers through the nginx tier: scripts/channels.sh brings up two
channels (each relay in a namespace of its own) behind deploy/nginx's
configuration, and simulated players (tools/hls_viewers.py) watch both, of
the classic playlists and of the low-latency ones at once."""
import json
import os
import re
import signal
import subprocess
import time
from pathlib import Path

from prometheus_client.parser import text_string_to_metric_families

from conftest import ROOT, Process, poll

VIEWERS, SLOW_VIEWERS, LOW_LATENCY_VIEWERS, WATCH_SECONDS = 100, 10, 10, 20


def in_tier(prefix, *command, wait=True):
    if not wait:
        return subprocess.Popen(["ip", "netns", "exec", f"{prefix}tier", *map(str, command)])
    return subprocess.run(["ip", "netns", "exec", f"{prefix}tier", *map(str, command)], check=True,
                          capture_output=True, text=True, timeout=WATCH_SECONDS + 60).stdout


def scrape(prefix, channel):
    """The relay's /metrics, read from the tier's side of the LAN, as {name: {label values: value}}."""
    metrics = {}
    for family in text_string_to_metric_families(
            in_tier(prefix, "curl", "-sf", f"http://198.51.100.{10 + channel}:8154/metrics")):
        for sample in family.samples:
            metrics.setdefault(sample.name, {})[tuple(sample.labels.values())] = sample.value
    return metrics


def test_a_hundred_viewers_through_the_tier_cost_each_relay_one_viewer(tmp_path, make_stream):
    prefix, ready = f"qbt{os.getpid() % 100000}-", tmp_path / "ready"
    tier = Process([ROOT / "scripts/channels.sh", "2", "--prefix", prefix, "--ready-file", ready,
                    "--stream", make_stream(24)])
    try:
        poll(lambda: ready.exists() or tier.proc.poll() is not None, timeout=90, what="the channels")
        assert tier.proc.poll() is None, tier.output
        run, started = Path(ready.read_text().strip()), time.monotonic()
        urls = [f"http://127.0.0.1:8080/ch{k}/hlsMcast.m3u8" for k in (1, 2)]
        ll_urls = [url.replace(".m3u8", "_ll.m3u8") for url in urls]
        low_latency = in_tier(prefix, "/usr/bin/python3", ROOT / "tools/hls_viewers.py", *ll_urls, "--low-latency",
                              "--viewers", LOW_LATENCY_VIEWERS, "--seconds", WATCH_SECONDS, "--json",
                              tmp_path / "ll.json", wait=False)
        in_tier(prefix, "/usr/bin/python3", ROOT / "tools/hls_viewers.py", *urls, "--viewers", VIEWERS,
                "--slow", SLOW_VIEWERS, "--seconds", WATCH_SECONDS, "--json", tmp_path / "viewers.json")
        viewers = json.loads((tmp_path / "viewers.json").read_text())
        assert (viewers["in_time"], viewers["misses"], viewers["errors"]) == (VIEWERS, [], [])
        assert viewers["relay_urls"] == 0, "a viewer was sent to a relay, past the tier"
        assert low_latency.wait(timeout=60) == 0
        ll = json.loads((tmp_path / "ll.json").read_text())
        # A part skipped, or answered other than 200, is a miss; about three parts a second.
        assert (ll["misses"], ll["errors"]) == ([], [])
        assert min(v["parts"] for v in ll["per_viewer"]) >= 2 * WATCH_SECONDS

        for k, (url, ll_url) in enumerate(zip(urls, ll_urls), 1):
            # The source stops; once the relay has taken its last datagram, the counts must agree.
            os.kill(int((run / f"ch{k}/source.pid").read_text()), signal.SIGTERM)
            sent = poll(lambda: re.search(r"mcast_send: sent (\d+) ", (run / f"ch{k}/source.log").read_text()))[1]
            poll(lambda: scrape(prefix, k)["quillbrook_datagrams_received_total"][()] == int(sent),
                 what=f"relay {k} to count every datagram sent")
            m = scrape(prefix, k)
            requests, fetched = m["quillbrook_http_requests_total"], viewers["per_url"][url]["segments"]
            assert len(fetched) <= requests["segment", "200"] <= 2 * sum(m["quillbrook_segments_total"].values())
            playlists = sum(requests["playlist", code] for code in ("200", "404", "other"))
            assert playlists <= 2 * (time.monotonic() - started + 10)  # the relay started before the viewers
            # However many low-latency viewers wait for a part, the tier asks the relay about once for the part
            # and once for the playlist that lists it.
            parts, asked = len(ll["per_url"][ll_url]["parts"]), {e: sum(requests[e, code] for code in (
                "200", "404", "other")) for e in ("part", "ll_playlist")}
            assert parts <= requests["part", "200"] and max(asked.values()) <= 1.2 * parts, asked
            assert [m[f"quillbrook_{name}_total"][()] for name in ("dropped_bytes", "socket_dropped_datagrams",
                    "continuity_errors", "sync_errors")] == [0] * 4
    finally:
        tier.proc.send_signal(signal.SIGTERM)
        tier.wait_exit(timeout=30)
