#!/usr/bin/python3
"""Viewers held per relay behind the nginx tier: scripts/channels.sh brings up
one channel and the tier; simulated players (tools/hls_viewers.py) watch it
in steps, and each step measures the CPU the relay, nginx and the players
used per second of wall time. The relay's share must stay flat as viewers
grow: with the tier in front it serves about one playlist a second and each
segment once or twice, whoever watches. Then low-latency players watch the
low-latency playlist: the tier holds them all on one request to the relay per
part, and the median of their lags behind the live edge (by PROGRAM-DATE-TIME)
must stay under PART-HOLD-BACK, or a player holding back that far stalls.

    bench/tier.py [--steps 0 100 1000] [--low-latency-steps 100] [--seconds 30] [--results FILE]
    (via scripts/bench-tier.sh)
"""
import argparse
import json
import os
import signal
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from procfs import cpu_seconds, log, poll

ROOT = Path(__file__).resolve().parents[1]
PREFIX = f"qbtb{os.getpid() % 10000}-"
URL = "http://127.0.0.1:8080/ch1/hlsMcast.m3u8"
LOW_LATENCY_URL = "http://127.0.0.1:8080/ch1/hlsMcast_ll.m3u8"
FLAT_RATIO = 1.5  # relay CPU at the largest step over its CPU with nobody watching


def nginx_pids(master):
    children = [int(p) for p in os.listdir("/proc") if p.isdigit() and Path(f"/proc/{p}/stat").exists()
                and Path(f"/proc/{p}/stat").read_text().split(") ")[1].split()[1] == str(master)]
    return [master, *children]


def cpu_by_pid(pids):
    """CPU seconds of those processes that are still there (nginx's cache loader comes and goes)."""
    out = {}
    for pid in pids:
        try:
            out[pid] = cpu_seconds(pid)
        except FileNotFoundError:
            pass
    return out


def measure(viewers, seconds, pids, scratch, low_latency=False):
    """CPU per wall second of each watched process while `viewers` players watch."""
    before = {name: cpu_by_pid(group) for name, group in pids.items()}
    started = time.monotonic()
    summary = {"viewers": viewers, "low_latency": low_latency, "in_time": 0}
    if viewers:
        out = scratch / f"viewers-{viewers}{'-ll' if low_latency else ''}.json"
        players = subprocess.Popen(["ip", "netns", "exec", f"{PREFIX}tier", "/usr/bin/python3",
                                    ROOT / "tools/hls_viewers.py", LOW_LATENCY_URL if low_latency else URL,
                                    "--viewers", str(viewers), "--seconds", str(seconds), "--join-seconds", "5",
                                    "--json", out, *(["--low-latency"] if low_latency else [])])
        cpu_players = 0.0
        while players.poll() is None:
            cpu_players = max(cpu_players, cpu_seconds(players.pid) if Path(f"/proc/{players.pid}").exists() else 0)
            time.sleep(0.5)
        result = json.loads(out.read_text())
        summary.update(in_time=result["in_time"], errors=len(result["errors"]), players_cpu=cpu_players)
        if low_latency:
            summary.update(lag_seconds=result["lag_seconds"], hold_back_seconds=result["part_hold_back_seconds"])
    else:
        time.sleep(seconds)
    wall = time.monotonic() - started
    for name, group in pids.items():
        after = cpu_by_pid(group)
        used = sum(after[p] - before[name][p] for p in after if p in before[name])
        summary[f"{name}_cpu_percent"] = 100 * used / wall
    if viewers:
        summary["players_cpu_percent"] = 100 * summary.pop("players_cpu") / wall
    return summary


def verdict(steps, what):
    """Relay CPU at the largest step against the smallest, and whether every viewer was served in time."""
    base, top = steps[0], steps[-1]
    held = top["in_time"] == top["viewers"]
    line = f"{what} held: {top['in_time']} of {top['viewers']} ({'PASS' if held else 'MISS'})"
    if base is not top:
        ratio = top["relay_cpu_percent"] / max(base["relay_cpu_percent"], 0.01)
        line = (f"relay CPU at {top['viewers']} {what} / at {base['viewers']}: {ratio:.2f} "
                f"({'PASS' if ratio <= FLAT_RATIO else 'MISS'}, target <= {FLAT_RATIO}); {line}")
    print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--steps", type=int, nargs="+", default=[0, 100, 1000])
    parser.add_argument("--low-latency-steps", type=int, nargs="*", default=[100])
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--results", type=Path)
    args = parser.parse_args()
    scratch = Path(tempfile.mkdtemp(prefix="quillbrook-tier-bench."))
    ready = scratch / "ready"
    channels = subprocess.Popen([ROOT / "scripts/channels.sh", "1", "--prefix", PREFIX, "--ready-file", ready])
    try:
        poll(lambda: ready.exists() or channels.poll() is not None, 120, "the channel")
        if channels.poll() is not None:
            sys.exit("bench/tier.py: scripts/channels.sh failed")
        run = Path(ready.read_text().strip())
        pids = {"relay": [int((run / "ch1/relay.pid").read_text())],
                "nginx": nginx_pids(int((run / "nginx.pid").read_text()))}
        steps = []
        for viewers, low_latency in [(v, False) for v in args.steps] + [(v, True) for v in args.low_latency_steps]:
            log(f"== {viewers} {'low-latency ' if low_latency else ''}viewers for {args.seconds:g} s")
            steps.append(measure(viewers, args.seconds, pids, scratch, low_latency))
            log("   " + json.dumps(steps[-1]))
    finally:
        channels.send_signal(signal.SIGTERM)
        channels.wait(timeout=30)
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"{'playlist':>8} {'viewers':>8} {'in time':>8} {'relay CPU %':>12} {'nginx CPU %':>12} "
          f"{'players CPU %':>14} {'median lag s':>13}")
    for s in steps:
        lag = f"{s['lag_seconds']:.2f}" if s.get("lag_seconds") is not None else "-"
        print(f"{'low-lat.' if s['low_latency'] else 'classic':>8} {s['viewers']:>8} {s['in_time']:>8} "
              f"{s['relay_cpu_percent']:>12.2f} {s['nginx_cpu_percent']:>12.2f} "
              f"{s.get('players_cpu_percent', 0):>14.2f} {lag:>13}")
    classic, low_latency = [s for s in steps if not s["low_latency"]], [s for s in steps if s["low_latency"]]
    if classic:
        verdict(classic, "viewers")
    if low_latency:
        # Against low-latency viewers only: the relay serves parts and held playlists to the tier whoever
        # watches, more often than it serves segments.
        verdict(low_latency, "low-latency viewers")
        top = low_latency[-1]
        lag, target = top.get("lag_seconds"), top.get("hold_back_seconds")
        met = lag is not None and target is not None and lag <= target
        print(f"median lag of {top['viewers']} low-latency viewers: {lag if lag is None else round(lag, 2)} s "
              f"({'PASS' if met else 'MISS'}, target <= {target}, the playlist's PART-HOLD-BACK)")
    if args.results:
        args.results.write_text(json.dumps(steps, indent=1))


if __name__ == "__main__":
    main()
