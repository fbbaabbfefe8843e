#!/usr/bin/python3
"""Lab load: what the client pays per carried packet with many calls both
ways, for one or more client binaries measured side by side in one run.

The namespaces of the media tests (LAN host -- client with its TUN device --
server with its TUN device -- host), the client binary under test in the
client namespace, the soak peer (soak/soakpeer.py) as the server, and on
each end a call generator (bench/call_load): N calls of one codec, one RTP
packet per call every 20 ms each way, every call at a random phase within
the 20 ms (as independent phones), a send-time stamp in each payload.

Each run: the client starts and registers; an idle window (no calls); the
calls start, a warm-up, then a fixed measuring window, then a short tail;
once the calls have ended, a second idle window.
Over each window, for the client process:

  wake-ups       voluntary context switches (/proc/PID/status)
  system calls   per kind, counted by perf tracepoints attached at the
                 client's start (bench/sys_count); egress = TUN reads +
                 socket sends, per RTP packet read from the TUN device;
                 ingress = socket receives + TUN writes, per packet written
                 to it; waits (select, poll, sleeps) and all calls apart
  CPU time       utime + stime (/proc/PID/stat) and the scheduler's run time
                 (/proc/PID/schedstat), per carried packet (both ways)
  packets        the client TUN device's counters (/proc/PID/net/dev):
                 read by the client (up) and written by it (down)
  latency, loss  one-way, from the stamps, of the packets sent in the window
                 (mean, 99th and 99.9th percentiles in 0.1-ms steps, max)
  lateness       how late the generators sent against their schedule: a
                 generator that fell behind is flagged
  the peer       its CPU share and its TUN device's drops (the way down)

Binaries are given as LABEL=PATH; for every configuration (calls x codec)
and round the binaries take turns, the first one alternating, so that all
see the same machine. Prints a table per configuration with the medians over
the rounds and, with two binaries, the ratio first/second per figure.

    bench/lab_load.py BUILD_DIR --binary this=build/corvex [--binary main=...]
        [--calls 20,100,250] [--codecs g711,g729] [--window 10] [--warmup 3]
        [--idle 2] [--rounds 1] [--set KEY=VALUE] [--no-realtime] [--json FILE]

The client, the peer and the generators run at SCHED_FIFO priority 10 (as
the soak's --realtime), so that other work on a shared machine stalls them
less: without it, builds beside the run made the generators tens of
milliseconds late and the TUN queues overflow at 250 calls. --no-realtime
runs them at normal priority; the client then wakes less often (it is
scheduled later and finds more waiting), so compare like with like.

BUILD_DIR holds bench/call_load and bench/sys_count. Needs root. Everything
it creates is removed at the end, also on an error or an interrupt.
"""
import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

import netlab  # noqa: E402  (the path is set just above)
from netlab import MediaLab  # noqa: E402

PYTHON = netlab.PYTHON
SOAKPEER = os.path.join(ROOT, "soak", "soakpeer.py")
PASSWORD = "bench-load"
RX_PORT = 5004
LAN_BASE_PORT = 20000
HOST_BASE_PORT = 30000
CODECS = {"g711": (0, 160), "g729": (18, 20)}   # RTP payload type, payload bytes per 20 ms
TAIL = 0.5      # seconds of sending after the window
GRACE = 1.0     # seconds of receiving after the last send
TRACEFS = "/sys/kernel/tracing"

# System calls by kind: what each counts towards.
TUN_READ = ("read", "readv")
TUN_WRITE = ("write", "writev")
SOCK_SEND = ("sendto", "sendmsg", "sendmmsg")
SOCK_RECV = ("recvfrom", "recvmsg", "recvmmsg")
WAITS = ("select", "pselect6", "poll", "ppoll", "epoll_wait", "epoll_pwait", "epoll_pwait2", "nanosleep",
         "clock_nanosleep")
