#!/usr/bin/python3
"""Relay benchmark: the relay side by side with a bare receiver, ffmpeg's HLS
muxer and nginx, in one run. scripts/bench.sh builds everything and starts this
inside a private network namespace; it refuses to run anywhere else.

Each repetition starts one of each receiver, every one on a group and port of
its own, so only the receiver under test gets traffic while the others idle.
The sender (mcast_blast) carries on each group's stream from where its last
run stopped, so every receiver sees one unbroken stream across trials.
"""
import argparse
import json
import shutil
import statistics
import signal
import subprocess
import sys
import time
from pathlib import Path

from procfs import log, vm_hwm_kb
from report import report
from subjects import (LARGE_DATAGRAM_PACKETS, SMALL_DATAGRAM_PACKETS, TS_PACKET_BYTES, BareReceiver, FfmpegHls,
                      Nginx, RelayUnderTest, RingSizedBareReceiver, Sender)
from trials import run_searches, serve_nginx, serve_relay, trial


def require_private_namespace():
    with open("/proc/self/net/dev") as devices:
        names = [line.split(":")[0].strip() for line in devices.readlines()[2:]]
    if names != ["lo"]:
        sys.exit(f"bench.py: refusing to run with network interfaces {names}; use scripts/bench.sh")


# ---- one repetition ----------------------------------------------------------

def repetition(index, args, tools, workdir, hints):
    log(f"== repetition {index + 1}/{args.reps}")
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    sender = Sender(tools, args.stream)
    bare, relay, ffmpeg = BareReceiver(tools, workdir), RelayUnderTest(tools, workdir), FfmpegHls(tools, workdir)
    nginx = Nginx(workdir, args.stream)
    trials = []
    rep = {"trials": trials}
    try:
        for process in (bare, relay, ffmpeg, nginx):
            process.start()
        # Steady state only: the relay's ring and the bare receiver's buffer
        # are written through once (first-touch page faults are start-up
        # cost), and ffmpeg has probed the stream (~5 s of it) and opened its
        # output.
        for receiver, rate, seconds in ((bare, 100, 1), (relay, 100, 2.5), (ffmpeg, args.low_rate, 4)):
            trial(sender, receiver, rate, SMALL_DATAGRAM_PACKETS, seconds)
        if not (ffmpeg.out / "x.m3u8").exists():
            log("    ffmpeg has written no playlist after its warm-up")

        order = [bare, relay, ffmpeg]
        order = order[index % 3:] + order[:index % 3]
        cpu = {}
        for rate, seconds in ((args.low_rate, args.cpu_seconds), (args.high_rate, args.cpu_seconds_high)):
            # Short windows taken in turn, so a burst of outside load lands in
            # one window of one receiver and the median leaves it out.
            windows = {r.name: [] for r in order}
            for _ in range(args.cpu_windows):
                for receiver in order:
                    outcome = trial(sender, receiver, rate, SMALL_DATAGRAM_PACKETS, seconds / args.cpu_windows)
                    outcome["kind"] = "cpu"
                    trials.append(outcome)
                    windows[receiver.name].append(outcome)
                    time.sleep(0.1)
            for receiver in order:
                w = windows[receiver.name]
                cpu[(receiver.name, rate)] = {
                    "cpu_per_stream_s": statistics.median(o["cpu_per_stream_s"] for o in w),
                    "windows": [o["cpu_per_stream_s"] for o in w],
                    "lossless": all(o["lossless"] for o in w)}
                log(f"    cpu {receiver.name:6s} {rate:5.0f} Mbit/s: "
                    f"{cpu[(receiver.name, rate)]['cpu_per_stream_s'] * 1e3:7.2f} ms per stream-second (windows "
                    + " ".join(f"{o['cpu_per_stream_s'] * 1e3:.2f}" for o in w)
                    + f"; {'lossless' if all(o['lossless'] for o in w) else 'LOSS'})")
        rep["cpu"] = {f"{name}@{rate:g}": v for (name, rate), v in cpu.items()}

        rep["max_rate"] = {}
        for packets in (SMALL_DATAGRAM_PACKETS, LARGE_DATAGRAM_PACKETS):
            key = str(packets * TS_PACKET_BYTES)
            found = run_searches(sender, [bare, relay], packets, hints.get(key, {}), args.search_seconds,
                                 args.loss_retries, lambda o: trials.append(dict(o, kind="search")))
            rep["max_rate"][key] = {name: {"mbps": v[0], "sender_bound": v[1]} for name, v in found.items()}
            hints[key] = {name: v[0] for name, v in found.items() if v[0] > 0}
            log(f"    max lossless {key}B: " + ", ".join(
                f"{n} {v[0]:.0f} Mbit/s{' (sender-bound)' if v[1] else ''}" for n, v in found.items()))

        counts = [3, 50]
        if index % 2 == 0:
            relay_served, stream = serve_relay(sender, relay, counts, args.serve_seconds, workdir, args.low_rate)
            nginx_served = serve_nginx(sender, nginx, bare, counts, args.serve_seconds, workdir, args.low_rate)
        else:
            nginx_served = serve_nginx(sender, nginx, bare, counts, args.serve_seconds, workdir, args.low_rate)
            relay_served, stream = serve_relay(sender, relay, counts, args.serve_seconds, workdir, args.low_rate)
        rep["serving"] = {"relay": relay_served, "nginx": nginx_served, "stream": stream}
        for r, n in zip(relay_served, nginx_served):
            log(f"    serving c{r['connections']}: relay {r['gets_per_s']:.0f} GET/s {r['mb_per_s']:.0f} MB/s "
                f"(non-2xx {r['non_2xx']}, errors {r['socket_errors']}, "
                f"{'lossless' if r['lossless'] else 'LOSS'}); nginx {n['gets_per_s']:.0f} GET/s "
                f"{n['mb_per_s']:.0f} MB/s")
        rep["vm_hwm_kb"] = vm_hwm_kb(relay.proc.pid)
        log(f"    relay peak RSS {rep['vm_hwm_kb'] / 1024:.1f} MiB")
    finally:
        for process in (nginx, ffmpeg, relay, bare):
            try:
                process.stop()
            except Exception as error:  # noqa: BLE001 - cleanup goes on whatever one stop did
                log(f"    stopping {type(process).__name__}: {error}")
    rep["relay_exit_code"] = relay.exit_code
    return rep


