#!/usr/bin/python3
"""Relay benchmark: the relay against a bare receiver (bench/bare_receiver.c:
the relay's socket set-up, then recv and one copy, nothing else).
scripts/bench.sh builds everything and starts this inside a private network
namespace; it refuses to run anywhere else.

Each repetition starts both, each on a group and port of its own, so only the
one under test gets traffic. The sender (build/tools/mcast_send) carries each
group's stream on from where its last run stopped, so each receiver sees one
unbroken stream across trials. A repetition takes the relay's peak RSS while
a real 40 Mbit/s stream (1080p60, GOP 1 s) goes in at its own rate long
enough to fill the ring, on a relay of its own; CPU per stream-second at 20,
200 and 400 Mbit/s,
relay and bare receiver in alternating windows; the highest lossless rate of
each for 1,316- and 3,948-byte datagrams; and segment GETs a second from 50
connections (wrk) while a 20 Mbit/s stream goes in. Loss is counted by the
kernel (datagrams read against datagrams sent, socket drops) and by the
relay's /metrics (continuity errors, bytes that reached no segment). Raw
results go to a JSON file; the table holds the medians against TARGETS.
"""
import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import urllib.request
from pathlib import Path

from procfs import cpu_seconds, log, poll, udp_datagrams_read, udp_socket, vm_hwm_kb

TS_PACKET_BYTES = 188
CPU_RATES_MBPS = (20, 200, 400)
DATAGRAM_PACKETS = (7, 21)  # 1,316 and 3,948 bytes
SERVE_RATE_MBPS, SERVE_CONNECTIONS = 20, 50
# Eight segments of 2 s and the one being filled: the ring full at 40 Mbit/s.
RSS_SECONDS = 25
# Beyond the segment pool: the relay's own code, stacks, the web server's workers.
RSS_OVER_POOL_MB = 10
# A segment of the 8.8 Mbit/s stream at 20 Mbit/s stays in the relay's ring
# for some 6 s, so each wrk window asks for the newest one for less than that.
SERVE_WINDOW_SECONDS = 3
RELAY_URL = "http://127.0.0.1:8154"
# The targets, in one place: (comparison, bound). Figures with an anchor are
# the relay's over the bare receiver's of the same repetition.
TARGETS = {
    **{f"cpu@{rate}": ("<=", 0.8) for rate in CPU_RATES_MBPS},
    **{f"ingest@{packets * TS_PACKET_BYTES}": (">=", 1.5) for packets in DATAGRAM_PACKETS},
    "segment_gets_per_s": (">=", 500),
    "peak_rss_over_pool_mb": ("<=", RSS_OVER_POOL_MB),
}
LABELS = {"cpu": "CPU ms/stream-s @{} Mbit/s", "ingest": "lossless ingest Mbit/s, {} B",
          "segment_gets_per_s": f"segment GET/s, {SERVE_CONNECTIONS} conn.",
          "peak_rss_over_pool_mb": "peak RSS over the pool, MB"}
# A trial whose sender fell this far short of the asked rate measured the sender, not the receiver.
SENDER_SHORTFALL = 0.97


