#!/usr/bin/env python3
"""The soak: many calls through the real client for a long time.

    soak/run                          255 calls, 10 minutes
    soak/run --minutes 1 --calls 50   a short one

Builds the namespaces of the media tests (LAN host -- client with its TUN
device -- server with its TUN device -- host), runs the client (the real
binary, default build/corvex; CORVEX_BIN and CORVEX_RUNNER as for the
tests), the soak peer as the server, and on each end RTP load processes
that send every call's packets each 20 ms and count what the far end's
packets of the call arrive.  Reports loss, duplicates and corruption each
way, the client's resident memory over the run, the CPU time of the client,
the peer and the load processes, whether the load processes kept up with
their schedule, and the kernel's drop counters on the way.  The client's
own counters (its status file, read after a SIGUSR1 at the end of the load)
are set beside the load's counts, and every place where the two disagree is
named.  Exits 0 when
nothing was lost, duplicated or damaged, the client's memory stayed flat
after the warm-up and it ended with status 255 on SIGTERM.

Runs as root; sends traffic only inside the namespaces it creates, which
it removes at the end (also on Ctrl-C).
"""

import argparse
import json
import os
import shlex
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
sys.path.insert(0, os.path.join(ROOT, "lab"))

import counters  # noqa: E402  (the path is set just above)
import netlab  # noqa: E402
from netlab import MediaLab  # noqa: E402

PYTHON = netlab.PYTHON
PASSWORD = "soak-password"
RX_PORT = 5004
LAN_BASE_PORT = 20000
HOST_BASE_PORT = 30000
# Growth of the client's resident memory from the end of the warm-up to the
# end of the run still called flat.
RSS_FLAT_KIB = 64