# ---- profile -------------------------------------------------------------------

def profile(args, workdir, windows=5, seconds=2.0, record_seconds=4.0):
    """CPU per stream-second of the relay, the bare receiver and the bare
    receiver with the relay's ring footprint, in alternating windows at one
    rate; then where the relay's and the bare receiver's time goes (perf)."""
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    sender = Sender(args.tools, args.stream)
    receivers = [BareReceiver(args.tools, workdir), RingSizedBareReceiver(args.tools, workdir),
                 RelayUnderTest(args.tools, workdir)]
    lines = [f"Profile at {args.profile_rate:g} Mbit/s, {args.profile_packets * TS_PACKET_BYTES}-byte datagrams"]
    try:
        for r in receivers:
            r.start()
            trial(sender, r, 100, SMALL_DATAGRAM_PACKETS, 2.5)
        samples = {r.name: [] for r in receivers}
        for _ in range(windows):
            for r in receivers:
                outcome = trial(sender, r, args.profile_rate, args.profile_packets, seconds)
                samples[r.name].append(outcome["cpu_per_stream_s"] * 1e3)
        for r in receivers:
            values = samples[r.name]
            lines.append(f"  {r.name:9s} {statistics.median(values):7.2f} ms per stream-second (median of "
                         + " ".join(f"{v:.1f}" for v in values) + ")")
        for r in (receivers[2], receivers[0]):
            data = workdir / f"{r.name}.perf"
            recorder = subprocess.Popen(["perf", "record", "-q", "-F", "4000", "-o", str(data), "-p",
                                         str(r.proc.pid)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.3)
            trial(sender, r, args.profile_rate, args.profile_packets, record_seconds)
            recorder.send_signal(signal.SIGINT)
            recorder.wait(30)
            top = subprocess.run(["perf", "report", "-i", str(data), "--no-children", "--sort", "dso,symbol",
                                  "--stdio"], capture_output=True, text=True).stdout
            lines.append(f"  perf, {r.name}: top samples")
            lines += ["    " + l.strip() for l in top.splitlines() if "%" in l and not l.startswith("#")][:18]
    finally:
        for r in receivers:
            r.stop()
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--combine", type=Path, nargs="+", metavar="RESULTS_JSON",
                        help="only print the report over the runs of these results files (no namespace needed)")
    parser.add_argument("--tools", type=Path, help="folder with quillbrook, mcast_blast, bare_receiver")
    parser.add_argument("--stream", type=Path)
    parser.add_argument("--workdir", type=Path, help="on tmpfs")
    parser.add_argument("--results", type=Path)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--low-rate", type=float, default=20.0)
    parser.add_argument("--high-rate", type=float, default=200.0)
    parser.add_argument("--cpu-seconds", type=float, default=6.0, help="stream time per receiver at the low rate")
    parser.add_argument("--cpu-seconds-high", type=float, default=4.5, help="the same at the high rate")
    parser.add_argument("--cpu-windows", type=int, default=5, help="windows the stream time is cut into")
    parser.add_argument("--search-seconds", type=float, default=2.0)
    parser.add_argument("--loss-retries", type=int, default=1, help="reruns of a search trial that lost data")
    parser.add_argument("--profile-rate", type=float, default=0,
                        help="after the runs, profile relay and bare receiver at this rate (Mbit/s) with perf")
    parser.add_argument("--profile-packets", type=int, default=SMALL_DATAGRAM_PACKETS, choices=(7, 21),
                        help="transport packets per datagram while profiling")
    parser.add_argument("--serve-seconds", type=int, default=5)
    args = parser.parse_args()
    if args.combine:
        reps = [rep for path in args.combine for rep in json.loads(path.read_text())["reps"]]
        print(report(reps, args))
        return
    for name in ("tools", "stream", "workdir", "results"):
        if getattr(args, name) is None:
            parser.error(f"--{name} is required")
        setattr(args, name, getattr(args, name).resolve())
    require_private_namespace()

    started = time.monotonic()
    reps, hints = [], {}
    for index in range(args.reps):
        reps.append(repetition(index, args, args.tools, args.workdir / f"rep{index}", hints))
        args.results.write_text(json.dumps({"args": {k: str(v) for k, v in vars(args).items()}, "reps": reps},
                                           indent=1))
    if reps:
        print(report(reps, args))
        print(f"\n(whole run {time.monotonic() - started:.0f} s; raw results in {args.results})")
    if args.profile_rate:
        print(profile(args, args.workdir / "profile"))


if __name__ == "__main__":
    main()
