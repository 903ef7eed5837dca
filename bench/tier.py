#!/usr/bin/python3
"""Viewers held per relay behind the nginx tier: scripts/channels.sh brings up
one channel and the tier; simulated players (tools/hls_viewers.py) watch it
in steps, and each step measures the CPU the relay, nginx and the players
used per second of wall time. The relay's share must stay flat as viewers
grow: with the tier in front it serves about one playlist a second and each
segment once or twice, whoever watches.

    bench/tier.py [--steps 0 100 1000] [--seconds 30] [--results FILE]   (via scripts/bench-tier.sh)
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


def measure(viewers, seconds, pids, scratch):
    """CPU per wall second of each watched process while `viewers` players watch."""
    before = {name: cpu_by_pid(group) for name, group in pids.items()}
    started = time.monotonic()
    summary = {"viewers": viewers, "in_time": 0}
    if viewers:
        out = scratch / f"viewers-{viewers}.json"
        players = subprocess.Popen(["ip", "netns", "exec", f"{PREFIX}tier", "/usr/bin/python3",
                                    ROOT / "tools/hls_viewers.py", URL, "--viewers", str(viewers), "--seconds",
                                    str(seconds), "--join-seconds", "5", "--json", out])
        cpu_players = 0.0
        while players.poll() is None:
            cpu_players = max(cpu_players, cpu_seconds(players.pid) if Path(f"/proc/{players.pid}").exists() else 0)
            time.sleep(0.5)
        result = json.loads(out.read_text())
        summary.update(in_time=result["in_time"], errors=len(result["errors"]), players_cpu=cpu_players)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--steps", type=int, nargs="+", default=[0, 100, 1000])
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
        for viewers in args.steps:
            log(f"== {viewers} viewers for {args.seconds:g} s")
            steps.append(measure(viewers, args.seconds, pids, scratch))
            log("   " + json.dumps(steps[-1]))
    finally:
        channels.send_signal(signal.SIGTERM)
        channels.wait(timeout=30)
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"{'viewers':>8} {'in time':>8} {'relay CPU %':>12} {'nginx CPU %':>12} {'players CPU %':>14}")
    for s in steps:
        print(f"{s['viewers']:>8} {s['in_time']:>8} {s['relay_cpu_percent']:>12.2f} {s['nginx_cpu_percent']:>12.2f} "
              f"{s.get('players_cpu_percent', 0):>14.2f}")
    base, top = steps[0], steps[-1]
    ratio = top["relay_cpu_percent"] / max(base["relay_cpu_percent"], 0.01)
    held = top["in_time"] == top["viewers"]
    print(f"relay CPU at {top['viewers']} viewers / at {base['viewers']}: {ratio:.2f} "
          f"({'PASS' if ratio <= FLAT_RATIO else 'MISS'}, target <= {FLAT_RATIO}); "
          f"viewers held: {top['in_time']} of {top['viewers']} ({'PASS' if held else 'MISS'})")
    if args.results:
        args.results.write_text(json.dumps(steps, indent=1))


if __name__ == "__main__":
    main()