# Counted only to be shown by kind (the clock calls normally stay in the vDSO).
OTHERS = ("timerfd_settime", "epoll_ctl", "clock_gettime", "gettimeofday")
SYSCALLS = TUN_READ + TUN_WRITE + SOCK_SEND + SOCK_RECV + WAITS + OTHERS


def say(text=""):
    print(text, flush=True)


# -- reading the client's counters ----------------------------------------------

def parse_status(text):
    """Context switches from /proc/PID/status."""
    out = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        if key in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
            out[key] = int(value)
    return out


def parse_stat_cpu(text):
    """utime + stime, in clock ticks, from /proc/PID/stat (the command name
    may hold spaces and parentheses: fields count from the last ')')."""
    fields = text.rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def parse_net_dev(text, name):
    """(rx_packets, tx_packets, tx_dropped) of one interface in
    /proc/PID/net/dev."""
    for line in text.splitlines():
        head, sep, rest = line.partition(":")
        if sep and head.strip() == name:
            v = rest.split()
            return int(v[1]), int(v[9]), int(v[11])
    raise KeyError(name)


def read(path):
    with open(path) as f:
        return f.read()


def sample(pid, tun, wan, peer_pid):
    s = {"t": time.monotonic()}
    s.update(parse_status(read("/proc/%d/status" % pid)))
    s["cpu_ticks"] = parse_stat_cpu(read("/proc/%d/stat" % pid))
    s["run_ns"] = int(read("/proc/%d/schedstat" % pid).split()[0])
    dev = read("/proc/%d/net/dev" % pid)
    # A TUN device's rx is what the client wrote, its tx what it read.
    s["tun_written"], s["tun_read"], s["tun_dropped"] = parse_net_dev(dev, tun)
    s["frames_in"], s["frames_out"], _ = parse_net_dev(dev, wan)
    _, _, s["peer_tun_dropped"] = parse_net_dev(read("/proc/%d/net/dev" % peer_pid), MediaLab.PEER_TUN)
    s["peer_run_ns"] = int(read("/proc/%d/schedstat" % peer_pid).split()[0])
    return s


def tracepoint_ids():
    """name -> tracepoint id of the system calls counted, and "all"."""
    if not os.path.exists(os.path.join(TRACEFS, "events")):
        subprocess.run(["mount", "-t", "tracefs", "nodev", TRACEFS], capture_output=True)
    ids = {}
    for name in SYSCALLS:
        path = os.path.join(TRACEFS, "events", "syscalls", "sys_enter_" + name, "id")
        if os.path.exists(path):
            ids[name] = int(read(path))
    path = os.path.join(TRACEFS, "events", "raw_syscalls", "sys_enter", "id")
    if os.path.exists(path):
        ids["all"] = int(read(path))
    return ids


# -- the client under test --------------------------------------------------------

class Client:
    """The client started through sys_count (or directly when the kernel
    offers no tracepoints), quiet, with its own configuration."""

    def __init__(self, net, build, binary, name, items, ids, prefix=()):
        lab = net.lab
        self.names = list(ids)
        conf = netlab.write_config(lab.path(name + ".conf"), items)
        self.log_path = lab.path(name + ".log")
        self.log = open(self.log_path, "w")
        argv = list(prefix) + net.cli.exec_prefix() + [binary, "-c", conf]
        if ids:
            argv = [os.path.join(build, "bench", "sys_count"),
                    ",".join(str(ids[n]) for n in self.names), "--"] + argv
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log, text=True)
        if ids:
            line = self.proc.stdout.readline().split()
            if len(line) != 2 or line[0] != "pid":
                raise RuntimeError("sys_count did not start the client: %s" % self.tail())
            self.pid = int(line[1])
        else:
            self.pid = self.proc.pid

    def syscalls(self):
        if not self.names:
            return {}
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        values = self.proc.stdout.readline().split()
        if len(values) != len(self.names):
            raise RuntimeError("sys_count: no counts (client gone?) %s" % self.tail())
        return dict(zip(self.names, (int(v) for v in values)))

    def alive(self):
        return self.proc.poll() is None

    def tail(self):
        self.log.flush()
        return read(self.log_path)[-2000:]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        return self.proc.returncode


