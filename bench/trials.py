"""One measured trial, the lossless-rate search and the serving runs."""
import os
import re
import subprocess
import threading
import time
import urllib.request

from procfs import log, poll, vm_hwm_kb
from subjects import BENCH, NGINX_PORT, RELAY_HTTP_PORT, SMALL_DATAGRAM_PACKETS, TS_PACKET_BYTES

# A trial whose sender fell this far short of the asked rate measured the
# sender, not the receiver.
SENDER_SHORTFALL = 0.97


def trial(sender, receiver, rate_mbps, packets, seconds):
    before = receiver.snapshot()
    sent = sender.run(receiver, rate_mbps, packets, seconds)
    receiver.drain()
    after = receiver.snapshot()
    return judge(receiver, rate_mbps, sent, before, after)


def judge(receiver, rate_mbps, sent, before, after):
    read = after["udp"]["InDatagrams"] - before["udp"]["InDatagrams"]
    dropped = (after["drops"] or 0) - (before["drops"] or 0)
    own_loss = receiver.own_loss(before, after, sent)
    stream_seconds = sent["bytes"] * 8 / (rate_mbps * 1e6)
    return {
        "receiver": receiver.name, "rate_mbps": rate_mbps, "achieved_mbps": sent["achieved_mbps"],
        "datagrams": int(sent["datagrams"]), "read": read, "dropped": dropped, "own_loss": own_loss,
        "lossless": dropped == 0 and read == sent["datagrams"] and own_loss == 0,
        "sender_short": sent["achieved_mbps"] < SENDER_SHORTFALL * rate_mbps,
        "cpu_s": after["cpu"] - before["cpu"], "stream_s": stream_seconds,
        "cpu_per_stream_s": (after["cpu"] - before["cpu"]) / stream_seconds,
    }


def search_rate(hint, first_step):
    """Generator: yields rates to try and is sent each trial's outcome; its
    return value is (highest lossless rate, whether the sender bounded it).
    Steps by first_step until it brackets the limit, then bisects in log space."""
    low, high, rate = None, None, hint
    for _ in range(9):
        outcome = yield rate
        if outcome["lossless"] and outcome["sender_short"]:
            # A sender that cannot reach the rate before any loss was seen is
            # the limit; one held back by a passing stall is not.
            if high is None:
                return outcome["achieved_mbps"], True
            low = max(low or 0.0, outcome["achieved_mbps"])
        elif outcome["lossless"]:
            low = rate
        else:
            high = rate
        if high is None:
            rate = low * first_step
        elif low is None:
            rate = high / first_step
            if rate < 20:
                return 0.0, False
        elif high / low < 1.08:
            break
        else:
            rate = (low * high) ** 0.5
    return (low or 0.0), False


def run_searches(sender, receivers, packets, hints, seconds, retries, record):
    """Runs one search per receiver, alternating their trials so that both see
    the same background load. A trial that loses data is run again up to
    `retries` times before the rate counts as too high: on a shared machine a
    stall of a few milliseconds anywhere overflows the socket buffer, and the
    search is after what the receiver can do, not after the rare stall."""
    searches = {}
    for r in receivers:
        hint = hints.get(r.name)
        gen = search_rate(hint or 400.0, 1.3 if hint else 2.0)
        searches[r.name] = (r, gen, next(gen))
    results = {}
    while searches:
        for name in list(searches):
            receiver, gen, rate = searches[name]
            for attempt in range(retries + 1):
                outcome = trial(sender, receiver, rate, packets, seconds)
                outcome["packets"] = packets
                record(outcome)
                log(f"    search {name:6s} {packets * TS_PACKET_BYTES}B {rate:8.1f} Mbit/s -> "
                    f"{'lossless' if outcome['lossless'] else 'LOSS'} (read {outcome['read']}/{outcome['datagrams']}"
                    f", dropped {outcome['dropped']}, own {outcome['own_loss']}, "
                    f"achieved {outcome['achieved_mbps']:.1f})")
                if outcome["lossless"]:
                    break
                time.sleep(0.2)
            try:
                searches[name] = (receiver, gen, gen.send(outcome))
            except StopIteration as finished:
                results[name] = finished.value
                del searches[name]
            time.sleep(0.2)
    return results


# ---- serving -----------------------------------------------------------------

