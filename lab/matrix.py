#!/usr/bin/env python3
"""Runs the lab over a matrix of WAN conditions and prints one table row per
run: the tunnel's loss each way beside the WAN's own, registration messages
per minute and latency.

    lab/matrix.py --out DIR [--corvex PATH] [--seconds 20] [--calls 1,20,100]
    lab/matrix.py --table DIR        the table of runs already made

With --quality the matrix is instead max_muxing_time (--muxing 10,20,40,80
ms) x calls (--calls, here 1,5,20,100 by default) x codec (G.711, G.729;
every call of a run the same), no WAN delay, and the table shows the call
quality at the receivers: delay added by the tunnel (against the reference
call on the direct path), RFC 3550 jitter, longest gap, saving.

Each run is `lab.py --json DIR/NAME.json ...` with --realtime and --no-gst;
runs whose JSON exists are not made again.  As root.
"""

import argparse
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAB = os.path.join(ROOT, "lab.py")

CONFIGS = {"defaults": ["--defaults"], "sample": ["--sample-config"]}
EVENTS = {"rechallenge": ["--rechallenge", "8"], "restart": ["--server-restart-at", "10"],
          "rebind": ["--nat-rebind-at", "10"]}


def runs(calls, event_calls):
    for n in calls:
        for config in CONFIGS:
            for delay in (0, 50, 150):
                for loss in (0, 2):
                    yield "%s-%d-d%d-l%d" % (config, n, delay, loss), n, config, delay, loss, None
    for config in CONFIGS:
        for event in EVENTS:
            yield "%s-%d-d150-l0-%s" % (config, event_calls, event), event_calls, config, 150, 0, event


QUALITY_CALLS = "1,5,20,100"
CODECS = ("g711", "g729")


def quality_runs(calls, muxing):
    """One-call rows first, then more calls: the few-call rows matter most."""
    for n in calls:
        for codec in CODECS:
            for ms in muxing:
                yield "q-%s-%d-m%d" % (codec, n, ms), n, codec, ms


def quality_args(n, codec, ms, seconds):
    return ["--calls", str(n), "--seconds", str(seconds), "--codec", codec, "--no-gst",
            "--no-install", "--realtime", "--set", "max_muxing_time=%d" % (ms * 1000)]


def quality_row(n, codec, ms, f):
    q = f["quality"]

    def fmt(*values):
        return " / ".join("-" if v is None else "%.1f" % v for v in values)

    cells = ["%d ms" % ms, str(n), "G.711" if codec == "g711" else "G.729"]
    for d in ("up", "down"):
        x = q[d]
        cells += [fmt(x["added_mean_ms"], x["added_p99_ms"]), fmt(x["jitter_mean_ms"]),
                  fmt(x["gap_max_ms"]), "%.1f%%" % f[d]["saving_percent"],
                  "%.0f" % f[d]["frames_per_second"]]
    lost = f["up"]["lost"] + f["down"]["lost"]
    cells.append(str(lost))
    return "| " + " | ".join(cells) + " |"


