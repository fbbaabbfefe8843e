#!/usr/bin/python3
"""Throughput of corvex through the real system, against a TUN baseline, and
its resident memory with 255 live calls.

Three network namespaces of this run (named cvxb<pid>-lan, -router, -server):

    lan --veth-- router (corvex | tun_baseline) --veth-- server (frame_sink)

The reader under test runs in `router`, pinned to one CPU; the generator
(rtp_flood, pre-built RTP packets of 255 streams) and the sink run on the
other. Carried packets: for corvex the sub-packets counted by the sink in the
frames it received, for the baseline its own count. Offered: what the
generator sent, refused sends included. The two readers take turns, so that
both see the same machine. Two kinds of run:

  routed  UDP from `lan`, forwarded by the router into the TUN device; the
          readers have a whole CPU. The real road, but on two CPUs the
          generator cannot outrun the readers.
  capped  a packet socket in `router` writes the packets straight into the
          TUN device, and each reader is held to --share of a CPU (cgroup v1
          CPU bandwidth): both are saturated.

Under a capped flood corvex is also profiled with perf, when perf is there.

    bench/throughput.py BUILD_DIR [--seconds S] [--rounds N] [--lengths 200,60]
                        [--share F] [--modes routed,capped] [--against CORVEX]
                        [--json FILE]

--against: a second client binary (an earlier build), run as a third reader
in the same rounds; its ratios are printed beside this build's.

Needs root (namespaces, TUN, cgroup). Everything it creates is removed at the
end, also on an error or an interrupt.
"""
import argparse
import json
import os
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TAG = "cvxb%d" % os.getpid()
LAN, ROUTER, SERVER = TAG + "-lan", TAG + "-router", TAG + "-server"
LAN_ADDR, ROUTER_LAN = "10.201.0.2", "10.201.0.1"
ROUTER_WAN, SERVER_ADDR = "10.202.0.1", "10.202.0.2"
FAR_NET, FAR_PHONE = "10.203.0.0/24", "10.203.0.7"
TUNNEL_PORT = 42000
RTP_PORT = 20000
PASSWORD = "bench-secret"
STREAMS = 255
READER_CPU, OTHER_CPU = "1", "0"


def sh(*cmd, check=True):
    r = subprocess.run(list(cmd), capture_output=True, text=True)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(cmd), r.stderr.strip()))
    return r.stdout


def nsexec(ns, *cmd):
    return ["ip", "netns", "exec", ns] + list(cmd)


def sysctl(ns, key, value):
    sh(*nsexec(ns, "sh", "-c", "echo %s > /proc/sys/%s" % (value, key.replace(".", "/"))))


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