class Receiver:
    """One process under test, on a group and port of its own."""

    def __init__(self, name, port):
        self.name, self.group, self.port = name, f"239.255.10.{port % 100}", port
        self.position = 0  # where the next sender run carries this group's stream on
        self.proc = self.exit_code = None

    def counters(self):
        queue = udp_socket(self.port)
        return {"cpu": cpu_seconds(self.proc.pid), "read": udp_datagrams_read(), "drops": queue[1] if queue else 0}

    def faults(self):
        """Loss the receiver itself has seen so far."""
        return 0

    def drain(self):
        """Waits, for a while at most, until the receiver has read everything queued on its socket."""
        try:
            poll(lambda: (udp_socket(self.port) or (0, 0))[0] == 0, 3, f"{self.name} to drain", 0.01)
        except RuntimeError:
            pass

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class BareReceiver(Receiver):
    def start(self, build, workdir):
        self.proc = subprocess.Popen([build / "bare_receiver", self.group, str(self.port)], stdout=subprocess.PIPE,
                                     text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("bare_receiver did not start")


class Relay(Receiver):
    def start(self, build, workdir):
        (workdir / "relay").mkdir(parents=True)
        home = workdir / "home"
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        self.proc = subprocess.Popen([build / "quillbrook"], cwd=workdir / "relay", **quiet,
                                     env={"HOME": str(home), "PATH": os.environ.get("PATH", "/usr/bin:/bin")})
        # The client holds the control channel, and its close frame ends the relay.
        self.client = subprocess.Popen([build / "client/quillbrook-client", "--wait-for-relay", "5",
                                        f"{self.group}:{self.port}"], **quiet)
        self.log_path = home / ".local/share/ombrix/quillbrook.log"
        poll(lambda: self.proc.poll() is not None or "Entering mcast receive loop" in self.log(), 10, "the relay")
        self.check_alive()
        blocks, block_bytes = re.search(r"segment pool: (\d+) blocks of (\d+) bytes", self.log()).groups()
        self.pool_mb = int(blocks) * int(block_bytes) / 1e6

    def log(self):
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def check_alive(self):
        if self.proc.poll() is not None:
            raise RuntimeError(f"the relay has ended ({self.proc.returncode}); its log ends:\n{self.log()[-2000:]}")

    def faults(self):
        self.check_alive()
        with urllib.request.urlopen(f"{RELAY_URL}/metrics", timeout=5) as answer:
            text = answer.read().decode()
        return sum(int(v) for v in re.findall(r"^quillbrook_(?:continuity_errors|dropped_bytes)_total (\d+)$", text,
                                              re.M))

    def stop(self):
        if self.client.poll() is None:
            self.client.send_signal(signal.SIGINT)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        self.exit_code = self.proc.poll()
        super().stop()
        self.client.kill()
        self.client.wait()


class Sender:
    def __init__(self, binary, stream):
        self.binary, self.stream = binary, stream

    def command(self, receiver, rate_mbps, packets, seconds):
        return [self.binary, self.stream, receiver.group, str(receiver.port), "--loop", "--ttl", "0", "--rate-mbps",
                f"{rate_mbps:.3f}", "--packets-per-datagram", str(packets), "--max-seconds", f"{seconds:.3f}",
                "--start-packet", str(receiver.position)]

    def finish(self, receiver, stderr):
        sent = re.search(r"sent (\d+) datagrams, (\d+) bytes .*\n.*stopped at packet (\d+) after ([\d.]+) s", stderr)
        if not sent:
            raise RuntimeError(f"mcast_send failed: {stderr.strip()}")
        receiver.position = int(sent[3])
        return {"datagrams": int(sent[1]), "bytes": int(sent[2]), "achieved_mbps": int(sent[2]) * 8e-6 / float(sent[4])}

    def run(self, receiver, rate_mbps, packets, seconds):
        done = subprocess.run(self.command(receiver, rate_mbps, packets, seconds), capture_output=True, text=True,
                              timeout=seconds + 30)
        return self.finish(receiver, done.stderr)

    def start(self, receiver, rate_mbps, packets, seconds):
        return subprocess.Popen(self.command(receiver, rate_mbps, packets, seconds), stderr=subprocess.PIPE, text=True)


def judge(receiver, rate_mbps, sent, before, faults_before):
    receiver.drain()
    after = receiver.counters()
    read, dropped, faults = after["read"] - before["read"], after["drops"] - before["drops"], \
        receiver.faults() - faults_before
    return {"receiver": receiver.name, "rate_mbps": rate_mbps, "achieved_mbps": sent["achieved_mbps"],
            "datagrams": sent["datagrams"], "read": read, "dropped": dropped, "faults": faults,
            "lossless": read == sent["datagrams"] and dropped == 0 and faults == 0,
            "sender_short": sent["achieved_mbps"] < SENDER_SHORTFALL * rate_mbps,
            "cpu_per_stream_s": (after["cpu"] - before["cpu"]) / (sent["bytes"] * 8e-6 / rate_mbps)}


def trial(sender, receiver, rate_mbps, packets, seconds):
    faults_before, before = receiver.faults(), receiver.counters()
    return judge(receiver, rate_mbps, sender.run(receiver, rate_mbps, packets, seconds), before, faults_before)


def cpu_figures(sender, receivers, args, trials):
    """Short windows taken in turn, so that a burst of outside load lands in
    one window of one receiver and the median leaves it out."""
    figures = {}
    for rate in CPU_RATES_MBPS:
        windows = {r.name: [] for r in receivers}
        for _ in range(args.cpu_windows):
            for r in receivers:
                windows[r.name].append(trial(sender, r, rate, DATAGRAM_PACKETS[0], args.cpu_seconds / args.cpu_windows))
                trials.append(dict(windows[r.name][-1], kind="cpu"))
        for name, w in windows.items():
            figures[f"{name}@{rate}"] = {"cpu_per_stream_s": statistics.median(o["cpu_per_stream_s"] for o in w),
                                         "lossless": all(o["lossless"] for o in w)}
            log(f"    cpu {name:5s} @{rate} Mbit/s: " + " ".join(f"{o['cpu_per_stream_s'] * 1e3:.2f}" for o in w)
                + f" ms per stream-second{'' if figures[f'{name}@{rate}']['lossless'] else ', LOSS'}")
    return figures


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


def run_searches(sender, receivers, packets, hints, args, trials):
    """One search per receiver, their trials alternating so that both see the
    same background load. A trial that loses data runs again up to
    --loss-retries times before the rate counts as too high: on a shared
    machine a stall of a few milliseconds anywhere overflows the socket
    buffer, and the search is after what the receiver can do, not the stall."""
    searches, results = {}, {}
    for r in receivers:
        search = search_rate(hints.get(r.name, 400.0), 1.3 if r.name in hints else 2.0)
        searches[r.name] = (r, search, next(search))
    while searches:
        for name, (receiver, search, rate) in list(searches.items()):
            for _ in range(args.loss_retries + 1):
                outcome = dict(trial(sender, receiver, rate, packets, args.search_seconds), kind="search",
                               packets=packets)
                trials.append(outcome)
                log(f"    search {name:5s} {packets * TS_PACKET_BYTES} B {rate:7.1f} Mbit/s: "
                    f"{'lossless' if outcome['lossless'] else 'LOSS'} (read {outcome['read']}/{outcome['datagrams']}, "
                    f"dropped {outcome['dropped']}, faults {outcome['faults']}, achieved {outcome['achieved_mbps']:.1f})")
                if outcome["lossless"]:
                    break
            try:
                searches[name] = (receiver, search, search.send(outcome))
            except StopIteration as finished:
                results[name] = finished.value
                del searches[name]
    return results


def newest_segment():
    try:
        with urllib.request.urlopen(f"{RELAY_URL}/hlsMcast.m3u8", timeout=2) as answer:
            return (re.findall(r"hlsMcast_\d+\.ts", answer.read().decode()) or [None])[-1]
    except OSError:
        return None


def serve(sender, relay, seconds):
    """Good segment GETs a second from many connections while a stream goes
    in, with wrk, each window on the newest segment, as live players ask."""
    faults_before, before = relay.faults(), relay.counters()
    source = sender.start(relay, SERVE_RATE_MBPS, DATAGRAM_PACKETS[0], seconds * 2 + 30)
    good = bad = 0
    spent = 0.0
    try:
        while spent < seconds:
            segment = poll(newest_segment, 10, "the relay's playlist")
            out = subprocess.run(["wrk", "-t2", f"-c{SERVE_CONNECTIONS}", f"-d{SERVE_WINDOW_SECONDS}s", "--timeout",
                                  "5s", "-H", "Connection: close", f"{RELAY_URL}/{segment}"], capture_output=True,
                                 text=True, timeout=SERVE_WINDOW_SECONDS + 30).stdout
            requests, duration = re.search(r"(\d+) requests in ([\d.]+)s", out).groups()
            errors = int((re.search(r"Non-2xx or 3xx responses: (\d+)", out) or [0, 0])[1]) + sum(
                map(int, re.findall(r"(?:connect|read|write|timeout) (\d+)", out)))
            good, bad, spent = good + int(requests) - errors, bad + errors, spent + float(duration)
    finally:
        source.send_signal(signal.SIGTERM)
        stderr = source.communicate(timeout=30)[1]
    whole = judge(relay, SERVE_RATE_MBPS, sender.finish(relay, stderr), before, faults_before)
    return {"gets_per_s": good / spent, "bad_answers": bad, "lossless": whole["lossless"]}


def peak_rss(args, workdir):
    """The relay's peak RSS and its pool in MB, a real 40 Mbit/s stream through the whole ring."""
    relay = Relay("relay", 5003)
    relay.start(args.build, workdir / "rss")
    try:
        subprocess.run([args.build / "tools/mcast_send", args.rss_stream, relay.group, str(relay.port), "--loop",
                        "--ttl", "0", "--max-seconds", str(RSS_SECONDS)], capture_output=True, timeout=RSS_SECONDS + 30)
        relay.drain()
        return vm_hwm_kb(relay.proc.pid) * 1024 / 1e6, relay.pool_mb
    finally:
        relay.stop()


def repetition(index, args, hints):
    sender = Sender(args.build / "tools/mcast_send", args.stream)
    bare, relay = BareReceiver("bare", 5002), Relay("relay", 5001)
    rep = {"trials": []}
    with tempfile.TemporaryDirectory(dir="/dev/shm", prefix="quillbrook-bench.") as workdir:
        try:
            # On a relay of its own first: the relays' ports are fixed.
            rep["peak_rss_mb"], rep["pool_mb"] = peak_rss(args, Path(workdir))
            log(f"    relay peak RSS {rep['peak_rss_mb']:.1f} MB, pool {rep['pool_mb']:.1f} MB")
            for receiver in (bare, relay):
                receiver.start(args.build, Path(workdir))
            # Steady state only: the bare receiver's buffer and the relay's ring
            # are written through once (first-touch page faults are start-up cost).
            trial(sender, bare, 100, DATAGRAM_PACKETS[0], 1)
            trial(sender, relay, 100, DATAGRAM_PACKETS[0], 2)
            order = [relay, bare][::1 if index % 2 == 0 else -1]
            rep["cpu"] = cpu_figures(sender, order, args, rep["trials"])
            rep["max_rate"] = {}
            for packets in DATAGRAM_PACKETS:
                key = str(packets * TS_PACKET_BYTES)
                found = run_searches(sender, order, packets, hints.get(key, {}), args, rep["trials"])
                rep["max_rate"][key] = {name: {"mbps": v[0], "sender_bound": v[1]} for name, v in found.items()}
                hints[key] = {name: v[0] for name, v in found.items() if v[0] > 0}
            rep["serving"] = serve(sender, relay, args.serve_seconds)
            log(f"    serving: {rep['serving']}")
        finally:
            for receiver in (relay, bare):
                receiver.stop()
    rep["relay_exit_code"] = relay.exit_code
    return rep


def figures(rep):
    """Each headline figure of one repetition: (relay, bare receiver or None, trouble or "")."""
    f = {}
    for rate in CPU_RATES_MBPS:
        relay, bare = rep["cpu"][f"relay@{rate}"], rep["cpu"][f"bare@{rate}"]
        f[f"cpu@{rate}"] = (relay["cpu_per_stream_s"] * 1e3, bare["cpu_per_stream_s"] * 1e3,
                            "" if relay["lossless"] and bare["lossless"] else "loss")
    for size, found in rep["max_rate"].items():
        f[f"ingest@{size}"] = (found["relay"]["mbps"], found["bare"]["mbps"],
                               "sender-bound" if found["relay"]["sender_bound"] or found["bare"]["sender_bound"] else "")
    serving = rep["serving"]
    f["segment_gets_per_s"] = (serving["gets_per_s"], None, ("" if serving["lossless"] else "stream loss ") +
                               (f"{serving['bad_answers']} bad answers" if serving["bad_answers"] else ""))
    f["peak_rss_over_pool_mb"] = (rep["peak_rss_mb"] - rep["pool_mb"], None, "")
    return f


def report(reps):
    figs = [figures(rep) for rep in reps]
    lines = [f"Medians of {len(reps)} runs; ratio: relay over bare receiver in the same run", "",
             f"{'figure':32} {'relay':>8} {'bare':>8} {'ratio':>6}  target    verdict  per run"]
    for name, (comparison, bound) in TARGETS.items():
        kind, _, detail = name.partition("@")
        runs = [f[name] for f in figs]
        relay = statistics.median(r[0] for r in runs)
        if runs[0][1] is None:
            bare, ratio, value = "", "", relay
        else:
            value = statistics.median(r[0] / r[1] if r[1] else float("nan") for r in runs)
            bare, ratio = f"{statistics.median(r[1] for r in runs):8.2f}", f"{value:6.2f}"
        trouble = [r[2] for r in runs if r[2]]
        # Trouble in most runs (lost data, bad answers) fails the figure whatever its value.
        held = (value <= bound if comparison == "<=" else value >= bound) and len(trouble) * 2 <= len(runs)
        per_run = " ".join(f"{r[0]:.2f}" + (f"/{r[1]:.2f}" if r[1] is not None else "") for r in runs)
        lines.append(f"{LABELS[kind].format(detail):32} {relay:8.2f} {bare:>8} {ratio:>6}  {comparison} {bound:<6g} "
                     f"{'PASS' if held else 'MISS'}     {per_run}" + (f"  ({'; '.join(trouble)})" if trouble else ""))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, required=True, help="with quillbrook, client/, tools/, bare_receiver")
    parser.add_argument("--stream", type=Path, required=True)
    parser.add_argument("--rss-stream", type=Path, required=True, help="a 40 Mbit/s stream, looped at its own rate")
    parser.add_argument("--results", type=Path, required=True)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--cpu-seconds", type=float, default=5.0, help="stream time per receiver and rate")
    parser.add_argument("--cpu-windows", type=int, default=5, help="windows the stream time is cut into")
    parser.add_argument("--search-seconds", type=float, default=2.0)
    parser.add_argument("--loss-retries", type=int, default=1, help="reruns of a search trial that lost data")
    parser.add_argument("--serve-seconds", type=float, default=6.0)
    args = parser.parse_args()
    args.build, args.stream, args.rss_stream = args.build.resolve(), args.stream.resolve(), args.rss_stream.resolve()
    with open("/proc/self/net/dev") as devices:
        names = [line.split(":")[0].strip() for line in devices.readlines()[2:]]
    if names != ["lo"]:
        sys.exit(f"bench.py: refusing to run with network interfaces {names}; use scripts/bench.sh")
    reps, hints = [], {}
    for index in range(args.reps):
        log(f"== repetition {index + 1}/{args.reps}")
        reps.append(repetition(index, args, hints))
        args.results.write_text(json.dumps({"args": {k: str(v) for k, v in vars(args).items()}, "reps": reps},
                                           indent=1))
    if reps:
        print(report(reps) + f"\n\nraw results in {args.results}")


if __name__ == "__main__":
    main()