def quality_table(out_dir, plan):
    print("| max_muxing_time | calls | codec | up: added delay mean / p99 (ms) | up: jitter (ms) "
          "| up: longest gap (ms) | up: saving | up: frames/s | down: added delay mean / p99 (ms) "
          "| down: jitter (ms) | down: longest gap (ms) | down: saving | down: frames/s | lost |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for name, n, codec, ms in plan:
        path = os.path.join(out_dir, name + ".json")
        if os.path.exists(path):
            with open(path) as fh:
                print(quality_row(n, codec, ms, json.load(fh)))


def lab_args(n, config, delay, loss, event, seconds):
    args = ["--calls", str(n), "--seconds", str(seconds), "--no-gst", "--no-install", "--realtime",
            "--wan-delay", str(delay)] + CONFIGS[config]
    if delay:
        args += ["--wan-jitter", "10"]
    if loss:
        args += ["--wan-loss", str(loss)]
    if event:
        args += EVENTS[event]
    return args


def pct(part, whole):
    return 100.0 * part / whole if whole else 0.0


def row(name, f):
    cells = [name]
    for d in ("up", "down"):
        x = f[d]
        cells.append("%.2f%% / %.2f%%" % (pct(x["lost"], x["sent"]),
                                          pct(x.get("wan_dropped_inner", 0), x["sent"])))
    cells.append("%.0f" % f["up"]["registration_per_minute"])
    for d in ("up", "down"):
        x = f[d]
        cells.append("%.0f / %.0f" % (x["latency_mean_ms"] or 0, x["latency_max_ms"] or 0))
    return "| " + " | ".join(cells) + " |"


def table(out_dir, names):
    print("| run | tunnel / WAN loss, phones -> host | tunnel / WAN loss, host -> phones "
          "| registration msgs/min | latency ms up (mean / max) | latency ms down (mean / max) |")
    print("|---|---|---|---|---|---|")
    for name in names:
        path = os.path.join(out_dir, name + ".json")
        if os.path.exists(path):
            with open(path) as fh:
                print(row(name, json.load(fh)))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", help="directory for the runs' JSON")
    p.add_argument("--table", metavar="DIR", help="print the table of the runs in DIR")
    p.add_argument("--corvex", help="the binary (default: lab.py builds build/corvex)")
    p.add_argument("--seconds", type=int, default=20)
    p.add_argument("--calls", default=None, help="call counts (default 1,20,100; with --quality "
                   "%s)" % QUALITY_CALLS)
    p.add_argument("--quality", action="store_true",
                   help="the call-quality matrix: max_muxing_time x calls x codec")
    p.add_argument("--muxing", default="10,20,40,80", help="max_muxing_time values in ms "
                   "(--quality)")
    p.add_argument("--event-calls", type=int, default=20)
    p.add_argument("--only", default="", help="run only names containing this")
    a = p.parse_args()
    calls = [int(c) for c in (a.calls or (QUALITY_CALLS if a.quality else "1,20,100")).split(",")]
    if a.quality:
        return quality_main(a, calls)
    plan = [r for r in runs(calls, a.event_calls) if a.only in r[0]]
    if a.table:
        table(a.table, [r[0] for r in plan])
        return 0
    if not a.out:
        p.error("--out or --table")
    os.makedirs(a.out, exist_ok=True)
    for name, n, config, delay, loss, event in plan:
        path = os.path.join(a.out, name + ".json")
        if os.path.exists(path):
            continue
        argv = [sys.executable, LAB, "--json", path] + lab_args(n, config, delay, loss, event,
                                                                a.seconds)
        if a.corvex:
            argv += ["--corvex", a.corvex]
        with open(os.path.join(a.out, name + ".log"), "w") as log:
            r = subprocess.run(argv, stdout=log, stderr=subprocess.STDOUT)
        print("%s: exit %d" % (name, r.returncode), flush=True)
    table(a.out, [r[0] for r in plan])
    return 0


def quality_main(a, calls):
    plan = [r for r in quality_runs(calls, [int(m) for m in a.muxing.split(",")])
            if a.only in r[0]]
    if a.table:
        quality_table(a.table, plan)
        return 0
    if not a.out:
        raise SystemExit("matrix.py: --out or --table")
    os.makedirs(a.out, exist_ok=True)
    for name, n, codec, ms in plan:
        path = os.path.join(a.out, name + ".json")
        if os.path.exists(path):
            continue
        argv = [sys.executable, LAB, "--json", path] + quality_args(n, codec, ms, a.seconds)
        if a.corvex:
            argv += ["--corvex", a.corvex]
        with open(os.path.join(a.out, name + ".log"), "w") as log:
            r = subprocess.run(argv, stdout=log, stderr=subprocess.STDOUT)
        print("%s: exit %d" % (name, r.returncode), flush=True)
    quality_table(a.out, plan)
    return 0


if __name__ == "__main__":
    sys.exit(main())
