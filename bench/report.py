"""The figures of each run, their ratios to the anchors, medians and targets."""
import statistics

from subjects import LARGE_DATAGRAM_PACKETS, SMALL_DATAGRAM_PACKETS, TS_PACKET_BYTES

# Targets: relay figure against the anchor of the same repetition.
TARGET_INGEST_RATIO = 0.9
TARGET_CPU_RATIO = 1.25
TARGET_SERVING_RATIO = 0.8
TARGET_PEAK_RSS_MB = 24.0


# ---- report ------------------------------------------------------------------

def figures(rep, args):
    """The headline figures of one repetition, each with its anchor."""
    lo, hi = f"{args.low_rate:g}", f"{args.high_rate:g}"
    c = rep["cpu"]
    f = {}
    for rate in (lo, hi):
        relay_cpu = c[f"relay@{rate}"]["cpu_per_stream_s"]
        f[f"cpu_{rate}"] = {
            "relay": relay_cpu, "bare": c[f"bare@{rate}"]["cpu_per_stream_s"],
            "ffmpeg": c[f"ffmpeg@{rate}"]["cpu_per_stream_s"],
            "lossless": all(c[f"{n}@{rate}"]["lossless"] for n in ("relay", "bare")),
        }
    for size, found in rep["max_rate"].items():
        f[f"ingest_{size}"] = {"relay": found["relay"]["mbps"], "bare": found["bare"]["mbps"],
                               "sender_bound": found["relay"]["sender_bound"] or found["bare"]["sender_bound"]}
    for r, n in zip(rep["serving"]["relay"], rep["serving"]["nginx"]):
        f[f"serve_c{r['connections']}"] = {
            "relay": r["gets_per_s"], "nginx": n["gets_per_s"], "relay_mb": r["mb_per_s"],
            "nginx_mb": n["mb_per_s"], "lossless": r["lossless"], "non_2xx": r["non_2xx"],
            "errors": r["socket_errors"]}
    f["rss"] = {"relay_mb": rep["vm_hwm_kb"] * 1024 / 1e6}
    return f


def ratio(a, b):
    return a / b if b else float("nan")


def report(reps, args):
    figs = [figures(r, args) for r in reps]
    med = lambda values: statistics.median(values)  # noqa: E731
    lo, hi = f"{args.low_rate:g}", f"{args.high_rate:g}"
    rows = []
    verdicts = []

    def row(label, unit, relay_vals, anchor_name, anchor_vals, extra="", fmt="{:.2f}"):
        ratios = [ratio(a, b) for a, b in zip(relay_vals, anchor_vals)]
        per_run = "  ".join(f"{fmt.format(a)}/{fmt.format(b)}={r:.2f}" for a, b, r in
                            zip(relay_vals, anchor_vals, ratios))
        rows.append((label, unit, fmt.format(med(relay_vals)), anchor_name, fmt.format(med(anchor_vals)),
                     f"{med(ratios):.2f}", per_run, extra))
        return med(ratios)

    for rate in (lo, hi):
        key = f"cpu_{rate}"
        relay = [f[key]["relay"] * 1e3 for f in figs]
        r_bare = row(f"CPU @{rate} Mbit/s", "ms/stream-s", relay, "bare", [f[key]["bare"] * 1e3 for f in figs],
                     "" if all(f[key]["lossless"] for f in figs) else "(loss in a run)")
        row(f"CPU @{rate} Mbit/s", "ms/stream-s", relay, "ffmpeg", [f[key]["ffmpeg"] * 1e3 for f in figs])
        verdicts.append((f"CPU per stream-second @{rate} Mbit/s <= {TARGET_CPU_RATIO} x bare",
                         r_bare <= TARGET_CPU_RATIO, f"{r_bare:.2f}"))
    for size in (str(SMALL_DATAGRAM_PACKETS * TS_PACKET_BYTES), str(LARGE_DATAGRAM_PACKETS * TS_PACKET_BYTES)):
        key = f"ingest_{size}"
        bound = sum(f[key]["sender_bound"] for f in figs)
        r_ingest = row(f"Max lossless ingest {size} B", "Mbit/s", [f[key]["relay"] for f in figs], "bare",
                       [f[key]["bare"] for f in figs], f"(sender-bound in {bound} runs)" if bound else "",
                       "{:.0f}")
        verdicts.append((f"Max lossless ingest {size} B >= {TARGET_INGEST_RATIO} x bare",
                         r_ingest >= TARGET_INGEST_RATIO, f"{r_ingest:.2f}"))
    for connections in (3, 50):
        key = f"serve_c{connections}"
        lossless = sum(f[key]["lossless"] for f in figs)
        r_serve = row(f"Segment GETs c={connections}", "GET/s", [f[key]["relay"] for f in figs], "nginx",
                      [f[key]["nginx"] for f in figs],
                      f"(stream lossless {lossless}/{len(figs)}; non-2xx {sum(f[key]['non_2xx'] for f in figs)}, "
                      f"socket errors {sum(f[key]['errors'] for f in figs)})", "{:.0f}")
        row(f"Segment MB/s c={connections}", "MB/s", [f[key]["relay_mb"] for f in figs], "nginx",
            [f[key]["nginx_mb"] for f in figs], "", "{:.0f}")
        verdicts.append((f"Segment GETs/s c={connections} >= {TARGET_SERVING_RATIO} x nginx, stream lossless",
                         r_serve >= TARGET_SERVING_RATIO and lossless * 2 > len(figs),
                         f"{r_serve:.2f}, lossless {lossless}/{len(figs)}"))
    rss = [f["rss"]["relay_mb"] for f in figs]
    rows.append(("Relay peak RSS (VmHWM)", "MB", f"{med(rss):.1f}", "-", "-", "-",
                 "  ".join(f"{v:.1f}" for v in rss), ""))
    verdicts.append((f"Relay peak RSS <= {TARGET_PEAK_RSS_MB:g} MB", med(rss) <= TARGET_PEAK_RSS_MB,
                     f"{med(rss):.1f} MB"))

    out = [f"Medians of {len(figs)} runs (per run: relay/anchor=ratio)", ""]
    header = ("figure", "unit", "relay", "anchor", "anchor val", "ratio", "per run", "")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(6)]
    for r in [header] + rows:
        out.append("  ".join(str(r[i]).ljust(widths[i]) for i in range(6)) + "  " + r[6] + ("  " + r[7] if r[7]
                                                                                          else ""))
    out += ["", "Targets:"]
    for text, ok, value in verdicts:
        out.append(f"  {'PASS' if ok else 'MISS'}  {text}  ({value})")
    return "\n".join(out)
