#!/usr/bin/env python3
"""Runs the lab over a matrix of WAN conditions and prints one table row per
run: the tunnel's loss each way beside the WAN's own, registration messages
per minute and latency.

    lab/matrix.py --out DIR [--corvex PATH] [--seconds 20] [--calls 1,20,100]
    lab/matrix.py --table DIR        the table of runs already made

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
    p.add_argument("--calls", default="1,20,100")
    p.add_argument("--event-calls", type=int, default=20)
    p.add_argument("--only", default="", help="run only names containing this")
    a = p.parse_args()
    calls = [int(c) for c in a.calls.split(",")]
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


if __name__ == "__main__":
    sys.exit(main())