class Bench:
    def __init__(self, build, seconds, rounds, against=None):
        self.build = os.path.abspath(build)
        self.binaries = {"corvex": os.path.join(self.build, "corvex")}
        if against:
            self.binaries["against"] = os.path.abspath(against)
        self.seconds = seconds
        self.rounds = rounds
        self.work = tempfile.mkdtemp(prefix="corvex-bench-")
        self.procs = []
        self.namespaces = []

    # -- set-up and teardown ---------------------------------------------------

    def netns(self, name):
        sh("ip", "netns", "add", name)
        self.namespaces.append(name)
        sh("ip", "-n", name, "link", "set", "lo", "up")
        for key in ("net.ipv6.conf.all.disable_ipv6", "net.ipv6.conf.default.disable_ipv6"):
            sysctl(name, key, 1)
        sysctl(name, "net.ipv4.conf.all.rp_filter", 0)
        sysctl(name, "net.ipv4.conf.default.rp_filter", 0)

    def veth(self, ns_a, a, addr_a, ns_b, b, addr_b):
        sh("ip", "-n", ns_a, "link", "add", a, "type", "veth", "peer", "name", b, "netns", ns_b)
        for ns, name, addr in ((ns_a, a, addr_a), (ns_b, b, addr_b)):
            sh("ip", "-n", ns, "addr", "add", addr + "/24", "dev", name)
            sh("ip", "-n", ns, "link", "set", name, "up")

    def setup(self):
        for ns in (LAN, ROUTER, SERVER):
            self.netns(ns)
        self.veth(LAN, "eth0", LAN_ADDR, ROUTER, "lan0", ROUTER_LAN)
        self.veth(ROUTER, "wan0", ROUTER_WAN, SERVER, "eth0", SERVER_ADDR)
        sh("ip", "-n", LAN, "route", "add", "default", "via", ROUTER_LAN)
        sysctl(ROUTER, "net.ipv4.ip_forward", 1)
        # A veth pair hands a datagram to the receiving side's stack on the
        # sending CPU. The frames corvex sends are to be taken in on the other
        # CPU, as a real network interface would take them off the router's
        # hands: receive packet steering of the sink's side to OTHER_CPU.
        sh(*nsexec(SERVER, "sh", "-c", "echo %x > /sys/class/net/eth0/queues/rx-0/rps_cpus"
                   % (1 << int(OTHER_CPU))))

    def start(self, argv, name, cpu):
        out = open(os.path.join(self.work, name + ".out"), "w+")
        p = subprocess.Popen(["taskset", "-c", cpu] + argv, stdout=out, stderr=subprocess.STDOUT)
        p.out = out
        p.name = name
        self.procs.append(p)
        return p

    def stop(self, p, timeout=5.0):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        p.out.flush()
        p.out.seek(0)
        text = p.out.read()
        p.out.close()
        if p in self.procs:
            self.procs.remove(p)
        return text

    def teardown(self):
        for p in list(self.procs):
            try:
                self.stop(p, 2.0)
            except Exception:  # keep tearing down
                pass
        for ns in self.namespaces:
            pids = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (OSError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        subprocess.run(["rm", "-rf", self.work])

    # -- pieces ----------------------------------------------------------------

    def tun_ready(self, dev):
        return subprocess.run(["ip", "-n", ROUTER, "link", "show", dev], capture_output=True).returncode == 0

    def route_into(self, dev):
        sysctl(ROUTER, "net.ipv6.conf.%s.disable_ipv6" % dev, 1)
        sh("ip", "-n", ROUTER, "link", "set", dev, "up")
        sh("ip", "-n", ROUTER, "route", "replace", FAR_NET, "dev", dev)

    def tun_counters(self, dev):
        """(tx packets, tx dropped) of the TUN device: what the router queued
        for the reader, and what it dropped because the reader's queue was full."""
        base = "/sys/class/net/%s/statistics/" % dev
        out = sh(*nsexec(ROUTER, "sh", "-c", "cat %stx_packets %stx_dropped" % (base, base)))
        tx, dropped = (int(v) for v in out.split())
        return tx, dropped

    def flood(self, mode, dev, seconds, length=200, pps=0):
        """Runs the generator; returns (offered, seconds). routed: UDP from the
        LAN namespace, forwarded by the router into `dev`; raw: a packet
        socket in the router namespace writing into `dev` itself."""
        prog = os.path.join(self.build, "bench", "rtp_flood")
        if mode == "routed":
            argv = nsexec(LAN, prog, "udp", FAR_PHONE)
        else:
            argv = nsexec(ROUTER, prog, "raw", dev, FAR_PHONE)
        argv += [str(RTP_PORT), str(STREAMS), str(length), str(seconds)]
        if pps:
            argv.append(str(pps))
        out = subprocess.run(["taskset", "-c", OTHER_CPU] + argv, capture_output=True, text=True,
                             check=True).stdout.split()
        return int(out[1]) + int(out[3]), float(out[5])

    def sink_stats(self):
        try:
            with open(self.stats) as f:
                words = f.read().split()
        except OSError:
            return None
        if len(words) < 14:
            return None
        return {words[i]: int(words[i + 1]) for i in range(0, len(words) - 1, 2)}

    def settled_subpackets(self):
        """The sink's count once it has stopped moving (the last frame leaves
        corvex after max_muxing_time)."""
        last, since = None, time.monotonic()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            s = self.sink_stats()
            v = s["subpackets"] if s else None
            if v != last:
                last, since = v, time.monotonic()
            elif time.monotonic() - since > 0.4:
                break
            time.sleep(0.05)
        return last

    @staticmethod
    def cpu_seconds(pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def status(pid):
        out = {}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM", "VmSize", "VmData", "RssAnon", "RssFile"):
                    out[key] = int(value.split()[0])
        return out

    # -- the two readers -------------------------------------------------------

    def start_sink(self):
        self.stats = os.path.join(self.work, "sink%d.stats" % len(os.listdir(self.work)))
        self.sink = self.start(nsexec(SERVER, os.path.join(self.build, "bench", "frame_sink"),
                                      SERVER_ADDR, str(TUNNEL_PORT), PASSWORD, self.stats),
                               "sink", OTHER_CPU)
        wait_for(self.sink_stats, 5, "the frame sink")

    def start_corvex(self, cap=None, kind="corvex"):
        dev = "cvxt0"
        marker = os.path.join(self.work, "up.done")
        if os.path.exists(marker):
            os.unlink(marker)
        up = os.path.join(self.work, "up.sh")
        with open(up, "w") as f:
            f.write("echo 1 > /proc/sys/net/ipv6/conf/$intf/disable_ipv6\n"
                    "ip link set $intf up\n"
                    "ip route replace %s dev $intf\n"
                    "echo up > %s\n" % (FAR_NET, shlex.quote(marker)))
        conf = os.path.join(self.work, "corvex.conf")
        with open(conf, "w") as f:
            f.write("server=%s\nport=%d\npassword=%s\nintf=%s\nup=%s\nmax_call=255\n"
                    % (SERVER_ADDR, TUNNEL_PORT, PASSWORD, dev, up))
        argv = nsexec(ROUTER, self.binaries[kind], "-c", conf)
        p = self.start(cap.wrap(argv) if cap else argv, kind, READER_CPU)
        wait_for(lambda: os.path.exists(marker) or p.poll() is not None, 10, "corvex's up script")
        if p.poll() is not None:
            raise RuntimeError("corvex exited: " + self.stop(p))
        return p, dev

    def start_baseline(self, cap=None):
        dev = "cvxb0"
        argv = nsexec(ROUTER, os.path.join(self.build, "bench", "tun_baseline"), dev)
        p = self.start(cap.wrap(argv) if cap else argv, "baseline", READER_CPU)
        wait_for(lambda: self.tun_ready(dev) or p.poll() is not None, 5, "the baseline's TUN device")
        if p.poll() is not None:
            raise RuntimeError("tun_baseline exited: " + self.stop(p))
        self.route_into(dev)
        return p, dev

    def run_reader(self, kind, mode, length, cap=None):
        """One flood into one reader: offered and carried packets, the TUN
        device's drops, the reader's CPU share."""
        if kind != "baseline":
            p, dev = self.start_corvex(cap, kind)
        else:
            p, dev = self.start_baseline(cap)
        try:
            before = self.settled_subpackets() or 0 if kind != "baseline" else 0
            tx0, drop0 = self.tun_counters(dev)
            cpu0 = self.cpu_seconds(p.pid)
            offered, took = self.flood(mode, dev, self.seconds, length)
            cpu1 = self.cpu_seconds(p.pid)
            tx1, drop1 = self.tun_counters(dev)
            if p.poll() is not None:
                raise RuntimeError("%s exited during the run: %s" % (kind, self.stop(p)))
            if kind != "baseline":
                carried = self.settled_subpackets() - before
            else:
                time.sleep(0.2)  # it drains its queue (at most txqueuelen packets)
        finally:
            text = self.stop(p)
        if kind == "baseline":
            words = text.split()
            carried = int(words[words.index("packets") + 1])
        return {"offered": offered, "seconds": took, "carried": carried, "tun_queued": tx1 - tx0,
                "tun_dropped": drop1 - drop0, "cpu": (cpu1 - cpu0) / took}

    def profile(self, length, cap):
        """Where corvex's time goes under a saturating flood: perf samples of
        the corvex process (user and kernel stacks), as shares of its time
        spent under the wait (select), the TUN read, the frame send and in
        its own code. None when perf is missing or fails."""
        if not shutil.which("perf"):
            return None
        data = os.path.join(self.work, "perf.data")
        p, dev = self.start_corvex(cap)
        try:
            rec = subprocess.Popen(["perf", "record", "-q", "-g", "-p", str(p.pid), "-o", data, "--",
                                    "sleep", str(max(1.0, self.seconds - 0.5))],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.flood("raw", dev, self.seconds, length)
            rec.wait(30)
        finally:
            self.stop(p)
        rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--children", "--sort", "dso,sym",
                              "-g", "none"], capture_output=True, text=True)
        if rep.returncode != 0:
            return None
        shares = {"wait (select, poll)": 0.0, "TUN read": 0.0, "frame send (sendto, sendmmsg)": 0.0,
                  "of which the inter-processor interrupt": 0.0, "corvex's own code": 0.0}
        # libc's entry points, by what they are in the loop (aliases vary
        # between libc builds: compared without leading underscores and the
        # internal prefixes).
        kinds = {"select": "wait (select, poll)", "pselect": "wait (select, poll)", "poll": "wait (select, poll)",
                 "ppoll": "wait (select, poll)", "read": "TUN read", "readv": "TUN read",
                 "sendto": "frame send (sendto, sendmmsg)", "send": "frame send (sendto, sendmmsg)",
                 "sendmmsg": "frame send (sendto, sendmmsg)", "sendmsg": "frame send (sendto, sendmmsg)"}
        for line in rep.stdout.splitlines():
            f = line.split()
            if len(f) < 5 or not f[0].endswith("%") or line.lstrip().startswith("#"):
                continue
            children, self_pct, dso, sym = float(f[0][:-1]), float(f[1][:-1]), f[2], f[4]
            name = sym.lstrip("_").replace("GI_", "").lstrip("_").replace("libc_", "")
            if dso == "libc.so.6" and name in kinds:
                shares[kinds[name]] = max(shares[kinds[name]], children)
            elif sym == "native_write_msr":
                shares["of which the inter-processor interrupt"] += self_pct
            elif dso == "corvex":
                shares["corvex's own code"] += self_pct
        return shares

    def memory(self):
        """VmRSS / VmHWM of corvex while 255 streams are live: every stream
        at 50 packets a second as in a real call, from the LAN namespace."""
        p, dev = self.start_corvex()
        try:
            prog = os.path.join(self.build, "bench", "rtp_flood")
            gen = subprocess.Popen(["taskset", "-c", OTHER_CPU] + nsexec(
                LAN, prog, "udp", FAR_PHONE, str(RTP_PORT), str(STREAMS), "200", "5",
                str(STREAMS * 50)), stdout=subprocess.DEVNULL)
            try:
                # The sink has seen a full form of every call id: all are open.
                wait_for(lambda: self.sink_stats()["calls"] >= STREAMS, 10, "255 live calls")
                time.sleep(1.0)  # a second of steady traffic on all of them
                live = self.status(p.pid)
                live["calls"] = self.sink_stats()["calls"]
            finally:
                gen.wait(20)
        finally:
            self.stop(p)
        return live


class CpuCap:
    """A CPU bandwidth limit (cgroup v1 cpu controller) for the reader under
    test: with both readers held to the same share of one CPU, the generator
    offers more than either can read, so that each is measured saturated."""

    ROOT = "/sys/fs/cgroup/cpu"

    def __init__(self, share, period_us=10000):
        self.path = os.path.join(self.ROOT, TAG)
        self.share = share
        os.mkdir(self.path)
        with open(os.path.join(self.path, "cpu.cfs_period_us"), "w") as f:
            f.write(str(period_us))
        with open(os.path.join(self.path, "cpu.cfs_quota_us"), "w") as f:
            f.write(str(int(period_us * share)))

    @classmethod
    def available(cls):
        return os.path.exists(os.path.join(cls.ROOT, "cpu.cfs_quota_us"))

    def wrap(self, argv):
        procs = os.path.join(self.path, "cgroup.procs")
        return ["sh", "-c", 'echo $$ > %s && exec "$@"' % shlex.quote(procs), "sh"] + argv

    def remove(self):
        try:
            os.rmdir(self.path)
        except OSError:
            pass


def ratio(a, b):
    return a / b if b else float("nan")


def median_figures(figs):
    out = {}
    for key in ("offered", "carried", "tun_dropped"):
        out[key] = statistics.median(f[key] / f["seconds"] for f in figs)
    out["cpu"] = statistics.median(f["cpu"] for f in figs)
    # Packets per second of CPU time: what the reader could carry with a
    # whole CPU to itself.
    per_cpu = [f["carried"] / f["seconds"] / f["cpu"] for f in figs if f["cpu"] > 0]
    out["per_cpu"] = statistics.median(per_cpu) if per_cpu else 0.0
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build")
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--lengths", default="200,60")
    ap.add_argument("--share", type=float, default=0.25,
                    help="CPU share of the reader in the saturated runs (default 0.25)")
    ap.add_argument("--modes", default="routed,capped", help="routed, capped or both (default)")
    ap.add_argument("--against", metavar="CORVEX", help="a second client binary, run beside this one")
    ap.add_argument("--json")
    a = ap.parse_args(argv)
    if os.geteuid() != 0:
        print("throughput: needs root (network namespaces, TUN devices)", file=sys.stderr)
        return 2
    b = Bench(a.build, a.seconds, a.rounds, a.against)
    kinds = ["baseline", "corvex"] + (["against"] if a.against else [])
    cap = None
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    lengths = [int(v) for v in a.lengths.split(",")]
    # routed: the real road (LAN -> router -> TUN), readers on a whole CPU;
    # capped: the cheapest generator, readers held to --share of a CPU.
    wanted = a.modes.split(",")
    modes = [("routed", None)] if "routed" in wanted else []
    result = {"streams": STREAMS, "seconds": a.seconds, "rounds": a.rounds, "share": a.share,
              "runs": {}}
    try:
        b.setup()
        b.start_sink()
        if "capped" not in wanted:
            pass
        elif CpuCap.available():
            cap = CpuCap(a.share)
            modes.append(("capped", cap))
        else:
            print("throughput: no cgroup cpu controller, no capped runs", file=sys.stderr)
        for mode, mode_cap in modes:
            for length in lengths:
                runs = {kind: [] for kind in kinds}
                for r in range(a.rounds):
                    # The readers take turns, the first one changing per round.
                    for kind in kinds[r % len(kinds):] + kinds[:r % len(kinds)]:
                        fig = b.run_reader(kind, "routed" if mode == "routed" else "raw", length, mode_cap)
                        runs[kind].append(fig)
                        print("  %-6s %3d B round %d %-8s offered %8.0f/s carried %8.0f/s "
                              "TUN drops %8.0f/s CPU %3.0f%%"
                              % (mode, length, r + 1, kind, fig["offered"] / fig["seconds"],
                                 fig["carried"] / fig["seconds"], fig["tun_dropped"] / fig["seconds"],
                                 100 * fig["cpu"]), flush=True)
                result["runs"]["%s/%d" % (mode, length)] = runs
        if cap:
            result["profile"] = b.profile(lengths[0], cap)
        # A fresh sink, so that its count of call ids starts from none.
        b.stop(b.sink)
        b.start_sink()
        result["memory"] = b.memory()
    except KeyboardInterrupt:
        print("throughput: interrupted", file=sys.stderr)
        return 130
    finally:
        b.teardown()
        if cap:
            cap.remove()

    print()
    print("Throughput: %d streams, %g-second floods, median of %d rounds" % (STREAMS, a.seconds, a.rounds))
    print("  routed: UDP from the LAN namespace, forwarded into the TUN device; reader on a whole CPU")
    print("  capped: packet socket into the TUN device; reader held to %d%% of a CPU" % round(100 * a.share))
    print("  %-7s %5s %-8s %10s %10s %10s %5s %13s %8s" % ("run", "pkt", "reader", "offered/s", "carried/s",
                                                         "drops/s", "CPU", "carried/CPU-s", "us/pkt"))
    summary = {}
    for key, runs in result["runs"].items():
        mode, length = key.split("/")
        med = {kind: median_figures(runs[kind]) for kind in kinds}
        for kind in kinds:
            m = med[kind]
            print("  %-7s %4s B %-8s %10.0f %10.0f %10.0f %4.0f%% %13.0f %8.2f"
                  % (mode, length, kind, m["offered"], m["carried"], m["tun_dropped"], 100 * m["cpu"],
                     m["per_cpu"], ratio(1e6, m["per_cpu"])))
        # Saturated: more offered than carried, and the reader busy for all
        # the CPU it may have (drops while it idles come from scheduling
        # delays, not from what it can carry).
        share = 1.0 if mode == "routed" else a.share
        saturated = all(med[k]["offered"] > 1.05 * med[k]["carried"] and med[k]["cpu"] >= 0.9 * share
                        for k in med)
        carried = ratio(med["corvex"]["carried"], med["baseline"]["carried"])
        ratio_cpu = ratio(med["corvex"]["per_cpu"], med["baseline"]["per_cpu"])
        summary[key] = {"ratio": carried, "ratio_per_cpu": ratio_cpu, "saturated": saturated,
                        "median": med}
        print("  %-7s %4s B ratio corvex / baseline: carried %.2f%s, per CPU-second %.2f (target >= 0.8)"
              % (mode, length, carried, "" if saturated else " (not saturated)", ratio_cpu))
        if a.against:
            m = med["against"]
            summary[key]["against_ratio"] = ratio(m["carried"], med["baseline"]["carried"])
            summary[key]["against_ratio_per_cpu"] = ratio(m["per_cpu"], med["baseline"]["per_cpu"])
            summary[key]["this_over_against"] = ratio(med["corvex"]["carried"], m["carried"])
            print("  %-7s %4s B ratio against / baseline: carried %.2f, per CPU-second %.2f; "
                  "this / against: carried %.2f, per CPU-second %.2f"
                  % (mode, length, summary[key]["against_ratio"], summary[key]["against_ratio_per_cpu"],
                     summary[key]["this_over_against"], ratio(med["corvex"]["per_cpu"], m["per_cpu"])))
    result["summary"] = summary
    if result.get("profile"):
        print("Where corvex's CPU time goes (perf, capped %d-byte flood; shares of its samples):" % lengths[0])
        for what, pct in result["profile"].items():
            print("  %-40s %5.1f%%" % (what, pct))
    m = result["memory"]
    print("Memory of corvex with %d live calls: VmRSS %d KiB (RssAnon %d, RssFile %d), VmHWM %d KiB "
          "(target < 2048 KiB)" % (m["calls"], m["VmRSS"], m["RssAnon"], m["RssFile"], m["VmHWM"]))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