# -- one run ----------------------------------------------------------------------

class LabLoad:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.workdir = tempfile.mkdtemp(prefix="corvex-labload-")
        self.net = None
        self.ids = {} if args.no_syscalls else tracepoint_ids()
        self.procs = []
        self.runs = 0
        self.rt = [] if args.no_realtime else ["chrt", "--fifo", "10"]

    def setup(self):
        self.net = MediaLab(self.workdir)

    def start_peer(self):
        net = self.net
        self.peer_stats = net.lab.path("peer%d.json" % self.runs)
        peer = subprocess.Popen(
            self.rt + net.srv.exec_prefix() + [
                PYTHON, SOAKPEER, "--listen", "%s:%d" % (MediaLab.SERVER, MediaLab.PORT),
                "--password", PASSWORD, "--tun", MediaLab.PEER_TUN, "--stats", self.peer_stats],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.procs.append(peer)
        if peer.stdout.readline().strip() != "ready":
            raise RuntimeError("the soak peer did not start")
        tun = MediaLab.PEER_TUN
        net.srv.sysctl("net.ipv6.conf.%s.disable_ipv6" % tun, 1)
        net.srv.sysctl("net.ipv4.conf.%s.rp_filter" % tun, 0)
        net.srv.ip("link", "set", tun, "up")
        net.srv.ip("route", "add", "10.203.1.0/24", "dev", tun)
        return peer

    def start_client(self, binary):
        net = self.net
        items = [("server", MediaLab.SERVER), ("port", MediaLab.PORT), ("intf", MediaLab.CLIENT_TUN),
                 ("password", PASSWORD), ("up", net.lab.path("up.sh")), ("down", net.lab.path("down.sh"))]
        items += [tuple(kv.split("=", 1)) for kv in self.args.set]
        client = Client(net, self.build, binary, "client%d" % self.runs, items, self.ids, self.rt)
        deadline = time.monotonic() + 30
        while not os.path.exists(net.up_marker):
            if not client.alive() or time.monotonic() > deadline:
                client.stop()
                raise RuntimeError("the client did not come up: %s" % client.tail())
            time.sleep(0.02)
        return client

    def start_load(self, calls, codec, seed):
        pt, size = CODECS[codec]
        prog = os.path.join(self.build, "bench", "call_load")
        gens = []
        for side, ns, local, remote, base in ((0, self.net.lan, MediaLab.LAN, MediaLab.HOST, LAN_BASE_PORT),
                                              (1, self.net.host, MediaLab.HOST, MediaLab.LAN, HOST_BASE_PORT)):
            argv = self.rt + ns.exec_prefix() + [prog, local, remote, str(calls), str(pt), str(size), str(RX_PORT),
                                       str(base), str(seed * 2 + side), str(side)]
            g = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.procs.append(g)
            gens.append(g)
        for g in gens:
            if g.stdout.readline().strip() != "ready":
                raise RuntimeError("a call generator did not start")
        return gens

    def window(self, client, peer, until):
        """Counters of the client from now until `until` (monotonic)."""
        pid = client.pid
        tun, wan = MediaLab.CLIENT_TUN, "wan0"
        c0 = client.syscalls()
        s0 = sample(pid, tun, wan, peer.pid)
        time.sleep(max(0.0, until - time.monotonic()))
        s1 = sample(pid, tun, wan, peer.pid)
        c1 = client.syscalls()
        d = {k: s1[k] - s0[k] for k in s0}
        d["syscalls"] = {k: c1[k] - c0[k] for k in c0}
        return d

    def run(self, label, binary, calls, codec, seed):
        a = self.args
        self.runs += 1
        peer = self.start_peer()
        client = None
        gens = []
        try:
            client = self.start_client(binary)
            time.sleep(0.3)
            idle = self.window(client, peer, time.monotonic() + a.idle)
            gens = self.start_load(calls, codec, seed)
            start = time.monotonic() + 0.3
            for g in gens:
                g.stdin.write("go %.6f %g %g %g %g\n" % (start, a.warmup, a.window, TAIL, GRACE))
                g.stdin.flush()
            time.sleep(max(0.0, start + a.warmup - time.monotonic()))
            load = self.window(client, peer, start + a.warmup + a.window)
            outs = []
            for g in gens:
                out, _ = g.communicate(timeout=a.warmup + a.window + 30)
                words = out.split()
                outs.append({words[i]: float(words[i + 1]) for i in range(0, len(words) - 1, 2)})
                self.procs.remove(g)
            # Quiet again: the client must go back to sleeping until
            # something arrives (the last frames have left by now).
            time.sleep(0.3)
            after = self.window(client, peer, time.monotonic() + a.idle)
            if not client.alive():
                raise RuntimeError("the client exited during the run: %s" % client.tail())
        finally:
            for g in gens:
                if g.poll() is None:
                    g.kill()
                    g.wait()
                if g in self.procs:
                    self.procs.remove(g)
            if client is not None:
                client.stop()
            peer.send_signal(signal.SIGTERM)
            try:
                peer.wait(timeout=20)
            except subprocess.TimeoutExpired:
                peer.kill()
                peer.wait()
            self.procs.remove(peer)
            for path in (self.net.up_marker, self.net.down_marker):
                if os.path.exists(path):
                    os.unlink(path)
        return figures(label, idle, load, outs[0], outs[1], after)

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        if self.net is not None:
            self.net.close()
        subprocess.run(["rm", "-rf", self.workdir])


def per(n, d):
    return n / d if d else None


def figures(label, idle, load, lan, host, after):
    """The figures of one run from the window deltas and the generators'
    reports (lan: the phones' side, host: the far side)."""
    sc = load["syscalls"]
    up, down = load["tun_read"], load["tun_written"]
    both = up + down

    def count(names, d=sc):
        return sum(d.get(n, 0) for n in names) if d else None

    f = {"label": label, "seconds": load["t"], "up_pps": up / load["t"], "down_pps": down / load["t"]}
    f["wakeups_per_pkt"] = per(load["voluntary_ctxt_switches"], both)
    f["involuntary_per_pkt"] = per(load["nonvoluntary_ctxt_switches"], both)
    if sc:
        f["egress_syscalls_per_pkt"] = per(count(TUN_READ) + count(SOCK_SEND), up)
        f["ingress_syscalls_per_pkt"] = per(count(SOCK_RECV) + count(TUN_WRITE), down)
        f["waits_per_pkt"] = per(count(WAITS), both)
        f["all_syscalls_per_pkt"] = per(sc.get("all", 0), both)
        f["syscalls"] = sc
        f["by_kind_per_pkt"] = {k: v / both for k, v in sc.items() if v and both}
    f["cpu_us_per_pkt"] = per(1e6 * load["cpu_ticks"] / os.sysconf("SC_CLK_TCK"), both)
    f["run_us_per_pkt"] = per(load["run_ns"] / 1e3, both)
    f["cpu_percent"] = 100.0 * load["run_ns"] / 1e9 / load["t"]
    f["frames_out_per_s"] = load["frames_out"] / load["t"]
    f["frames_in_per_s"] = load["frames_in"] / load["t"]
    f["tun_dropped"] = load["tun_dropped"]
    f["peer_tun_dropped"] = load["peer_tun_dropped"]
    f["peer_cpu_percent"] = 100.0 * load["peer_run_ns"] / 1e9 / load["t"]
    # Up: the phones' packets at the host; down: the host's at the phones.
    f["latency_up_mean_ms"] = host["latency_mean_us"] / 1e3
    f["latency_up_max_ms"] = host["latency_max_us"] / 1e3
    f["latency_down_mean_ms"] = lan["latency_mean_us"] / 1e3
    f["latency_down_max_ms"] = lan["latency_max_us"] / 1e3
    for q in ("p99", "p999"):
        f["latency_up_%s_ms" % q] = host["latency_%s_us" % q] / 1e3
        f["latency_down_%s_ms" % q] = lan["latency_%s_us" % q] / 1e3
    f["lost_up"] = int(lan["sent_window"] - host["received_window"])
    f["lost_down"] = int(host["sent_window"] - lan["received_window"])
    f["sent_window"] = int(lan["sent_window"] + host["sent_window"])
    f["damaged"] = int(lan["duplicates"] + lan["corrupt"] + host["duplicates"] + host["corrupt"])
    f["gen_lateness_mean_ms"] = max(lan["lateness_mean_us"], host["lateness_mean_us"]) / 1e3
    f["gen_lateness_max_ms"] = max(lan["lateness_max_us"], host["lateness_max_us"]) / 1e3
    f["gen_late_5ms"] = int(lan["late_5ms"] + host["late_5ms"])
    # Fell behind: a send more than 5 ms late, or over 1% of them more than 2 ms.
    f["gen_behind"] = bool(f["gen_late_5ms"]
                           or lan["late_2ms"] + host["late_2ms"] > 0.01 * (lan["due_window"] + host["due_window"]))
    f["idle_wakeups_per_s"] = idle["voluntary_ctxt_switches"] / idle["t"]
    f["idle_syscalls_per_s"] = idle["syscalls"].get("all", 0) / idle["t"] if idle["syscalls"] else None
    f["after_wakeups_per_s"] = after["voluntary_ctxt_switches"] / after["t"]
    f["after_syscalls_per_s"] = after["syscalls"].get("all", 0) / after["t"] if after["syscalls"] else None
    return f


# -- the report -------------------------------------------------------------------

ROWS = (
    # key, label, format
    ("wakeups_per_pkt", "wake-ups per packet (both ways)", "%.3f"),
    ("egress_syscalls_per_pkt", "egress syscalls per RTP packet", "%.3f"),
    ("ingress_syscalls_per_pkt", "ingress syscalls per rebuilt packet", "%.3f"),
    ("waits_per_pkt", "waits (select/poll/sleep) per packet", "%.3f"),
    ("all_syscalls_per_pkt", "all syscalls per packet", "%.3f"),
    ("cpu_us_per_pkt", "CPU us per packet (utime+stime)", "%.2f"),
    ("run_us_per_pkt", "CPU us per packet (schedstat)", "%.2f"),
    ("cpu_percent", "CPU % of a core", "%.1f"),
    ("involuntary_per_pkt", "involuntary switches per packet", "%.4f"),
    ("latency_up_mean_ms", "latency up mean ms", "%.2f"),
    ("latency_up_p99_ms", "latency up 99th percentile ms", "%.1f"),
    ("latency_up_p999_ms", "latency up 99.9th percentile ms", "%.1f"),
    ("latency_up_max_ms", "latency up max ms", "%.2f"),
    ("latency_down_mean_ms", "latency down mean ms", "%.2f"),
    ("latency_down_p99_ms", "latency down 99th percentile ms", "%.1f"),
    ("latency_down_p999_ms", "latency down 99.9th percentile ms", "%.1f"),
    ("latency_down_max_ms", "latency down max ms", "%.2f"),
    ("lost_up", "lost up (window)", "%d"),
    ("lost_down", "lost down (window)", "%d"),
    ("tun_dropped", "client TUN queue drops (up)", "%d"),
    ("peer_tun_dropped", "peer TUN queue drops (down)", "%d"),
    ("peer_cpu_percent", "peer CPU % of a core", "%.1f"),
    ("up_pps", "packets/s up (TUN read)", "%.0f"),
    ("down_pps", "packets/s down (TUN written)", "%.0f"),
    ("frames_out_per_s", "frames/s sent", "%.1f"),
    ("frames_in_per_s", "frames/s received", "%.1f"),
    ("idle_wakeups_per_s", "idle: wake-ups per second", "%.2f"),
    ("idle_syscalls_per_s", "idle: syscalls per second", "%.2f"),
    ("after_wakeups_per_s", "idle after the calls: wake-ups/s", "%.2f"),
    ("after_syscalls_per_s", "idle after the calls: syscalls/s", "%.2f"),
    ("gen_lateness_mean_ms", "generator lateness mean ms", "%.3f"),
    ("gen_lateness_max_ms", "generator lateness max ms", "%.2f"),
)
# Figures of which a ratio says something.
RATIO_KEYS = ("wakeups_per_pkt", "egress_syscalls_per_pkt", "ingress_syscalls_per_pkt", "waits_per_pkt",
              "all_syscalls_per_pkt", "cpu_us_per_pkt", "run_us_per_pkt", "latency_up_mean_ms",
              "latency_up_p99_ms", "latency_up_p999_ms", "latency_up_max_ms", "latency_down_mean_ms",
              "latency_down_p99_ms", "latency_down_p999_ms", "latency_down_max_ms")


def median_of(runs, key):
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def summarise(results, labels):
    """config -> label -> key -> median over the rounds."""
    out = {}
    for config, by_label in results.items():
        out[config] = {}
        for label in labels:
            runs = by_label.get(label, [])
            med = {key: median_of(runs, key) for key, _, _ in ROWS}
            med["rounds"] = len(runs)
            kinds = {k for r in runs for k in r.get("by_kind_per_pkt", {})}
            med["by_kind_per_pkt"] = {k: statistics.median(r.get("by_kind_per_pkt", {}).get(k, 0.0) for r in runs)
                                      for k in kinds}
            med["gen_behind_rounds"] = sum(1 for r in runs if r["gen_behind"])
            med["damaged"] = sum(r["damaged"] for r in runs)
            out[config][label] = med
    return out


def print_report(summary, labels, args):
    say()
    say("Lab load: %g-s window after %g s of warm-up, idle window %g s, medians of %d round(s); "
        "calls at random phases, each way%s" % (args.window, args.warmup, args.idle, args.rounds,
                                               "" if args.no_realtime else "; real-time priority"))
    for config, by_label in summary.items():
        head = "  %-38s" % config + "".join("%12s" % l[:12] for l in labels)
        if len(labels) == 2:
            head += "%10s" % ("%s/%s" % (labels[0][:4], labels[1][:4]))
        say(head)
        for key, text, fmt in ROWS:
            vals = [by_label[l].get(key) for l in labels]
            if all(v is None for v in vals):
                continue
            line = "  %-38s" % text + "".join("%12s" % (fmt % v if v is not None else "-") for v in vals)
            if len(labels) == 2 and key in RATIO_KEYS and vals[0] is not None and vals[1]:
                line += "%10.2f" % (vals[0] / vals[1])
                if key.startswith("latency"):
                    line += "  (%+.2f ms)" % (vals[0] - vals[1])
            say(line)
        for l in labels:
            kinds = by_label[l].get("by_kind_per_pkt")
            if kinds:
                say("  %-38s %s: %s" % ("syscalls by kind, per packet both ways", l, ", ".join(
                    "%s %.3f" % (k, v) for k, v in sorted(kinds.items(), key=lambda kv: -kv[1]) if k != "all")))
        notes = []
        for l in labels:
            if by_label[l]["gen_behind_rounds"]:
                notes.append("%s: the generator fell behind in %d of %d rounds"
                             % (l, by_label[l]["gen_behind_rounds"], by_label[l]["rounds"]))
            if by_label[l]["damaged"]:
                notes.append("%s: %d duplicated or damaged packets" % (l, by_label[l]["damaged"]))
        for n in notes:
            say("  note: " + n)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build", help="build directory with bench/call_load and bench/sys_count")
    p.add_argument("--binary", action="append", required=True, metavar="LABEL=PATH",
                   help="a client binary to measure (repeat for side-by-side runs)")
    p.add_argument("--calls", default="20,100,250", help="call counts (default 20,100,250)")
    p.add_argument("--codecs", default="g711,g729", help="g711, g729 or both (default)")
    p.add_argument("--window", type=float, default=10.0, help="measuring window, seconds (default 10)")
    p.add_argument("--warmup", type=float, default=3.0, help="seconds of load before it (default 3)")
    p.add_argument("--idle", type=float, default=2.0, help="idle window, seconds (default 2)")
    p.add_argument("--rounds", type=int, default=1, help="runs per binary and configuration (default 1)")
    p.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                   help="an extra key of the client's configuration")
    p.add_argument("--seed", type=int, default=1, help="seed of the calls' phases")
    p.add_argument("--no-syscalls", action="store_true", help="do not count system calls")
    p.add_argument("--no-realtime", action="store_true",
                   help="client, peer and generators at normal priority (default: SCHED_FIFO 10)")
    p.add_argument("--json")
    a = p.parse_args(argv)
    a.binaries = []
    for item in a.binary:
        label, sep, path = item.partition("=")
        if not sep or not os.path.exists(path):
            p.error("--binary wants LABEL=PATH of an existing binary: %s" % item)
        a.binaries.append((label, os.path.abspath(path)))
    a.call_counts = [int(c) for c in a.calls.split(",")]
    if any(not 1 <= c <= 255 for c in a.call_counts):
        p.error("--calls: 1 to 255 calls")
    a.codec_list = [c.strip().lower().replace(".", "") for c in a.codecs.split(",")]
    if any(c not in CODECS for c in a.codec_list):
        p.error("--codecs: g711 and/or g729")
    if a.window * 50 + (a.warmup + TAIL) * 50 > 8000:
        p.error("warm-up + window at most 160 s")
    return a