class PlaylistFollower(threading.Thread):
    """Keeps the name file pointing at the newest segment of the live playlist."""

    def __init__(self, name_file):
        super().__init__(daemon=True)
        self.name_file, self.stopping, self.sizes = name_file, threading.Event(), []
        self.newest = None

    def refresh(self):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{RELAY_HTTP_PORT}/hlsMcast.m3u8", timeout=2) as r:
                names = re.findall(r"hlsMcast_\d+\.ts", r.read().decode())
        except OSError:
            return False
        if not names:
            return False
        if names[-1] != self.newest:
            self.newest = names[-1]
            tmp = self.name_file.with_suffix(".tmp")
            tmp.write_text(self.newest + "\n")
            tmp.replace(self.name_file)
        return True

    def run(self):
        while not self.stopping.wait(0.2):
            self.refresh()


def run_wrk(port, connections, seconds, name_file):
    threads = 1 if connections < 4 else 2
    env = dict(os.environ, QB_NAME_FILE=str(name_file))
    done = subprocess.run(
        ["wrk", f"-t{threads}", f"-c{connections}", f"-d{seconds}s", "--timeout", "5s",
         "-H", "Connection: close", "-s", str(BENCH / "wrk_segments.lua"), f"http://127.0.0.1:{port}"],
        capture_output=True, text=True, env=env, timeout=seconds + 30)
    line = next((l for l in done.stdout.splitlines() if l.startswith("QBWRK")), None)
    if line is None:
        raise RuntimeError(f"wrk printed no summary: {done.stdout} {done.stderr}")
    w = {k: int(v) for k, v in (item.split("=") for item in line.split()[1:])}
    duration = w["duration_us"] / 1e6
    good = w["requests"] - w["status"]
    return {"connections": connections, "gets_per_s": good / duration, "mb_per_s": w["bytes"] / duration / 1e6,
            "non_2xx": w["status"], "socket_errors": w["connect"] + w["read"] + w["write"] + w["timeout"],
            "p50_ms": w["p50_us"] / 1e3, "p99_ms": w["p99_us"] / 1e3}


def serve_relay(sender, relay, connection_counts, seconds, workdir, rate_mbps):
    name_file = workdir / "segment-name"
    stream_seconds = len(connection_counts) * (seconds + 1) + 6
    before = relay.snapshot()
    proc = sender.start(relay, rate_mbps, SMALL_DATAGRAM_PACKETS, stream_seconds)
    follower = PlaylistFollower(name_file)
    results = []
    try:
        poll(follower.refresh, 10, "relay's playlist")
        follower.start()
        time.sleep(0.5)
        for connections in connection_counts:
            window_before = relay.snapshot()
            served = run_wrk(RELAY_HTTP_PORT, connections, seconds, name_file)
            window_after = relay.snapshot()
            served["window_drops"] = (window_after["drops"] or 0) - (window_before["drops"] or 0)
            served["window_own_loss"] = relay.own_loss(window_before, window_after, None)
            served["vm_hwm_kb"] = vm_hwm_kb(relay.proc.pid)
            results.append(served)
            time.sleep(0.5)
    finally:
        follower.stopping.set()
        out, _ = proc.communicate(timeout=stream_seconds + 30)
    sent = sender.parse(relay, out)
    relay.drain()
    after = relay.snapshot()
    whole = judge(relay, rate_mbps, sent, before, after)
    for served in results:
        served["lossless"] = whole["lossless"] and served["window_drops"] == 0 and served["window_own_loss"] == 0
    return results, whole


def serve_nginx(sender, nginx, bare, connection_counts, seconds, workdir, rate_mbps):
    """nginx under the same background: the same stream goes to the bare receiver meanwhile."""
    name_file = workdir / "nginx-name"
    name_file.write_text("seg.ts\n")
    proc = sender.start(bare, rate_mbps, SMALL_DATAGRAM_PACKETS, len(connection_counts) * (seconds + 1) + 2)
    results = []
    try:
        time.sleep(0.5)
        for connections in connection_counts:
            results.append(run_wrk(NGINX_PORT, connections, seconds, name_file))
            time.sleep(0.5)
    finally:
        out, _ = proc.communicate(timeout=60)
        sender.parse(bare, out)
    return results