def proc_cpu(pid):
    """utime + stime of a process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def udp_counters(ns):
    """The Udp line of /proc/net/snmp in a namespace, as a dict."""
    lines = [line.split() for line in ns.sh("cat /proc/net/snmp").stdout.splitlines()
             if line.startswith("Udp:")]
    return dict(zip(lines[0][1:], (int(v) for v in lines[1][1:])))


def link_stats(ns, name):
    out = json.loads(ns.ip("-s", "-j", "link", "show", name).stdout)[0]["stats64"]
    return {"rx_packets": out["rx"]["packets"], "rx_dropped": out["rx"]["dropped"],
            "tx_packets": out["tx"]["packets"], "tx_dropped": out["tx"]["dropped"]}


class Soak:
    def __init__(self, args):
        self.args = args
        self.workdir = tempfile.mkdtemp(prefix="corvex-soak-")
        self.net = None
        self.peer = None
        self.loads = []
        # The client, the peer and the load at a real-time priority: other
        # work on the machine (builds) then cannot stall them.
        self.rt = ["chrt", "--fifo", "10"] if args.realtime else []
        self.report = {"settings": {"calls": args.calls, "minutes": args.minutes,
                                    "workers_per_side": args.workers,
                                    "txqueuelen": args.txqueuelen, "realtime": args.realtime,
                                    "binary": " ".join(args.command)}}

    def log(self, text):
        print("soak: %s" % text, flush=True)

    # -- set-up -------------------------------------------------------------

    def build(self):
        self.net = net = MediaLab(self.workdir)
        if self.args.txqueuelen:
            with open(net.lab.path("up.sh"), "a") as f:
                f.write('ip link set "$intf" txqueuelen %d\n' % self.args.txqueuelen)
        self.stats_path = net.lab.path("soakpeer.json")
        self.peer = subprocess.Popen(
            net.srv.exec_prefix() + self.rt + [PYTHON, os.path.join(HERE, "soakpeer.py"),
                                     "--listen", "%s:%d" % (MediaLab.SERVER, MediaLab.PORT),
                                     "--password", PASSWORD, "--tun", MediaLab.PEER_TUN,
                                     "--stats", self.stats_path],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        if self.peer.stdout.readline().strip() != "ready":
            raise RuntimeError("the soak peer did not start")
        tun = MediaLab.PEER_TUN
        net.srv.sysctl("net.ipv6.conf.%s.disable_ipv6" % tun, 1)
        net.srv.sysctl("net.ipv4.conf.%s.rp_filter" % tun, 0)
        net.srv.ip("link", "set", tun, "up")
        if self.args.txqueuelen:
            net.srv.ip("link", "set", tun, "txqueuelen", str(self.args.txqueuelen))
        net.srv.ip("route", "add", "10.203.1.0/24", "dev", tun)
        # Quiet (no -v): the log would take a line per packet. The status
        # file is written once an hour only: the soak asks for it at the end.
        self.status_path = net.lab.path("corvex.prom")
        net.corvex = netlab.Corvex(net.lab, net.cli, self.rt + self.args.command, [
            ("server", MediaLab.SERVER), ("port", MediaLab.PORT), ("intf", MediaLab.CLIENT_TUN),
            ("password", PASSWORD), ("up", net.lab.path("up.sh")),
            ("down", net.lab.path("down.sh")), ("status_file", self.status_path),
            ("status_interval", 3600)], name="corvex", verbose=False)
        net.wait_up(timeout=30)
        self.log("client registered and up (pid %d); working directory %s"
                 % (net.corvex.pid, self.workdir))

    def start_load(self, seconds):
        args = self.args
        per = -(-args.calls // args.workers)
        for w in range(args.workers):
            first = w * per
            count = min(per, args.calls - first)
            if count <= 0:
                break
            for side, ns, local, remote, base in (
                    ("lan", self.net.lan, MediaLab.LAN, MediaLab.HOST, LAN_BASE_PORT),
                    ("host", self.net.host, MediaLab.HOST, MediaLab.LAN, HOST_BASE_PORT)):
                cmd = [PYTHON, os.path.join(HERE, "rtpload.py"), "--side", side,
                       "--local", local, "--remote", remote, "--calls", "%d:%d" % (first, count),
                       "--port", str(RX_PORT + w), "--base-port", str(base),
                       "--seconds", str(seconds)]
                self.loads.append(subprocess.Popen(ns.exec_prefix() + self.rt + cmd, text=True,
                                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE))
        for load in self.loads:
            if load.stdout.readline().strip() != "ready":
                raise RuntimeError("a load process did not start")
        start = time.monotonic() + 1.0
        for load in self.loads:
            load.stdin.write("go %.6f\n" % start)
            load.stdin.flush()
        return start

    # -- the run ------------------------------------------------------------

    def sample(self, t0):
        pid = self.net.corvex.pid
        return {"t": round(time.monotonic() - t0, 1), "rss_kib": netlab.vm_rss_kib(pid),
                "corvex_cpu": proc_cpu(pid), "peer_cpu": proc_cpu(self.peer.pid)}

    def run(self):
        args = self.args
        seconds = args.minutes * 60.0
        warmup = min(10.0, seconds / 6)
        self.build()
        udp_before = {name: udp_counters(ns) for name, ns in self.namespaces()}
        start = self.start_load(seconds)
        while time.monotonic() < start:
            time.sleep(0.05)
        samples = [self.sample(start)]
        self.log("load started: %d calls each way, %.0f s" % (args.calls, seconds))
        next_sample = start + min(args.sample, warmup)
        warm = None
        while time.monotonic() < start + seconds:
            time.sleep(max(0.0, min(next_sample, start + seconds) - time.monotonic()))
            if not self.net.corvex.alive():
                raise RuntimeError("corvex exited with %s" % self.net.corvex.proc.returncode)
            s = self.sample(start)
            samples.append(s)
            if warm is None and s["t"] >= warmup:
                warm = s
            self.log("t=%5.0f s  corvex VmRSS %d KiB  CPU corvex %.1f s  peer %.1f s"
                     % (s["t"], s["rss_kib"], s["corvex_cpu"] - samples[0]["corvex_cpu"],
                        s["peer_cpu"] - samples[0]["peer_cpu"]))
            next_sample += args.sample
        end = self.sample(start)
        samples.append(end)
        results = []
        for load in self.loads:
            out, _ = load.communicate(timeout=60)
            results.append(json.loads(out.strip().splitlines()[-1]))
        udp_after = {name: udp_counters(ns) for name, ns in self.namespaces()}
        links = {"client_tun": link_stats(self.net.cli, MediaLab.CLIENT_TUN),
                 "peer_tun": link_stats(self.net.srv, MediaLab.PEER_TUN)}
        # A client that keeps no status file (a build without one) would be
        # ended by SIGUSR1: it is asked only when its first file is there.
        client_counters = None
        if os.path.exists(self.status_path):
            client_counters = counters.request(self.net.corvex.pid, self.status_path, timeout=10)
        self.net.corvex.signal(signal.SIGTERM)
        status = self.net.corvex.wait(timeout=20)
        self.peer.send_signal(signal.SIGTERM)
        self.peer.wait(timeout=20)
        with open(self.stats_path) as f:
            peer_counters = json.load(f)
        self.summarise(seconds, samples, warm or samples[1], end, results, status, peer_counters,
                       links, udp_before, udp_after, client_counters)

    def namespaces(self):
        n = self.net
        return (("lan", n.lan), ("client", n.cli), ("server", n.srv), ("host", n.host))

    # -- the report -----------------------------------------------------------

    def summarise(self, seconds, samples, warm, end, results, status, peer_counters, links,
                  udp_before, udp_after, client_counters=None):
        r = self.report
        first = samples[0]
        ways = {}
        for way, sender, receiver in (("up (LAN to host)", "lan", "host"),
                                      ("down (host to LAN)", "host", "lan")):
            sent = sum(x["sent"] for x in results if x["side"] == sender)
            rx = [x for x in results if x["side"] == receiver]
            got = sum(x["received"] for x in rx)
            ways[way] = {
                "sent": sent, "received": got, "lost": sent - got,
                "loss_percent": 100.0 * (sent - got) / sent if sent else None,
                "duplicates": sum(x["duplicates"] for x in rx),
                "corrupt": sum(x["corrupt"] + x["beyond"] for x in rx),
                "reordered": sum(x["reordered"] for x in rx),
                "send_errors": sum(x["send_errors"] for x in results if x["side"] == sender),
                "latency_mean_ms": max((x["latency_mean_ms"] or 0) for x in rx),
                "latency_max_ms": max(x["latency_max_ms"] for x in rx),
            }
        span = end["t"] - first["t"]
        r["traffic"] = ways
        r["packets_per_second_each_way"] = {w: v["sent"] / seconds for w, v in ways.items()}
        r["memory_kib"] = {"at_start": first["rss_kib"], "after_warmup": warm["rss_kib"],
                           "at_end": end["rss_kib"],
                           "max": max(s["rss_kib"] for s in samples),
                           "growth_after_warmup": end["rss_kib"] - warm["rss_kib"],
                           "warmup_seconds": warm["t"]}
        r["cpu_seconds"] = {
            "corvex": round(end["corvex_cpu"] - first["corvex_cpu"], 2),
            "peer": round(end["peer_cpu"] - first["peer_cpu"], 2),
            "load_lan": round(sum(x["cpu_seconds"] for x in results if x["side"] == "lan"), 2),
            "load_host": round(sum(x["cpu_seconds"] for x in results if x["side"] == "host"), 2),
            "span_seconds": round(span, 1)}
        r["cpu_percent_of_one_core"] = {k: round(100.0 * v / span, 1)
                                        for k, v in r["cpu_seconds"].items() if k != "span_seconds"}
        r["load_schedule"] = [{"side": x["side"], "calls": x["calls"],
                               "slot_lag_mean_ms": round(x["slot_lag_mean_ms"], 3),
                               "slot_lag_max_ms": round(x["slot_lag_max_ms"], 1),
                               "slots_late": x["slots_late"], "slots": x["slots"],
                               "cpu_percent": round(100.0 * x["cpu_seconds"] / x["wall_seconds"], 1)}
                              for x in results]
        r["kernel_drops"] = {
            "udp_receive_buffer_errors": {name: udp_after[name].get("RcvbufErrors", 0)
                                          - udp_before[name].get("RcvbufErrors", 0)
                                          for name in udp_after},
            "links": links}
        # When the losses happened, beside how late the load processes were
        # then (a late load process means the whole machine stalled).
        missing, stalls = {}, {}
        for x in results:
            for sec, n in x["missing_by_second"].items():
                missing[int(sec)] = missing.get(int(sec), 0) + n
            for sec, lag in x["slot_lag_max_ms_by_second"].items():
                stalls[int(sec)] = max(stalls.get(int(sec), 0.0), lag)
        r["loss_by_second"] = [{"second": sec, "lost": missing[sec],
                                "load_slot_lag_max_ms": stalls.get(sec, 0.0)}
                               for sec in sorted(missing)]
        r["peer_counters"] = peer_counters
        # The client's own view of the same traffic, and where it disagrees.
        if client_counters is not None:
            up, down = ways["up (LAN to host)"], ways["down (host to LAN)"]
            r["client_counters"] = counters.compare(client_counters, up["sent"], up["received"],
                                                    down["sent"], down["received"])
            r["client_counters"]["saving_percent"] = {
                d: client_counters.saving_percent(d) for d in ("egress", "ingress")}
        else:
            r["client_counters"] = None
        r["corvex_exit_status"] = status
        r["samples"] = samples
        lost = sum(v["lost"] for v in ways.values())
        damaged = sum(v["duplicates"] + v["corrupt"] for v in ways.values())
        flat = r["memory_kib"]["growth_after_warmup"] <= RSS_FLAT_KIB
        r["verdict"] = {"loss_free": lost == 0, "undamaged": damaged == 0, "memory_flat": flat,
                        "clean_exit": status == 255,
                        # Every packet went out, and no slot was so late that a
                        # 20-ms tick ran into the next one.
                        "load_kept_up": all(x["sent"] == x["calls"] * x["ticks"]
                                            and x["slot_lag_max_ms"] < 20.0 for x in results)}
        r["passed"] = lost == 0 and damaged == 0 and flat and status == 255
        path = self.args.report or os.path.join(self.workdir, "report.json")
        with open(path, "w") as f:
            json.dump(r, f, indent=1)
        self.print_report(path)

    def print_report(self, path):
        r = self.report
        print()
        print("=== soak: %d calls each way, %.1f min, %s%s ===" % (
            r["settings"]["calls"], r["settings"]["minutes"], r["settings"]["binary"],
            ", real-time priority" if r["settings"]["realtime"] else ""))
        for way, v in r["traffic"].items():
            print("%-19s sent %9d  received %9d  lost %d (%.4f %%)  duplicates %d  corrupt %d  "
                  "reordered %d  latency mean %.2f ms max %.1f ms" % (
                      way, v["sent"], v["received"], v["lost"], v["loss_percent"] or 0,
                      v["duplicates"], v["corrupt"], v["reordered"], v["latency_mean_ms"],
                      v["latency_max_ms"]))
        m = r["memory_kib"]
        print("corvex VmRSS: %d KiB at start, %d KiB after %.0f s, %d KiB at the end (max %d; "
              "growth after warm-up %+d KiB)" % (m["at_start"], m["after_warmup"],
                                                m["warmup_seconds"], m["at_end"], m["max"],
                                                m["growth_after_warmup"]))
        c, pc = r["cpu_seconds"], r["cpu_percent_of_one_core"]
        print("CPU over %.0f s: corvex %.2f s (%.1f %%), peer %.2f s (%.1f %%), load LAN side "
              "%.2f s (%.1f %%), load host side %.2f s (%.1f %%)" % (
                  c["span_seconds"], c["corvex"], pc["corvex"], c["peer"], pc["peer"],
                  c["load_lan"], pc["load_lan"], c["load_host"], pc["load_host"]))
        for x in r["load_schedule"]:
            print("load %-4s (%d calls): slot lag mean %.3f ms, max %.1f ms, %d of %d slots "
                  "late by more than 2 ms, CPU %.1f %% of a core" % (
                      x["side"], x["calls"], x["slot_lag_mean_ms"], x["slot_lag_max_ms"],
                      x["slots_late"], x["slots"], x["cpu_percent"]))
        k = r["kernel_drops"]
        print("kernel: UDP receive-buffer drops %s; client TUN %s; peer TUN %s" % (
            k["udp_receive_buffer_errors"], k["links"]["client_tun"], k["links"]["peer_tun"]))
        losses = r["loss_by_second"]
        if losses:
            worst = sorted(losses, key=lambda e: -e["lost"])[:8]
            print("losses in %d seconds of the run; the worst (second: lost, load slot lag max): %s"
                  % (len(losses), ", ".join("%d: %d, %.0f ms" % (e["second"], e["lost"],
                                                              e["load_slot_lag_max_ms"])
                                            for e in sorted(worst, key=lambda e: e["second"]))))
        cc = r["client_counters"]
        if cc is None:
            print("client counters: none (no status file from the client)")
        else:
            print("client counters: up %d RTP packets carried, drops %s; down %d written, drops %s;"
                  " saving %s" % (cc["up"]["client_rtp_packets"],
                                  cc["up"]["client_drops"] or "none",
                                  cc["down"]["client_rtp_packets"],
                                  cc["down"]["client_drops"] or "none",
                                  {d: None if v is None else round(v, 1)
                                   for d, v in cc["saving_percent"].items()}))
            for finding in cc["findings"] or ["the client's counters agree with the load's"]:
                print("  " + finding)
        print("corvex exit status on SIGTERM: %s" % r["corvex_exit_status"])
        print("verdict: %s -> %s" % (r["verdict"], "PASS" if r["passed"] else "FAIL"))
        print("report: %s" % path)

    def close(self):
        for proc in self.loads + ([self.peer] if self.peer else []):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        if self.net is not None:
            if self.net.corvex is not None and self.net.corvex.alive():
                self.net.corvex.signal(signal.SIGTERM)
                self.net.corvex.wait(timeout=20)
            self.net.corvex = None
            self.net.peer = None
            self.net.close()


def parse_args(argv):
    p = argparse.ArgumentParser(description="Soak the client with many calls for a long time.")
    p.add_argument("--minutes", type=float, default=10.0, help="length of the load (default 10)")
    p.add_argument("--calls", type=int, default=255, help="calls, each way (default 255, at most 255)")
    p.add_argument("--workers", type=int, default=1,
                   help="load processes per side, the calls split among them (default 1)")
    p.add_argument("--txqueuelen", type=int, default=0,
                   help="queue length of both TUN devices (default: the kernel's, 500)")
    p.add_argument("--sample", type=float, default=30.0, help="seconds between samples")
    p.add_argument("--realtime", action="store_true",
                   help="run the client, the peer and the load at a real-time priority "
                        "(SCHED_FIFO 10), so that other work on the machine does not stall them")
    p.add_argument("--binary", default=None,
                   help="the client (default $CORVEX_BIN or build/corvex)")
    p.add_argument("--report", default=None, help="JSON report file (default in the work dir)")
    args = p.parse_args(argv)
    if not 1 <= args.calls <= 255:
        p.error("--calls must be 1 to 255")
    binary = args.binary or os.environ.get("CORVEX_BIN") or os.path.join(ROOT, "build", "corvex")
    if not os.path.exists(binary):
        p.error("no client binary at %s (build it, or give --binary)" % binary)
    args.command = shlex.split(os.environ.get("CORVEX_RUNNER", "")) + [os.path.abspath(binary)]
    return args


def main(argv=None):
    args = parse_args(argv)
    if os.geteuid() != 0:
        print("soak: needs root (network namespaces, TUN devices)", file=sys.stderr)
        return 2

    def interrupted(signum, _frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, interrupted)
    soak = Soak(args)
    try:
        soak.run()
    except KeyboardInterrupt:
        print("soak: interrupted", file=sys.stderr)
        return 130
    finally:
        soak.close()
    return 0 if soak.report.get("passed") else 1


if __name__ == "__main__":
    sys.exit(main())