def main(argv=None):
    a = parse_args(argv)
    if os.geteuid() != 0:
        say("lab_load: needs root (network namespaces, TUN devices, perf events)")
        return 2

    def interrupted(signum, _frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, interrupted)
    labels = [label for label, _ in a.binaries]
    bench = LabLoad(a)
    if not bench.ids and not a.no_syscalls:
        say("lab_load: no syscall tracepoints (tracefs); system calls are not counted")
    results = {}
    turn = 0
    try:
        bench.setup()
        for calls in a.call_counts:
            for codec in a.codec_list:
                config = "%d calls %s" % (calls, "G.711" if codec == "g711" else "G.729")
                results[config] = {}
                for r in range(a.rounds):
                    order = a.binaries[turn % len(a.binaries):] + a.binaries[:turn % len(a.binaries)]
                    turn += 1
                    for label, binary in order:
                        f = bench.run(label, binary, calls, codec, a.seed + r)
                        results[config].setdefault(label, []).append(f)
                        say("  %-16s round %d %-8s wake-ups/pkt %.3f  syscalls/pkt egress %s ingress %s  "
                            "CPU %.2f us/pkt  latency up %.1f/%.1f down %.1f/%.1f ms  lost %d/%d%s"
                            % (config, r + 1, label, f["wakeups_per_pkt"] or 0,
                               "%.3f" % f["egress_syscalls_per_pkt"] if "egress_syscalls_per_pkt" in f else "-",
                               "%.3f" % f["ingress_syscalls_per_pkt"] if "ingress_syscalls_per_pkt" in f else "-",
                               f["run_us_per_pkt"] or 0, f["latency_up_mean_ms"], f["latency_up_max_ms"],
                               f["latency_down_mean_ms"], f["latency_down_max_ms"], f["lost_up"],
                               f["lost_down"], "  (generator behind)" if f["gen_behind"] else ""))
    except KeyboardInterrupt:
        say("lab_load: interrupted")
        return 130
    finally:
        bench.close()
    summary = summarise(results, labels)
    print_report(summary, labels, a)
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"settings": {k: getattr(a, k) for k in ("calls", "codecs", "window", "warmup", "idle",
                                                              "rounds", "set", "seed", "no_realtime")},
                       "binaries": dict(a.binaries), "runs": results, "summary": summary}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
