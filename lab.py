#!/usr/bin/env python3
"""The lab: calls carried through the real corvex binary, on this machine only.

    ./lab.py                           20 calls for 20 s (as root)
    ./lab.py --calls 4 --seconds 5

Installs what is missing (Debian packages), builds corvex if build/corvex is
missing or stale, then builds a lab of network namespaces named for this run:

    phones  (10.77.1.10..)  -- LAN --  router  -- WAN --  server  -- host
                                       corvex, TUN         lab peer, TUN
                                       10.77.1.1           10.77.2.2:42000
                                       10.77.2.1           10.77.3.1   10.77.3.2

    phones eth1 10.77.6.10 -- router lan1 ... server lan1 -- host eth1 10.77.5.2
                              (the direct path: same hops, no tunnel)

The router runs corvex with a generated configuration; its up script brings
the TUN device up and routes the host's network into it.  The server runs
the lab peer (lab/labpeer.py), which registers the client, rebuilds its
frames onto a TUN device of its own and multiplexes the host's replies back.
Each call is a G.711 or G.729 RTP stream each way between a phone and the
host, set up and torn down with SIP on port 5060; with GStreamer installed,
call 1 is sent by gst-launch-1.0 in both directions (and, with tshark, its
rebuilt streams are analysed by tshark).  nftables counters on the router
and the server count what goes into the tunnel and what crosses its wire.
A reference call runs on the direct path beside the calls, and the summary
shows the call quality at the receivers (lab/quality.py: one-way delay,
RFC 3550 jitter, longest gap) with what the tunnel adds to it.  With
--sip-phones two pairs of real SIP phones (baresip) call instead, one pair
through the tunnel and one on the direct path (lab/sipphones.py).

With any of the --wan-* options (or --nat-*, --capture) the router's and
the server's WAN sides are no veth pair but a TUN device each, joined by the
lab's WAN link (lab/wanlink.py): one-way delay, jitter, random or bursty
loss, reordering, duplication, a rate cap and a NAT, each direction alike,
with the same addresses end to end.  The summary then shows what the WAN
dropped, delayed and reordered beside what the tunnel lost.  The lab peer can
also re-challenge the client (--rechallenge) and forget everything as a
restarted server would (--server-restart-at); the NAT can give the client a
new source port mid-run (--nat-rebind-at).

The server can move to another address, its name following it
(--server-move-at), or fall silent for a while (--server-down); the summary
then tells how soon the calls flowed again.

Everything the lab created is removed at the end, also on Ctrl-C or SIGTERM.
"""

import argparse
import concurrent.futures
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(ROOT, "lab"))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

import controlsock  # noqa: E402
import counters  # noqa: E402
import labpeer  # noqa: E402
import netlab  # noqa: E402
import outage  # noqa: E402
import rtpgen  # noqa: E402
import sipphones  # noqa: E402
from rtpgen import DOWN, UP  # noqa: E402

# Debian packages: the lab cannot run without the first list; the second
# brings the real RTP tool and the analyser, and the lab runs without them.
NEEDED = ["iproute2", "nftables", "python3", "cmake", "ninja-build", "g++"]
WANTED = ["gstreamer1.0-tools", "gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good",
          "tshark"]

PHONE_NET = "10.77.1"
ROUTER_LAN = "10.77.1.1"
ROUTER_WAN = "10.77.2.1"
SERVER = "10.77.2.2"
SERVER_LAN = "10.77.3.1"
HOST = "10.77.3.2"
TUNNEL_PORT = 42000
PASSWORD = "lab-secret"
ROUTER_TUN = "cvx0"
PEER_TUN = "cvxs0"
PHONE_RTP_BASE = 20000
HOST_RTP_BASE = 30000
# The direct path: the same hops as the calls (phones, router, WAN, server,
# host) without the tunnel, on interfaces of their own (phones eth1 -- router
# lan1, server lan1 -- host eth1).  A reference call runs on it beside the
# calls: the zero of the delay figures.
DIRECT_PHONE, DIRECT_ROUTER = "10.77.6.10", "10.77.6.1"
DIRECT_SERVER, DIRECT_HOST = "10.77.5.1", "10.77.5.2"
REFERENCE_CALL, REFERENCE_PHONE_PORT, REFERENCE_HOST_PORT = 255, 29000, 39000
CODEC_CHOICES = {"mixed": None, "g711": "G.711", "g729": "G.729"}
MAX_CALLS = 250
# Keys of the generated configuration beyond the addresses and scripts.  The
# loop wakes every 20 ms and sends its idle REQUEST after about 30 quiet
# seconds.  With the defaults (waiting_time 0, max_idle_cycle 0) every wait
# that ends in a time-based flush counts as idle and sends a REQUEST; the lab
# peer answers each with a challenge, and the frames the server sends while
# that exchange runs are dropped by the client, which shows as loss towards
# the phones when few calls run (try --set max_idle_cycle=0 --set waiting_time=0).
CONFIG_ITEMS = (("waiting_time", 20000), ("max_idle_cycle", 1499))
SAMPLE_CONFIG = os.path.join(ROOT, "packaging", "corvex.conf.sample")
# Keys the lab sets itself, whatever the sample configuration says.
LAB_KEYS = ("server", "port", "password", "intf", "up", "down", "pidfile", "logfile",
            "status_file")
WANLINK = os.path.join(ROOT, "lab", "wanlink.py")
# With --server-move-at or --server-down the client knows the server by this
# name, which the router's namespace resolves through a hosts file of the
# run's own (/etc/netns/NS/hosts, laid over /etc/hosts by "ip netns exec");
# a moved server serves at SERVER_MOVED.
SERVER_NAME = "corvex-lab-server"
SERVER_MOVED = "10.77.2.3"
SERVER_TIMEOUT = 10
WAN_DEV = "wan0"
NFT_TABLE = "cvxlab"


class Interrupted(Exception):
    """SIGTERM or SIGHUP (SIGINT raises KeyboardInterrupt)."""


def on_sigterm(signum, _frame):
    raise Interrupted("signal %d" % signum)


def say(text=""):
    print(text, flush=True)


def phone_addr(call):
    return "%s.%d" % (PHONE_NET, 10 + call % 200)


def phone_port(call):
    return PHONE_RTP_BASE + 2 * call


def host_port(call):
    return HOST_RTP_BASE + 2 * call


# ---------------------------------------------------------------------------
# Packages and the build
# ---------------------------------------------------------------------------

def missing_packages(names):
    if shutil.which("dpkg-query") is None:
        return []
    out = []
    for name in names:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True)
        if r.returncode != 0 or not r.stdout.endswith("installed") or "not-installed" in r.stdout:
            out.append(name)
    return out


def ensure_packages(need_build, install, extra=()):
    needed = [p for p in NEEDED if need_build or p not in ("cmake", "ninja-build", "g++")]
    wanted = WANTED + list(extra)
    missing = missing_packages(needed + wanted)
    if missing and install:
        say("== installing %s" % " ".join(missing))
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        ok = subprocess.run(["apt-get", "update", "-qq"], env=env, stdin=subprocess.DEVNULL).returncode == 0
        if ok:
            r = subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                               env=env, stdin=subprocess.DEVNULL)
            ok = r.returncode == 0
        if not ok:
            say("   apt-get failed; going on with what is installed")
        missing = missing_packages(needed + wanted)
    lacking = [p for p in missing if p in needed]
    for tool in ("ip", "nft"):
        if shutil.which(tool) is None:
            lacking.append(tool)
    if lacking:
        raise SystemExit("lab.py: cannot run without %s" % ", ".join(sorted(set(lacking))))


def shown_path(path):
    rel = os.path.relpath(path, ROOT)
    return path if rel.startswith("..") else rel


def ensure_binary(build_dir):
    """Configure (once) and build corvex in build_dir; ninja rebuilds only
    what is stale.  Returns the binary's path."""
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        say("== configuring %s" % shown_path(build_dir))
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DCORVEX_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
    binary = os.path.join(build_dir, "corvex")
    before = os.stat(binary).st_mtime if os.path.exists(binary) else None
    r = subprocess.run(["cmake", "--build", build_dir, "--target", "corvex"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        sys.stderr.write(r.stdout[-4000:] + r.stderr[-2000:])
        raise SystemExit("lab.py: building corvex failed")
    after = os.stat(binary).st_mtime
    say("== corvex: %s (%s)" % (shown_path(binary),
                                "up to date" if before == after else "built"))
    return binary


# ---------------------------------------------------------------------------
# nftables counters
# ---------------------------------------------------------------------------

def frame_rule(match):
    """Frames: the first byte (a call id) is never 0; recovery requests
    (0x01 0x81) are counted apart."""
    return match + " @th,64,8 != 0 @th,64,16 != 0x0181"


def nft_load(ns, chains):
    """chains: list of (name, hook, priority, [rule, ...])."""
    text = "table inet %s {\n" % NFT_TABLE
    for name, hook, prio, rules in chains:
        text += "  chain %s {\n    type filter hook %s priority %d;\n" % (name, hook, prio)
        for rule in rules:
            text += "    %s\n" % rule
        text += "  }\n"
    text += "}\n"
    r = subprocess.run(ns.exec_prefix() + ["nft", "-f", "-"], input=text, capture_output=True,
                       text=True)
    if r.returncode != 0:
        raise RuntimeError("nft in %s: %s" % (ns.name, r.stderr.strip()))


def nft_counters(ns):
    """comment -> (packets, bytes) of every counting rule in the lab's table."""
    r = subprocess.run(ns.exec_prefix() + ["nft", "-j", "list", "table", "inet", NFT_TABLE],
                       capture_output=True, text=True)
    if r.returncode != 0:
        return {}
    out = {}
    for item in json.loads(r.stdout).get("nftables", []):
        rule = item.get("rule")
        if not rule or "comment" not in rule:
            continue
        for expr in rule.get("expr", []):
            if "counter" in expr:
                out[rule["comment"]] = (expr["counter"]["packets"], expr["counter"]["bytes"])
    return out


def wire_rules(direction, match):
    """Counting rules for the tunnel's datagrams in one direction."""
    d = direction
    return [
        '%s @th,64,16 0x0000 counter comment "%s_nonrtp"' % (match, d),
        '%s @th,64,16 0x0081 counter comment "%s_control"' % (match, d),
        '%s @th,64,16 0x0181 counter comment "%s_recovery"' % (match, d),
        '%s counter comment "%s_frames"' % (frame_rule(match), d),
        '%s counter comment "%s_all"' % (match, d),
    ]


def loss_rule(direction, match, loss):
    return '%s numgen random mod 10000 < %d counter drop comment "%s_lossdrop"' % (
        frame_rule(match), int(round(loss * 100)), direction)


def tun_rules(tun, entering, leaving):
    """What enters the tunnel on this side (the plain packets the frames
    stand for) and what leaves it (the packets rebuilt from the far side's
    frames)."""
    rules = []
    for oif, d, where in (("oifname", entering, "entry"), ("iifname", leaving, "exit")):
        rules += [
            '%s "%s" udp dport %d counter comment "%s_%s_sip"' % (oif, tun, rtpgen.SIP_PORT, d, where),
            '%s "%s" meta l4proto udp udp dport != %d counter comment "%s_%s_rtp"'
            % (oif, tun, rtpgen.SIP_PORT, d, where),
        ]
    return rules


# ---------------------------------------------------------------------------
# Helper processes (GStreamer, tshark)
# ---------------------------------------------------------------------------

class Tool:
    """A program started in a namespace, its output in a file."""

    def __init__(self, ns, argv, log_path, stop_signal=signal.SIGTERM):
        self.log_path = log_path
        self.stop_signal = stop_signal
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(ns.exec_prefix() + argv, stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def output(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def running(self):
        return self.proc.poll() is None

    def stop(self, timeout=5.0):
        if self.proc.poll() is None:
            self.proc.send_signal(self.stop_signal)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if not self.log.closed:
            self.log.close()
        return self.proc.returncode


def gst_sender(ns, dst, port, packets, log_path, bind=None):
    argv = ["gst-launch-1.0", "-q", "audiotestsrc", "is-live=true", "samplesperbuffer=160",
            "num-buffers=%d" % packets, "!", "audio/x-raw,rate=8000,channels=1", "!", "mulawenc",
            "!", "rtppcmupay", "pt=0", "min-ptime=20000000", "max-ptime=20000000", "!",
            "udpsink", "host=%s" % dst, "port=%d" % port, "sync=true"]
    if bind:
        argv.append("bind-address=%s" % bind)
    return Tool(ns, argv, log_path)


# One stream of "tshark -z rtp,streams": ... SSRC, payload, packets, lost (percent) ...
RTP_STREAM_LINE = re.compile(r"\s(?P<ssrc>0x[0-9A-Fa-f]{1,8})\s+(?P<payload>\S+)\s+(?P<pkts>\d+)"
                             r"\s+(?P<lost>-?\d+)\s+\(")


def tshark_rtp_streams(pcap, port):
    """tshark's view of the RTP streams in a capture: its stream table for
    packets and loss, and the RFC 3550 interarrival jitter computed from the
    arrival times and RTP timestamps tshark decodes.  One dict per stream."""
    decode = ["-d", "udp.port==%d,rtp" % port]
    r = subprocess.run(["tshark", "-r", pcap, "-q"] + decode + ["-z", "rtp,streams"],
                       capture_output=True, text=True)
    streams = {}
    for line in r.stdout.splitlines():
        m = RTP_STREAM_LINE.search(line)
        if m:
            streams[int(m.group("ssrc"), 16)] = {
                "payload": m.group("payload"), "packets": int(m.group("pkts")),
                "lost": int(m.group("lost")), "jitter_mean_ms": None, "jitter_max_ms": None}
    r = subprocess.run(["tshark", "-r", pcap] + decode + ["-T", "fields", "-e", "rtp.ssrc",
                        "-e", "frame.time_epoch", "-e", "rtp.timestamp"],
                       capture_output=True, text=True)
    arrivals = {}
    for line in r.stdout.splitlines():
        parts = line.split("\t")
        if len(parts) == 3 and all(parts):
            arrivals.setdefault(int(parts[0], 16), []).append((float(parts[1]), int(parts[2])))
    for ssrc, seen in arrivals.items():
        if ssrc in streams:
            streams[ssrc].update(rfc3550_jitter(seen))
    return list(streams.values())


def rfc3550_jitter(seen, clock=8000):
    """Interarrival jitter J += (|D| - J) / 16 over (arrival s, RTP
    timestamp) pairs, in ms: its mean and its largest value."""
    j = 0.0
    values = []
    for (t0, ts0), (t1, ts1) in zip(seen, seen[1:]):
        transit = (t1 - t0) - ((ts1 - ts0) & 0xFFFFFFFF) / clock
        j += (abs(transit) - j) / 16
        values.append(j)
    if not values:
        return {}
    return {"jitter_mean_ms": 1e3 * sum(values) / len(values), "jitter_max_ms": 1e3 * max(values)}


# ---------------------------------------------------------------------------
# corvex's configuration and the WAN link
# ---------------------------------------------------------------------------

def sample_keys():
    """The active key=value lines of the sample configuration, but for the
    keys the lab sets itself."""
    out = []
    with open(SAMPLE_CONFIG) as f:
        for line in f.read().splitlines():
            if line and not line.startswith("#") and "=" in line:
                key, value = line.split("=", 1)
                if key not in LAB_KEYS:
                    out.append((key, value))
    return out


def config_items(a):
    """Keys of corvex's configuration beyond the addresses and scripts:
    the lab's, none (--defaults) or the sample's (--sample-config)."""
    if a.defaults:
        return []
    if a.sample_config:
        return sample_keys()
    return list(CONFIG_ITEMS)


WAN_FLAGS = ("wan_delay", "wan_jitter", "wan_loss", "wan_burst", "wan_reorder", "wan_duplicate",
             "wan_rate", "nat_rebind_at", "nat_timeout", "capture")


def uses_wan(a):
    return a.wan or any(getattr(a, k) is not None for k in WAN_FLAGS)


def wan_options(a):
    """Command-line options of lab/wanlink.py for the lab's flags."""
    opts = {"delay": a.wan_delay or 0.0, "jitter": a.wan_jitter or 0.0, "loss": a.wan_loss or 0.0,
            "burst": a.wan_burst, "reorder": a.wan_reorder or 0.0,
            "duplicate": a.wan_duplicate or 0.0, "rate": a.wan_rate, "seed": a.wan_seed,
            "nat": a.nat_rebind_at is not None or a.nat_timeout is not None,
            "nat_timeout": a.nat_timeout, "capture": a.capture}
    return opts


def wan_description(a):
    parts = ["delay %g ms" % (a.wan_delay or 0)]
    if a.wan_jitter:
        parts.append("jitter %g ms" % a.wan_jitter)
    if a.wan_loss:
        parts.append("loss %g%%" % a.wan_loss + (" in bursts of %g" % a.wan_burst if a.wan_burst else ""))
    if a.wan_reorder:
        parts.append("reorder %g%%" % a.wan_reorder)
    if a.wan_duplicate:
        parts.append("duplicate %g%%" % a.wan_duplicate)
    if a.wan_rate:
        parts.append("rate %g kbit/s" % a.wan_rate)
    if a.nat_rebind_at is not None or a.nat_timeout is not None:
        parts.append("NAT" + (", mapping timeout %g s" % a.nat_timeout if a.nat_timeout else ""))
    return ", ".join(parts) + ", each way"


def server_outage(a):
    """Whether the server moves or falls silent in this run."""
    return a.server_move_at is not None or a.server_down is not None


def server_match(a):
    """The server's address(es) in an nftables match."""
    return "{ %s, %s }" % (SERVER, SERVER_MOVED) if a.server_move_at is not None else SERVER


def outage_items(items):
    """The configuration of an outage run: the server by its name, and
    its watch (--set server_timeout=N overrides it)."""
    return [(k, SERVER_NAME if k == "server" else v) for k, v in items] + [
        ("server_timeout", SERVER_TIMEOUT)]


def hosts_dir(ns):
    return "/etc/netns/%s" % ns.name


def write_hosts(ns, addr):
    """The namespace's hosts file, naming the server `addr`.  Rewritten in
    place: a process already started sees the file through its bind mount."""
    os.makedirs(hosts_dir(ns), exist_ok=True)
    with open(os.path.join(hosts_dir(ns), "hosts"), "w") as f:
        f.write("127.0.0.1 localhost\n%s %s\n" % (addr, SERVER_NAME))


def outage_events(a):
    """(seconds into the calls, what) of the server's move or silence."""
    if a.server_move_at is not None:
        return [(a.server_move_at, "server moved to %s" % SERVER_MOVED)]
    if a.server_down is not None:
        return [(a.server_down[0], "server silent for %g s" % a.server_down[1])]
    return []


def set_realtime(pid):
    try:
        os.sched_setscheduler(pid, os.SCHED_FIFO, os.sched_param(10))
    except OSError as exc:
        say("   no real-time priority for pid %d: %s" % (pid or os.getpid(), exc))


class WanLinkProcess(controlsock.ControlledProcess):
    """lab/wanlink.py, started here; it enters the two namespaces itself
    and creates a TUN device named WAN_DEV in each."""

    def __init__(self, lab, ns_a, ns_b, options):
        self.control_path = lab.path("wanlink.ctl")
        self.output_path = lab.path("wanlink.log")
        argv = [netlab.PYTHON, WANLINK, "--a-netns", ns_a.name, "--b-netns", ns_b.name,
                "--a-dev", WAN_DEV, "--b-dev", WAN_DEV, "--port", str(TUNNEL_PORT),
                "--password", PASSWORD, "--control", self.control_path, "--realtime"]
        argv += controlsock.option_args(options)
        self.output_file = open(self.output_path, "w")
        self.proc = subprocess.Popen(argv, stdout=self.output_file, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        lab.processes.append(self)
        self.client = None
        netlab.wait_for(self._connect, 15, "the WAN link's control socket")

    def died(self, returncode, output):
        return RuntimeError("the WAN link exited with %d: %s" % (returncode, output.strip()))


# ---------------------------------------------------------------------------
# The lab
# ---------------------------------------------------------------------------

def cpu_of(pid):
    """(user, system) CPU seconds of a process, from /proc/PID/stat."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def peak_rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class LabRun:
    def __init__(self, args, command):
        self.args = args
        self.command = command
        self.workdir = tempfile.mkdtemp(prefix="corvex-lab-")
        self.lab = None
        self.tools = []
        self.traffic = None
        self.corvex = None
        self.peer = None
        # GStreamer sends call 1 as G.711 (PCMU).
        self.gst = args.gst and shutil.which("gst-launch-1.0") is not None \
            and self.codec_of(0) == "G.711" and not args.sip_phones
        self.tshark = self.gst and args.tshark and shutil.which("tshark") is not None
        self.progress_stop = threading.Event()
        self.figures = {}
        self.wan = uses_wan(args)
        self.wanlink = None
        self.happenings = []           # (seconds into the calls, what) of --*-at events
        self.outage = None             # the server's move or silence: kind, begin, since
        self.snapshots = {}

    def codec_of(self, call):
        """The codec of a call: every call the one of --codec, or G.711 and
        G.729 by turns."""
        return CODEC_CHOICES[self.args.codec] or rtpgen.codec_for_call(call)

    # -- set-up ---------------------------------------------------------------

    def setup(self):
        a = self.args
        self.lab = lab = netlab.Lab(self.workdir)
        say("== lab %s: namespaces %s-{phones,router,server,host}" % (lab.tag, lab.tag))
        self.phones = lab.netns("phones")
        self.router = lab.netns("router")
        self.server = lab.netns("server")
        self.host = lab.netns("host")
        for ns in (self.phones, self.router, self.server, self.host):
            for key in ("net.ipv6.conf.all.disable_ipv6", "net.ipv6.conf.default.disable_ipv6"):
                ns.sysctl(key, 1)
            ns.sysctl("net.ipv4.conf.all.rp_filter", 0)
            ns.sysctl("net.ipv4.conf.default.rp_filter", 0)
        lab.veth(self.phones, "eth0", None, self.router, "lan0", ROUTER_LAN + "/24")
        if self.wan:
            say("== WAN: lab/wanlink.py between %s and %s (%s)"
                % (self.router.name, self.server.name, wan_description(a)))
            self.wanlink = WanLinkProcess(lab, self.router, self.server, wan_options(a))
            for ns, addr in ((self.router, ROUTER_WAN), (self.server, SERVER)):
                ns.sysctl("net.ipv6.conf.%s.disable_ipv6" % WAN_DEV, 1)
                ns.sysctl("net.ipv4.conf.%s.rp_filter" % WAN_DEV, 0)
                ns.ip("addr", "add", addr + "/24", "dev", WAN_DEV)
                ns.ip("link", "set", WAN_DEV, "up")
        else:
            lab.veth(self.router, "wan0", ROUTER_WAN + "/24", self.server, "wan0", SERVER + "/24")
        if a.server_move_at is not None:
            self.server.ip("addr", "add", SERVER_MOVED + "/24", "dev", WAN_DEV)
        lab.veth(self.server, "lan0", SERVER_LAN + "/24", self.host, "eth0", HOST + "/24")
        lab.veth(self.phones, "eth1", DIRECT_PHONE + "/24", self.router, "lan1", DIRECT_ROUTER + "/24")
        lab.veth(self.server, "lan1", DIRECT_SERVER + "/24", self.host, "eth1", DIRECT_HOST + "/24")
        phones = sorted({phone_addr(c) for c in range(a.calls)}, key=socket.inet_aton)
        batch = "".join("addr add %s/24 dev eth0\n" % addr for addr in phones)
        r = subprocess.run(["ip", "-n", self.phones.name, "-batch", "-"], input=batch,
                           capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError("adding the phones' addresses: %s" % r.stderr.strip())
        self.phones.ip("route", "add", "default", "via", ROUTER_LAN)
        self.host.ip("route", "add", "default", "via", SERVER_LAN)
        # The direct path, each way over the router's and the server's WAN side.
        self.phones.ip("route", "add", DIRECT_HOST + "/32", "via", DIRECT_ROUTER)
        self.router.ip("route", "add", DIRECT_HOST + "/32", "via", SERVER)
        self.server.ip("route", "add", DIRECT_PHONE + "/32", "via", ROUTER_WAN)
        self.host.ip("route", "add", DIRECT_PHONE + "/32", "via", DIRECT_SERVER)
        for ns in (self.router, self.server):
            ns.sysctl("net.ipv4.ip_forward", 1)

        # Counters: the tunnel's wire on the router's WAN side, the plain
        # packets where they enter the tunnel on each side.
        to_server = "ip daddr %s udp dport %d" % (server_match(a), TUNNEL_PORT)
        from_server = "ip saddr %s udp sport %d" % (server_match(a), TUNNEL_PORT)
        router_chains = [("wire_out", "output", -10, wire_rules(UP, to_server)),
                         ("wire_in", "input", -10, wire_rules(DOWN, from_server)),
                         ("tun", "forward", 0, tun_rules(ROUTER_TUN, UP, DOWN))]
        server_chains = [("tun", "forward", 0, tun_rules(PEER_TUN, DOWN, UP))]
        if a.loss > 0:
            router_chains.append(("loss", "input", 0, [loss_rule(DOWN, from_server, a.loss)]))
            server_chains.append(("loss", "input", 0, [loss_rule(
                UP, "ip saddr %s udp dport %d" % (ROUTER_WAN, TUNNEL_PORT), a.loss)]))
        nft_load(self.router, router_chains)
        nft_load(self.server, server_chains)
        if self.gst:
            nft_load(self.phones, [("out", "output", 0, [
                'udp dport %d counter comment "gst_up"' % host_port(0)])])
            nft_load(self.host, [("out", "output", 0, [
                'udp dport %d counter comment "gst_down"' % phone_port(0)])])

        say("== server: lab peer on %s:%d, TUN %s" % (SERVER, TUNNEL_PORT, PEER_TUN))
        # A server that lost its state (restarted) or sees the client from a
        # new address challenges it when it sends.
        self.peer = netlab.Peer(lab, self.server, "%s:%d" % (SERVER, TUNNEL_PORT), name="peer",
                                tun=PEER_TUN, password=PASSWORD, challenge_unknown=True,
                                rechallenge_every=a.rechallenge)
        self.server.sysctl("net.ipv6.conf.%s.disable_ipv6" % PEER_TUN, 1)
        self.server.sysctl("net.ipv4.conf.%s.rp_filter" % PEER_TUN, 0)
        self.server.ip("link", "set", PEER_TUN, "up")
        self.server.ip("route", "add", PHONE_NET + ".0/24", "dev", PEER_TUN)

        self.up_marker = lab.path("up.done")
        up = netlab.write_script(lab.path("up.sh"), (
            'ip link set "$intf" up\n'
            'echo 1 > /proc/sys/net/ipv6/conf/"$intf"/disable_ipv6\n'
            'echo 0 > /proc/sys/net/ipv4/conf/"$intf"/rp_filter\n'
            'ip route add %s.0/24 dev "$intf"\n'
            'echo up > %s\n' % (HOST.rsplit(".", 1)[0], shlex.quote(self.up_marker))))
        down = netlab.write_script(lab.path("down.sh"), "echo down > %s\n"
                                   % shlex.quote(lab.path("down.done")))
        # The client's own counters, read at the end of the calls.
        items = [("server", SERVER), ("port", TUNNEL_PORT), ("password", PASSWORD),
                 ("intf", ROUTER_TUN), ("up", up), ("down", down),
                 ("status_file", lab.path("corvex.prom"))] + config_items(a)
        if server_outage(a):
            write_hosts(self.router, SERVER)
            items = outage_items(items)
        overrides = dict(kv.split("=", 1) for kv in a.set)
        items = [(k, overrides.pop(k, v)) for k, v in items] + list(overrides.items())
        self.status_path = dict(items)["status_file"]
        self.server_timeout = dict(items).get("server_timeout")
        say("== router: %s -c %s" % (" ".join(self.command), lab.path("corvex.conf")))
        say("   %s" % " ".join("%s=%s" % (k, v) for k, v in items
                               if k not in ("up", "down", "password", "status_file")))
        self.corvex = netlab.Corvex(lab, self.router, self.command, items, name="corvex",
                                    verbose=a.verbose)
        netlab.wait_for(lambda: os.path.exists(self.up_marker) or not self.corvex.alive(), 20,
                        "corvex to register and run its up script")
        if not self.corvex.alive():
            raise RuntimeError("corvex exited with %s:\n%s" % (self.corvex.proc.returncode,
                                                                self.corvex.log()[-3000:]))
        say("   registered with the server, tunnel up (%s)" % ROUTER_TUN)
        if a.realtime:
            # This process's threads are started later and inherit it.
            for pid in (self.corvex.pid, self.peer.proc.pid, 0):
                set_realtime(pid)

    # -- traffic --------------------------------------------------------------

    def open_sockets(self):
        a = self.args
        calls = range(a.calls)

        def udp(addr, port):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            s.bind((addr, port))
            return s

        phone_rtp, phone_sip = self.phones.in_ns(lambda: (
            [udp(phone_addr(c), phone_port(c)) for c in calls],
            {addr: udp(addr, rtpgen.SIP_PORT) for addr in {phone_addr(c) for c in calls}}))
        host_rtp, host_sip = self.host.in_ns(lambda: (
            [udp(HOST, host_port(c)) for c in calls], udp(HOST, rtpgen.SIP_PORT)))
        t = self.traffic = rtpgen.Traffic()
        t.set_host_sip(host_sip, (HOST, rtpgen.SIP_PORT))
        for c in calls:
            t.add_phone_sip(c, phone_sip[phone_addr(c)], phone_addr(c))
        self.phone_rtp, self.host_rtp = phone_rtp, host_rtp
        self.reference_rtp = (self.phones.in_ns(lambda: udp(DIRECT_PHONE, REFERENCE_PHONE_PORT)),
                              self.host.in_ns(lambda: udp(DIRECT_HOST, REFERENCE_HOST_PORT)))

    def make_streams(self, start, packets):
        a = self.args
        t = self.traffic
        self.external = {}
        phone, host = self.reference_rtp
        # The reference call, half a packet time after the first call.
        offset = start + rtpgen.PTIME / 2
        t.add_reference(rtpgen.Stream(REFERENCE_CALL, UP, self.codec_of(0), phone,
                                      (DIRECT_HOST, REFERENCE_HOST_PORT), offset, packets), host)
        t.add_reference(rtpgen.Stream(REFERENCE_CALL, DOWN, self.codec_of(0), host,
                                      (DIRECT_PHONE, REFERENCE_PHONE_PORT), offset + 0.0005, packets),
                        phone)
        for c in range(a.calls):
            codec = self.codec_of(c)
            if c == 0 and self.gst:
                for d, rx in ((UP, self.host_rtp[0]), (DOWN, self.phone_rtp[0])):
                    s = rtpgen.ExternalStream(c, d, "G.711", "GStreamer")
                    self.external[d] = s
                    t.add_external(s, rx)
                continue
            # Calls start spread over one packet time, as independent phones would.
            offset = start + rtpgen.PTIME * c / max(1, a.calls)
            t.add_stream(rtpgen.Stream(c, UP, codec, self.phone_rtp[c], (HOST, host_port(c)),
                                       offset, packets), self.host_rtp[c])
            t.add_stream(rtpgen.Stream(c, DOWN, codec, self.host_rtp[c],
                                       (phone_addr(c), phone_port(c)), offset + 0.0005, packets),
                         self.phone_rtp[c])
        return packets

    def start_tshark(self, packets):
        """Capture call 1's GStreamer streams where they leave the tunnel;
        each capture ends by itself once it holds the stream's packets."""
        self.captures = {}
        for d, ns, port in ((UP, self.host, host_port(0)), (DOWN, self.phones, phone_port(0))):
            pcap = self.lab.path("gst-%s.pcap" % d)
            tool = Tool(ns, ["tshark", "-i", "eth0", "-n", "-p", "-f", "udp dst port %d" % port,
                             "-c", str(packets), "-w", pcap], self.lab.path("tshark-%s.log" % d),
                        stop_signal=signal.SIGINT)
            self.tools.append(tool)
            self.captures[d] = (tool, pcap, port)
        for d, (tool, _, _) in self.captures.items():
            try:
                netlab.wait_for(lambda: "Capture started" in tool.output() or not tool.running(),
                                10, "tshark to start capturing")
            except AssertionError:
                pass
            if not tool.running():
                say("   tshark did not start (%s); no stream analysis" % tool.output().strip()[-200:])
                self.tshark = False

    def progress(self, started, seconds):
        """A line a second while the calls run."""
        tty = sys.stdout.isatty()
        last_frames = None
        last_t = None
        next_line = started + 1.0
        while not self.progress_stop.wait(max(0.0, next_line - time.monotonic())):
            next_line += 1.0
            now = time.monotonic()
            tot = self.traffic.totals()
            for d, count in self.gst_sent().items():
                tot[d]["sent"] += count
            nft = nft_counters(self.router)
            frames = (nft.get("up_frames", (0, 0))[0], nft.get("down_frames", (0, 0))[0])
            rate = ""
            if last_frames is not None:
                dt = now - last_t
                rate = "  frames/s %.0f up %.0f down" % ((frames[0] - last_frames[0]) / dt,
                                                        (frames[1] - last_frames[1]) / dt)
            last_frames, last_t = frames, now
            cpu = cpu_of(self.corvex.pid)
            line = "  [%4.1f/%.0f s] phones->host %d/%d  host->phones %d/%d received%s  corvex CPU %.2f s" % (
                min(now - started, seconds), seconds, tot[UP]["received"], tot[UP]["sent"],
                tot[DOWN]["received"], tot[DOWN]["sent"], rate, sum(cpu) if cpu else 0.0)
            if tty:
                sys.stdout.write("\r" + line + "\033[K")
                sys.stdout.flush()
            else:
                say(line)
        if tty:
            sys.stdout.write("\n")
            sys.stdout.flush()

    def run_calls(self):
        a = self.args
        self.open_sockets()
        t = self.traffic
        calls = list(range(a.calls))
        codec = self.codec_of

        def rtp_port(c):
            return phone_port(c)

        if a.quiet_before:
            self.quiet(a.quiet_before)
        say("== SIP: INVITE from %d phone%s to the host on port %d"
            % (a.calls, "s" if a.calls != 1 else "", rtpgen.SIP_PORT))
        answered = t.exchange_sip("INVITE", calls, rtp_port, codec, 1, timeout=netlab.scaled(10))
        say("   %d/%d answered 200 OK" % (len(answered), len(calls)))
        if not answered:
            raise RuntimeError("no SIP INVITE came through the tunnel; corvex log:\n%s"
                               % self.corvex.log()[-3000:])

        packets = int(round(a.seconds / rtpgen.PTIME))
        if self.tshark:
            self.start_tshark(packets)
        start = time.monotonic() + 0.05
        self.make_streams(start, packets)
        if server_outage(a):
            self.note_arrivals()
        self.cpu_before = cpu_of(self.corvex.pid)
        self.snapshots["start"] = self.snapshot()
        events = threading.Thread(target=self.run_events, args=(start,), daemon=True)
        events.start()
        self.gst_tools = {}
        if self.gst:
            self.gst_tools[UP] = gst_sender(self.phones, HOST, host_port(0), packets,
                                            self.lab.path("gst-up.log"), bind=phone_addr(0))
            self.gst_tools[DOWN] = gst_sender(self.host, phone_addr(0), phone_port(0), packets,
                                              self.lab.path("gst-down.log"), bind=HOST)
            self.tools.extend(self.gst_tools.values())
        n711 = sum(1 for c in calls if codec(c) == "G.711")
        say("== calls: %d for %g s (%d G.711, %d G.729%s), one packet each way every 20 ms"
            % (a.calls, a.seconds, n711, a.calls - n711,
               "; call 1 sent by GStreamer" if self.gst else
               "" if not a.gst else "; no gst-launch-1.0, so no GStreamer call"))
        progress = threading.Thread(target=self.progress, args=(start, a.seconds), daemon=True)
        progress.start()
        try:
            t.run_media(end=start + a.seconds + 5.0)
            # GStreamer starts late by its pipeline's set-up: wait for it to
            # send its last buffer.
            deadline = time.monotonic() + netlab.scaled(10)
            while any(g.running() for g in self.gst_tools.values()) and time.monotonic() < deadline:
                t.poll(0.05)
            self.media_end = time.monotonic()
            self.media_seconds = self.media_end - start
            self.snapshots["end"] = self.snapshot()
            t.settle(self.all_arrived)
        finally:
            self.progress_stop.set()
            progress.join()
            events.join()
        self.cpu_after = cpu_of(self.corvex.pid)

        say("== SIP: BYE")
        byes = t.exchange_sip("BYE", calls, rtp_port, codec, 2, timeout=netlab.scaled(5))
        say("   %d/%d answered 200 OK" % (len(byes), len(calls)))
        self.sip_invites, self.sip_byes = len(answered), len(byes)

    def quiet(self, seconds):
        """Nothing but what corvex sends of itself, for `seconds`: how often
        does it keep its NAT mapping alive?"""
        say("== quiet: %g s without calls" % seconds)
        before = self.snapshot()
        self.progress_stop.wait(seconds)
        after = self.snapshot()
        q = {"seconds": seconds}
        for d in (UP, DOWN):
            q[d] = after["nft"].get("%s_control" % d, (0, 0))[0] - before["nft"].get("%s_control" % d, (0, 0))[0]
        if "wan" in after and "nat" in after["wan"]:
            q["nat_expired"] = after["wan"]["nat"]["expired"]
        self.quiet_figures = q
        say("   registration messages: %d from the client, %d from the server%s"
            % (q[UP], q[DOWN], "" if "nat_expired" not in q
               else "; NAT mappings expired: %d" % q["nat_expired"]))

    def snapshot(self):
        """Counters at one moment: the router's nftables counters and, with
        the WAN link, its figures."""
        snap = {"t": time.monotonic(), "nft": nft_counters(self.router)}
        if self.wanlink is not None:
            try:
                snap["wan"] = self.wanlink.call("stats")["stats"]
            except (OSError, RuntimeError, ValueError):
                pass
        return snap

    def run_events(self, start):
        """The server restart and the NAT rebinding asked for, at their time
        after the calls started; on their own control connections."""
        a = self.args
        todo = []
        if a.server_restart_at is not None:
            todo.append((a.server_restart_at, "server restart"))
        if a.nat_rebind_at is not None:
            todo.append((a.nat_rebind_at, "NAT rebinding"))
        todo += outage_events(a)
        for at, what in sorted(todo):
            if self.progress_stop.wait(max(0.0, start + at - time.monotonic())):
                return
            try:
                if what == "server restart":
                    client = labpeer.PeerClient(self.peer.control_path)
                    client.call("restart")
                elif what.startswith("server moved") or what.startswith("server silent"):
                    client = labpeer.PeerClient(self.peer.control_path)
                    self.server_event(client)
                else:
                    client = labpeer.PeerClient(self.wanlink.control_path)
                    client.call("rebind")
                client.close()
            except (OSError, RuntimeError, ValueError) as exc:
                say("   %s failed: %s" % (what, exc))
                continue
            self.happenings.append((round(time.monotonic() - start, 2), what))
            say("   %s at %.1f s" % (what, time.monotonic() - start))

    def server_event(self, client):
        """The server moves (its name leads to the new address, its state
        is gone, as a standby's) or falls silent, state kept; `client` talks
        to the peer.  The outage's times are the peer's own (the same
        monotonic clock): a packet sent just before the command took effect
        may still get through."""
        a = self.args
        if a.server_move_at is not None:
            write_hosts(self.router, SERVER_MOVED)
            r = client.call("move", to="%s:%d" % (SERVER_MOVED, TUNNEL_PORT), forget=True)
            self.outage = {"kind": "move", "begin": r["at"], "since": r["at"]}
        else:
            r = client.call("silence", seconds=a.server_down[1])
            self.outage = {"kind": "down", "begin": r["at"], "since": r["until"]}

    def note_arrivals(self):
        """Note when each packet of the lab's own streams was sent and
        arrived, for the time the calls took to flow again."""
        for s in self.traffic.streams:
            if isinstance(s, rtpgen.Stream):
                s.stats = outage.ArrivalStats()

    def add_outage_figures(self, f, client):
        """Each way: the time from the move (or the server's return) to the
        first RTP packet carried again and to every call carrying again, and
        the packets lost before, during and after; the client's own view."""
        a = self.args
        if self.outage is None:
            return
        o = self.outage
        x = {"kind": o["kind"], "server_timeout": self.server_timeout,
             "at": a.server_move_at if o["kind"] == "move" else a.server_down[0],
             "duration": None if o["kind"] == "move" else a.server_down[1]}
        for d in (UP, DOWN):
            streams = [(s.start, s.counter, s.stats.times) for s in self.traffic.streams
                       if s.direction == d and isinstance(s.stats, outage.ArrivalStats)]
            x[d] = outage.recovery(streams, o["begin"], o["since"])
        if client is not None:
            x["client_server_lost"] = client.get("corvex_server_lost_total")
            x["client_server_state"] = ", ".join(
                "%s at %s" % (dict(labels).get("state"), dict(labels).get("address"))
                for (name, labels), v in client.samples.items() if name == "corvex_server_info" and v)
        f["outage"] = x

    def gst_sent(self):
        if not self.gst:
            return {}
        return {UP: nft_counters(self.phones).get("gst_up", (0, 0))[0],
                DOWN: nft_counters(self.host).get("gst_down", (0, 0))[0]}

    def all_arrived(self):
        sent = self.gst_sent()
        for s in self.traffic.streams:
            target = s.stats.sent if isinstance(s, rtpgen.Stream) else sent.get(s.direction, 0)
            if s.stats.received < target:
                return False
        return True

    # -- figures --------------------------------------------------------------

    def client_counters(self):
        """The client's counters, fresh (SIGUSR1); None when it keeps no
        status file (a binary without one would end on SIGUSR1: it is asked
        only when its first file is there)."""
        if not self.corvex.alive() or not os.path.exists(self.status_path):
            return None
        return counters.request(self.corvex.pid, self.status_path, timeout=netlab.scaled(5))

    def collect(self):
        a = self.args
        client = self.client_counters()
        gst_sent = self.gst_sent()
        for d, s in getattr(self, "external", {}).items():
            s.stats.sent = gst_sent.get(d, 0)
        tot = self.traffic.totals()
        rnft = nft_counters(self.router)
        snft = nft_counters(self.server)
        entry = {UP: rnft, DOWN: snft}
        exit_ = {UP: snft, DOWN: rnft}
        try:
            peer_stats = self.peer.call("stats")
            self.figures_peer = {"counters": peer_stats.get("counters"),
                                 "calls": len(peer_stats.get("calls", {}))}
        except (OSError, RuntimeError, ValueError):
            self.figures_peer = None
        f = {"calls": a.calls, "seconds": a.seconds, "media_seconds": round(self.media_seconds, 3),
             "codecs": {"G.711": sum(1 for c in range(a.calls) if self.codec_of(c) == "G.711"),
                        "G.729": sum(1 for c in range(a.calls) if self.codec_of(c) == "G.729")},
             "gstreamer_call": self.gst, "loss_option_percent": a.loss,
             "sip": {"invites_answered": self.sip_invites, "byes_answered": self.sip_byes}}
        for d in (UP, DOWN):
            x = dict(tot[d])
            x["lost"] = max(0, x["sent"] - x["received"])
            x["loss_percent"] = 100.0 * x["lost"] / x["sent"] if x["sent"] else 0.0
            x["sip_sent"], x["sip_received"] = self.traffic.sip_counts[d]
            for kind in ("frames", "nonrtp", "control", "recovery", "all"):
                x["wire_%s_packets" % kind], x["wire_%s_bytes" % kind] = rnft.get("%s_%s" % (d, kind), (0, 0))
            x["loss_dropped_frames"] = (snft if d == UP else rnft).get("%s_lossdrop" % d, (0, 0))[0]
            sip_p, sip_b = entry[d].get("%s_entry_sip" % d, (0, 0))
            rtp_p, rtp_b = entry[d].get("%s_entry_rtp" % d, (0, 0))
            x["plain_rtp_packets"], x["plain_rtp_bytes"] = rtp_p, rtp_b
            x["rebuilt_rtp_packets"] = exit_[d].get("%s_exit_rtp" % d, (0, 0))[0]
            x["tunnel_lost"] = max(0, rtp_p - x["rebuilt_rtp_packets"])
            x["plain_sip_packets"], x["plain_sip_bytes"] = sip_p, sip_b
            x["frames_per_second"] = x["wire_frames_packets"] / self.media_seconds
            x["rtp_per_frame"] = rtp_p / x["wire_frames_packets"] if x["wire_frames_packets"] else 0.0
            x["saving_percent"] = (100.0 * (1 - x["wire_frames_bytes"] / rtp_b)) if rtp_b else 0.0
            f[d] = x
        wire = f[UP]["wire_all_bytes"] + f[DOWN]["wire_all_bytes"]
        plain = sum(f[d]["plain_rtp_bytes"] + f[d]["plain_sip_bytes"] for d in (UP, DOWN))
        frames_b = f[UP]["wire_frames_bytes"] + f[DOWN]["wire_frames_bytes"]
        rtp_b = f[UP]["plain_rtp_bytes"] + f[DOWN]["plain_rtp_bytes"]
        f["rtp_wire_bytes"], f["rtp_plain_bytes"] = frames_b, rtp_b
        f["rtp_saving_percent"] = 100.0 * (1 - frames_b / rtp_b) if rtp_b else 0.0
        f["tunnel_wire_bytes"], f["tunnel_plain_bytes"] = wire, plain
        f["tunnel_saving_percent"] = 100.0 * (1 - wire / plain) if plain else 0.0
        u0, s0 = self.cpu_before or (0.0, 0.0)
        u1, s1 = self.cpu_after or (0.0, 0.0)
        carried = f[UP]["plain_rtp_packets"] + f[DOWN]["plain_rtp_packets"]
        f["corvex_cpu"] = {"user": u1, "system": s1, "total": u1 + s1,
                           "during_calls": (u1 + s1) - (u0 + s0),
                           "percent_of_core": 100.0 * ((u1 + s1) - (u0 + s0)) / self.media_seconds,
                           "us_per_packet": 1e6 * ((u1 + s1) - (u0 + s0)) / carried if carried else None,
                           "peak_rss_kib": peak_rss_kib(self.corvex.pid)}
        f["peer"] = self.figures_peer
        f["client_counters"] = None
        if client is not None:
            cc = counters.compare(client, f[UP]["sent"], f[UP]["received"],
                                  f[DOWN]["sent"], f[DOWN]["received"])
            for d, direction in ((UP, "egress"), (DOWN, "ingress")):
                cc[d]["frames"] = client.get("corvex_frames_total", direction=direction)
                cc[d]["saving_percent"] = client.saving_percent(direction)
            f["client_counters"] = cc
        self.add_wan_figures(f)
        f["quality"] = self.traffic.quality()
        f["config"]["max_muxing_time"] = self.muxing_time()
        self.add_outage_figures(f, client)
        f["streams"] = [{"call": s.call + 1, "direction": s.direction, "codec": s.codec,
                         "by": getattr(s, "tool", "lab.py"), "sent": s.stats.sent,
                         "received": s.stats.received, "out_of_order": s.stats.out_of_order,
                         "corrupt": s.stats.corrupt, "duplicates": s.stats.duplicates,
                         "missing": sorted(set(range(s.stats.sent)) - s.stats.seen)[:20]
                         if isinstance(s, rtpgen.Stream) else None}
                        for s in self.traffic.streams]
        if self.gst:
            f["gstreamer"] = {d: {"sent": s.stats.sent, "received": s.stats.received,
                                  "corrupt": s.stats.corrupt,
                                  "error": None if self.gst_tools[d].proc.returncode == 0
                                  else self.gst_tools[d].output().strip()[-300:] or "exit status %s"
                                  % self.gst_tools[d].proc.returncode}
                              for d, s in self.external.items()}
        if self.tshark:
            deadline = time.monotonic() + netlab.scaled(3)
            for tool, _, _ in self.captures.values():
                while tool.running() and time.monotonic() < deadline:
                    time.sleep(0.05)
                tool.stop()
            with concurrent.futures.ThreadPoolExecutor() as pool:
                jobs = {d: pool.submit(tshark_rtp_streams, pcap, port)
                        for d, (_, pcap, port) in self.captures.items()}
                f["tshark"] = {d: job.result() for d, job in jobs.items()}
        self.figures = f
        return f

    def add_wan_figures(self, f):
        """Registration messages per minute while the calls ran; with the WAN
        link, what it dropped, delayed, reordered and duplicated each way, and
        the tunnel's loss beside it."""
        a = self.args
        s0, s1 = self.snapshots.get("start"), self.snapshots.get("end")
        minutes = (s1["t"] - s0["t"]) / 60.0 if s0 and s1 else 0.0
        f["happenings"] = self.happenings
        if getattr(self, "quiet_figures", None):
            f["quiet"] = self.quiet_figures
        f["config"] = dict(config_items(a))
        for d in (UP, DOWN):
            during = 0
            if s0 and s1:
                during = (s1["nft"].get("%s_control" % d, (0, 0))[0]
                          - s0["nft"].get("%s_control" % d, (0, 0))[0])
            f[d]["control_during_calls"] = during
            f[d]["registration_per_minute"] = during / minutes if minutes else 0.0
        if self.wanlink is None:
            return
        try:
            final = self.wanlink.call("stats")["stats"]
        except (OSError, RuntimeError, ValueError) as exc:
            say("   no figures from the WAN link: %s" % exc)
            return
        f["wan"] = final
        f["wan_options"] = wan_options(a)
        for d in (UP, DOWN):
            w = final[d]
            x = f[d]
            x["wan_dropped"] = w["dropped"] + w["queue_dropped"] + w["nat_dropped"]
            x["wan_dropped_frames"] = w["dropped_kinds"].get("frame", 0)
            x["wan_dropped_inner"] = w["dropped_inner"]
            # The calls' own count of what never arrived (duplicates do not
            # hide a loss there, as they do in the counts where packets
            # enter and leave the tunnel) against what the dropped frames
            # carried.  The target: no more than that, plus 0.1%.
            x["tunnel_beyond_wan"] = x["lost"] - w["dropped_inner"]
            x["tunnel_within_wan"] = x["lost"] <= w["dropped_inner"] + 0.001 * x["sent"]
            if s0 and s1 and "wan" in s0 and "wan" in s1:
                k0, k1 = s0["wan"][d]["kinds"], s1["wan"][d]["kinds"]
                x["control_during_calls_by_keyword"] = {
                    k.split(":", 1)[1]: k1[k] - k0.get(k, 0) for k in k1
                    if k.startswith("control:") and k1[k] - k0.get(k, 0)}
        if a.capture:
            try:
                import dissect  # written beside the Wireshark dissector; optional
            except ImportError:
                dissect = None
            if dissect is not None:
                try:
                    f["capture_rtp_streams"] = dissect.rtp_streams(a.capture, PASSWORD, TUNNEL_PORT)
                except Exception as exc:   # an optional view: never the lab's end
                    say("   dissecting %s failed: %s" % (a.capture, exc))

    def muxing_time(self):
        """max_muxing_time of the client's configuration, in loop-clock units."""
        items = dict(config_items(self.args))
        items.update(kv.split("=", 1) for kv in self.args.set)
        try:
            return int(items.get("max_muxing_time", 80000))
        except ValueError:
            return None

    def run_sip_phones(self):
        """Real phones instead of the lab's calls (--sip-phones)."""
        f = sipphones.run_call(self, self.args.seconds, say, realtime=self.args.realtime,
                               tool=Tool, wait_for=netlab.wait_for, set_realtime=set_realtime)
        rnft, snft = nft_counters(self.router), nft_counters(self.server)
        f["saving_percent"] = {}
        for d, entry in ((UP, rnft), (DOWN, snft)):
            plain = entry.get("%s_entry_rtp" % d, (0, 0))[1]
            frames = rnft.get("%s_frames" % d, (0, 0))[1]
            f["saving_percent"][d] = 100.0 * (1 - frames / plain) if plain else 0.0
        f["config"] = {"max_muxing_time": self.muxing_time()}
        return f

    # -- teardown -------------------------------------------------------------

    def teardown(self):
        """Undo everything, whatever state the set-up reached."""
        problems = []
        self.progress_stop.set()
        for tool in self.tools:
            try:
                tool.stop()
            except OSError as exc:
                problems.append("stopping a tool: %s" % exc)
        if self.traffic is not None:
            self.traffic.close()
        for attr in ("phone_rtp", "host_rtp", "reference_rtp"):
            for sock in getattr(self, attr, []):
                sock.close()
        if self.lab is not None:
            try:
                self.lab.close()
            except AssertionError as exc:
                problems.append(str(exc).splitlines()[0])
            sweep_namespaces(self.lab.tag)
            if server_outage(self.args) and getattr(self, "router", None) is not None:
                shutil.rmtree(hosts_dir(self.router), ignore_errors=True)
        if not self.args.keep:
            shutil.rmtree(self.workdir, ignore_errors=True)
        return problems


def sweep_namespaces(tag):
    """Remove any namespace of this run that is still there (a set-up cut
    short between creating a namespace and recording it), ending the
    processes inside first."""
    r = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True)
    for line in r.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        if not name.startswith(tag + "-"):
            continue
        pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True).stdout.split()
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (OSError, ValueError):
                pass
        subprocess.run(["ip", "netns", "del", name], capture_output=True)


# ---------------------------------------------------------------------------
# The summary
# ---------------------------------------------------------------------------

def n(value):
    return "{:,}".format(value)


def clean(f):
    """Every packet sent each way arrived once, in order and intact."""
    return all(f[d]["sent"] > 0 and f[d]["lost"] == 0 and f[d]["out_of_order"] == 0
               and f[d]["corrupt"] == 0 and f[d]["duplicates"] == 0 for d in (UP, DOWN))


def wan_rows(f):
    """The WAN link's rows of the summary: what the WAN itself did."""
    rows = []

    def row(label, a, b):
        rows.append("  %-34s %18s %18s" % (label, a, b))

    w = f["wan"]
    up, down = w[UP], w[DOWN]
    rows.append("")
    row("WAN link (lab/wanlink.py)", "router -> server", "server -> router")
    row("datagrams in / out", "%s / %s" % (n(up["in"]), n(up["out"])),
        "%s / %s" % (n(down["in"]), n(down["out"])))

    def dropped(x):
        total = x["dropped"] + x["queue_dropped"] + x["nat_dropped"]
        return "%s (%.2f%%)" % (n(total), 100.0 * total / x["in"] if x["in"] else 0.0)

    row("dropped", dropped(up), dropped(down))

    def kinds(x):
        k = x["dropped_kinds"]
        control = sum(v for key, v in k.items() if key.startswith("control"))
        other = sum(k.values()) - k.get("frame", 0) - control
        return "%d / %d / %d" % (k.get("frame", 0), control, other)

    row("  frames / control / other", kinds(up), kinds(down))
    row("  RTP packets in the dropped frames", n(up["dropped_inner"]), n(down["dropped_inner"]))
    if up["queue_dropped"] or down["queue_dropped"] or up["nat_dropped"] or down["nat_dropped"]:
        row("  over the rate cap / at the NAT", "%d / %d" % (up["queue_dropped"], up["nat_dropped"]),
            "%d / %d" % (down["queue_dropped"], down["nat_dropped"]))
    row("duplicated / reordered", "%d / %d" % (up["duplicated"], up["reordered"]),
        "%d / %d" % (down["duplicated"], down["reordered"]))
    row("delay added mean / max (ms)",
        "%.1f / %.1f" % (1e3 * (up["delay_mean"] or 0), 1e3 * up["delay_max"]),
        "%.1f / %.1f" % (1e3 * (down["delay_mean"] or 0), 1e3 * down["delay_max"]))
    row("RTP lost beyond the WAN's drops", n(f[UP]["tunnel_beyond_wan"]),
        n(f[DOWN]["tunnel_beyond_wan"]))
    nat = w.get("nat")
    if nat:
        row("NAT rebinds / mappings expired", "%d / %d" % (nat["rebinds"], nat["expired"]), "")
    return rows


def capture_stream_lines(streams, most=8):
    """The RTP streams tshark found in the WAN capture through the
    dissector: totals, then the first few streams."""
    packets = sum(st.get("packets", 0) for st in streams)
    lost = sum(max(0, st.get("lost", 0)) for st in streams)
    lines = ["  WAN capture through the dissector: %d RTP streams, %s packets, %s lost by sequence"
             % (len(streams), n(packets), n(lost))]
    for st in streams[:most]:
        try:
            lines.append("    %s:%d -> %s:%d %s: %d packets, %d lost, jitter mean %.2f / max %.2f ms"
                         % (st["src"], st["src_port"], st["dst"], st["dst_port"], st["payload"],
                            st["packets"], st["lost"], st["mean_jitter_ms"], st["max_jitter_ms"]))
        except (KeyError, TypeError):
            lines.append("    " + ", ".join("%s %s" % kv for kv in st.items()))
    if len(streams) > most:
        lines.append("    (%d more)" % (len(streams) - most))
    if len({st.get("ssrc") for st in streams}) < len(streams):
        lines.append("    (an SSRC under several address pairs: tshark gives every packet of a frame "
                     "the addresses of one of them, so with several calls per frame the streams mix)")
    return lines


def outage_rows(f):
    """The summary's rows of a server move or silence."""
    o = f.get("outage")
    if not o:
        return []
    rows = [""]

    def row(label, a, b):
        rows.append("  %-34s %18s %18s" % (label, a, b))

    def secs(v):
        return "never" if v is None else "%.2f s" % v

    up, down = o[UP], o[DOWN]
    if o["kind"] == "move":
        rows.append("  server moved to %s at %g s, its state lost (server_timeout %s)"
                    % (SERVER_MOVED, o["at"], o["server_timeout"]))
        since = "the move"
    else:
        rows.append("  server silent from %g s for %g s, state kept (server_timeout %s)"
                    % (o["at"], o["duration"], o["server_timeout"]))
        since = "its return"
    row("from %s to the first RTP" % since, "", "")
    row("  packet carried again", secs(up["first_s"]), secs(down["first_s"]))
    row("  ... every call carrying again", secs(up["all_s"]), secs(down["all_s"]))
    row("RTP lost, sent before the outage", n(up["lost_before"]), n(down["lost_before"]))
    row("  in the outage, until carried", n(up["lost_during"]), n(down["lost_during"]))
    row("  after the calls flowed again", n(up["lost_after"]), n(down["lost_after"]))
    if "client_server_lost" in o:
        rows.append("  client: server lost %d time%s, now %s" % (
            o["client_server_lost"], "" if o["client_server_lost"] == 1 else "s",
            o["client_server_state"] or "?"))
    return rows


def counter_rows(f):
    """The client's own counters (its status file) beside the lab's rows,
    and where they disagree with the lab's counts."""
    cc = f.get("client_counters")
    if cc is None:
        return [], ["  client's counters: none (no status file from the client)"]
    up, down = cc[UP], cc[DOWN]
    rows = [""]

    def row(label, a, b):
        rows.append("  %-34s %18s %18s" % (label, a, b))

    def pct(v):
        return "-" if v is None else "%.1f%%" % v

    row("client's counters (status file)", "egress", "ingress")
    row("RTP packets carried", n(up["client_rtp_packets"]), n(down["client_rtp_packets"]))
    row("frames", n(up["frames"]), n(down["frames"]))
    row("saving", pct(up["saving_percent"]), pct(down["saving_percent"]))
    for reason in sorted(set(up["client_drops"]) | set(down["client_drops"])):
        row("dropped: " + reason, n(up["client_drops"].get(reason, 0)),
            n(down["client_drops"].get(reason, 0)))
    if not cc["findings"]:
        return rows, ["  the client's counters agree with the lab's"]
    return rows, ["  where the client's counters and the lab's counts part:"] + [
        "    " + x for x in cc["findings"]]


def quality_rows(f):
    """Call quality at the receivers (lab/quality.py): delay through the
    tunnel and on the direct path beside it, jitter, gaps."""
    q = f.get("quality")
    if not q or q[UP]["delay_mean_ms"] is None:
        return []
    rows = []

    def row(label, a, b):
        rows.append("  %-34s %18s %18s" % (label, a, b))

    def ms(*values):
        return " / ".join("-" if v is None else "%.1f" % v for v in values)

    up, down = q[UP], q[DOWN]
    row("delay mean / p99 / max (ms)",
        ms(up["delay_mean_ms"], up["delay_p99_ms"], up["delay_max_ms"]),
        ms(down["delay_mean_ms"], down["delay_p99_ms"], down["delay_max_ms"]))
    if up["direct"] and down["direct"]:
        row("  direct path, no tunnel (ms)",
            ms(up["direct"]["delay_mean_ms"], up["direct"]["delay_p99_ms"], up["direct"]["delay_max_ms"]),
            ms(down["direct"]["delay_mean_ms"], down["direct"]["delay_p99_ms"],
               down["direct"]["delay_max_ms"]))
        row("  added by the tunnel mean / p99", ms(up["added_mean_ms"], up["added_p99_ms"]),
            ms(down["added_mean_ms"], down["added_p99_ms"]))
    row("jitter RFC 3550 mean / max (ms)", ms(up["jitter_mean_ms"], up["jitter_max_ms"]),
        ms(down["jitter_mean_ms"], down["jitter_max_ms"]))
    if up["direct"] and down["direct"]:
        row("  direct path, no tunnel (ms)",
            ms(up["direct"]["jitter_mean_ms"], up["direct"]["jitter_max_ms"]),
            ms(down["direct"]["jitter_mean_ms"], down["direct"]["jitter_max_ms"]))
    row("longest gap between arrivals (ms)", ms(up["gap_max_ms"]), ms(down["gap_max_ms"]))
    return rows


def summary(f):
    up, down = f[UP], f[DOWN]
    rows = []

    def row(label, a, b):
        rows.append("  %-34s %18s %18s" % (label, a, b))

    row("", "phones -> host", "host -> phones")
    row("RTP packets sent", n(up["sent"]), n(down["sent"]))
    row("RTP packets received", n(up["received"]), n(down["received"]))
    row("lost", "%s (%.2f%%)" % (n(up["lost"]), up["loss_percent"]),
        "%s (%.2f%%)" % (n(down["lost"]), down["loss_percent"]))
    row("  of which in the tunnel", n(up["tunnel_lost"]), n(down["tunnel_lost"]))
    row("out of order", n(up["out_of_order"]), n(down["out_of_order"]))
    if up["corrupt"] or down["corrupt"] or up["duplicates"] or down["duplicates"]:
        row("corrupt / duplicated", "%d / %d" % (up["corrupt"], up["duplicates"]),
            "%d / %d" % (down["corrupt"], down["duplicates"]))
    rows.extend(quality_rows(f))
    row("SIP messages sent / received", "%d / %d" % (up["sip_sent"], up["sip_received"]),
        "%d / %d" % (down["sip_sent"], down["sip_received"]))
    row("frames on the tunnel", n(up["wire_frames_packets"]), n(down["wire_frames_packets"]))
    row("frames per second", "%.1f" % up["frames_per_second"], "%.1f" % down["frames_per_second"])
    row("RTP packets per frame", "%.1f" % up["rtp_per_frame"], "%.1f" % down["rtp_per_frame"])
    row("frame bytes on the wire", n(up["wire_frames_bytes"]), n(down["wire_frames_bytes"]))
    row("same RTP packets unmultiplexed", n(up["plain_rtp_bytes"]), n(down["plain_rtp_bytes"]))
    row("saving", "%.1f%%" % up["saving_percent"], "%.1f%%" % down["saving_percent"])
    row("registration messages", n(up["wire_control_packets"]), n(down["wire_control_packets"]))
    if "registration_per_minute" in up:
        row("  per minute during the calls", "%.1f" % up["registration_per_minute"],
            "%.1f" % down["registration_per_minute"])
    if up["wire_recovery_packets"] or down["wire_recovery_packets"]:
        row("recovery requests", n(up["wire_recovery_packets"]), n(down["wire_recovery_packets"]))
    if f["loss_option_percent"]:
        row("frames dropped by --loss", n(up["loss_dropped_frames"]), n(down["loss_dropped_frames"]))
    rows.extend(outage_rows(f))
    client_rows, client_lines = counter_rows(f)
    rows.extend(client_rows)
    if f.get("wan"):
        rows.extend(wan_rows(f))

    codecs = f["codecs"]
    head = "corvex lab: %d call%s (%d G.711, %d G.729) for %.1f s" % (
        f["calls"], "s" if f["calls"] != 1 else "", codecs["G.711"], codecs["G.729"], f["media_seconds"])
    lines = ["", "== summary", head, ""] + rows + [""] + client_lines + [""]
    lines.append("  tunnel, both ways: RTP %s B on the wire vs %s B unmultiplexed: %.1f%% saved"
                 % (n(f["rtp_wire_bytes"]), n(f["rtp_plain_bytes"]), f["rtp_saving_percent"]))
    lines.append("  all tunnel traffic (RTP, SIP, registration): %s B vs %s B plain: %.1f%% saved"
                 % (n(f["tunnel_wire_bytes"]), n(f["tunnel_plain_bytes"]), f["tunnel_saving_percent"]))
    lines.append("  (bytes are IPv4 packet lengths, outer IPv4/UDP headers included)")
    c = f["corvex_cpu"]
    per = " = %.1f us per packet" % c["us_per_packet"] if c["us_per_packet"] else ""
    lines.append("  corvex CPU: %.2f s in all (user %.2f + system %.2f); %.2f s during the calls, "
                 "%.1f%% of one core%s" % (c["total"], c["user"], c["system"], c["during_calls"],
                                           c["percent_of_core"], per))
    if c["peak_rss_kib"]:
        lines.append("  corvex peak resident memory: %d KiB" % c["peak_rss_kib"])
    if f.get("gstreamer"):
        g = f["gstreamer"]
        lines.append("  call 1 by GStreamer (PCMU, 200-byte packets): received %d/%d up, %d/%d down"
                     % (g[UP]["received"], g[UP]["sent"], g[DOWN]["received"], g[DOWN]["sent"]))
        for d in (UP, DOWN):
            if g[d]["error"]:
                lines.append("    gst-launch-1.0 (%s) failed: %s" % (d, g[d]["error"]))
    for d, streams in f.get("tshark", {}).items():
        label = "phones -> host" if d == UP else "host -> phones"
        for s in streams:
            jitter = "" if s["jitter_mean_ms"] is None else ", jitter mean %.2f ms, max %.2f ms" % (
                s["jitter_mean_ms"], s["jitter_max_ms"])
            lines.append("  tshark, call 1 %s: %d %s packets, %d lost by sequence%s"
                         % (label, s["packets"], s["payload"], s["lost"], jitter))
        if not streams:
            lines.append("  tshark, call 1 %s: no RTP stream found in the capture" % label)
        elif f.get("gstreamer") and sum(s["packets"] for s in streams) < f["gstreamer"][d]["sent"]:
            lines.append("    (the far end rebuilds sequence numbers one by one: what the tunnel "
                         "lost shows in the count, not by sequence)")
    if f.get("wan"):
        ok = [d for d in (UP, DOWN) if f[d]["tunnel_within_wan"]]
        lines.append("  loss within what the WAN's dropped frames carried (+0.1%% of sent): %s"
                     % ", ".join("%s %s" % ("phones -> host" if d == UP else "host -> phones",
                                            "yes" if d in ok else "NO") for d in (UP, DOWN)))
        for d in (UP, DOWN):
            by = f[d].get("control_during_calls_by_keyword")
            if by:
                lines.append("  registration messages during the calls, %s: %s" % (
                    "client -> server" if d == UP else "server -> client",
                    ", ".join("%s %d" % kv for kv in sorted(by.items()))))
    q = f.get("quiet")
    if q:
        lines.append("  quiet %g s before the calls: %d registration messages from the client, %d from "
                     "the server%s" % (q["seconds"], q[UP], q[DOWN], "" if "nat_expired" not in q
                                       else "; NAT mappings expired: %d" % q["nat_expired"]))
    for at, what in f.get("happenings", []):
        lines.append("  %s at %.1f s into the calls" % (what, at))
    streams = f.get("capture_rtp_streams")
    if streams is not None:
        lines.extend(capture_stream_lines(streams))
    verdict = "OK: every packet arrived, in order" if clean(f) \
        else "NOT CLEAN: see loss, order and corruption above"
    lines.append("")
    lines.append("  " + verdict)
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Entry
# ---------------------------------------------------------------------------

def outage_arg(text):
    try:
        return outage.parse_down(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc))


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Bring up a lab of network namespaces (phones, a router running corvex, "
                    "the lab peer as server, a host behind it), carry calls through the tunnel "
                    "and print what it did.  Run as root.",
        epilog="Exit status: 0 when every packet arrived in order, 2 when some did not (without "
               "--loss, WAN loss, reordering, duplication, rate cap, NAT or server restart), 1 on "
               "a failure to set up or tear down, 130 when interrupted.  With --sip-phones: 2 when a "
               "call did not carry media both ways.")
    p.add_argument("--calls", type=int, default=20, help="calls to run (default 20)")
    p.add_argument("--codec", choices=sorted(CODEC_CHOICES), default="mixed",
                   help="codec of every call: g711 (160-byte payload), g729 (20-byte payload), "
                        "or mixed: G.711 and G.729 by turns (default)")
    p.add_argument("--seconds", type=float, default=20.0, help="seconds the calls last (default 20)")
    p.add_argument("--loss", type=float, default=0.0, metavar="PERCENT",
                   help="drop this share of the frames each way (nftables), to watch recovery")
    p.add_argument("--corvex", metavar="PATH", help="use this binary, build nothing")
    p.add_argument("--runner", default="", metavar="CMD",
                   help='command prefix for the binary, e.g. "qemu-mips -L /usr/mips-linux-gnu"')
    p.add_argument("--build-dir", default=os.path.join(ROOT, "build"),
                   help="where to build corvex (default build/)")
    p.add_argument("--no-install", dest="install", action="store_false",
                   help="do not apt-get install missing packages")
    p.add_argument("--no-gst", dest="gst", action="store_false",
                   help="generate every call here, none with GStreamer")
    p.add_argument("--no-tshark", dest="tshark", action="store_false",
                   help="no tshark analysis of the GStreamer call")
    p.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                   help="set a key of corvex's generated configuration (repeatable)")
    p.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    p.add_argument("--keep", action="store_true", help="keep the work directory (logs, captures)")
    cfg = p.add_mutually_exclusive_group()
    cfg.add_argument("--defaults", action="store_true",
                     help="run corvex with no waiting_time or max_idle_cycle line (their defaults)")
    cfg.add_argument("--sample-config", action="store_true",
                     help="take waiting_time and max_idle_cycle from packaging/corvex.conf.sample")
    w = p.add_argument_group("WAN", "Any of these joins the router and the server through the "
                             "lab's WAN link (lab/wanlink.py) instead of a veth pair; each applies "
                             "to both directions alike.")
    w.add_argument("--wan", action="store_true", help="use the WAN link even without impairments")
    w.add_argument("--wan-delay", type=float, metavar="MS", help="one-way delay")
    w.add_argument("--wan-jitter", type=float, metavar="MS",
                   help="the delay varies evenly by up to this much either way (order is kept)")
    w.add_argument("--wan-loss", type=float, metavar="PCT", help="packets lost (mean)")
    w.add_argument("--wan-burst", type=float, metavar="N",
                   help="losses come in bursts of N packets on average (Gilbert-Elliott)")
    w.add_argument("--wan-reorder", type=float, metavar="PCT",
                   help="packets held back behind the next one")
    w.add_argument("--wan-duplicate", type=float, metavar="PCT", help="packets delivered twice")
    w.add_argument("--wan-rate", type=float, metavar="KBITS", help="rate cap in kbit/s")
    w.add_argument("--wan-seed", type=int, metavar="N", help="seed of the link's random choices")
    w.add_argument("--nat-rebind-at", type=float, metavar="SEC",
                   help="a NAT between them gives the client a new source port SEC seconds "
                        "into the calls")
    w.add_argument("--nat-timeout", type=float, metavar="SEC",
                   help="a NAT between them forgets a mapping idle from the client's side for "
                        "SEC seconds")
    w.add_argument("--capture", metavar="FILE",
                   help="write the WAN's datagrams, both ways, to a pcap file (as the router's WAN "
                        "side sees them)")
    w.add_argument("--quiet-before", type=float, metavar="SEC",
                   help="leave the tunnel quiet for SEC seconds before the calls (with "
                        "--nat-timeout: does corvex keep its NAT mapping?)")
    s_ = p.add_argument_group("server habits")
    s_.add_argument("--rechallenge", type=float, metavar="SEC",
                    help="the server challenges the authorized client again every SEC seconds")
    s_.add_argument("--server-restart-at", type=float, metavar="SEC",
                    help="the server forgets everything (registration, templates, calls) SEC "
                         "seconds into the calls")
    p.add_argument("--sip-phones", action="store_true",
                   help="instead of the lab's calls, one call between two real SIP phones "
                        "(Debian's baresip) through the tunnel and one on the direct path beside "
                        "it, measured from captures at the phones (installs baresip-core)")
    o_ = p.add_argument_group(
        "server outages", "The client knows the server by a name (a hosts file of the router's "
        "namespace) and watches it: server_timeout %d in its configuration (--set "
        "server_timeout=N to change it).  The summary shows, each way, the time to the first RTP "
        "packet carried again and the packets lost before, in and after the outage."
        % SERVER_TIMEOUT)
    o_.add_argument("--server-move-at", type=float, metavar="SEC",
                    help="SEC seconds into the calls the server moves to %s, as a standby "
                         "taking over: its name resolves there, the old address drops "
                         "everything, and its state (registration, templates, calls) is lost"
                         % SERVER_MOVED)
    o_.add_argument("--server-down", type=outage_arg, metavar="SEC:DURATION",
                    help="SEC seconds into the calls the server receives and sends nothing for "
                         "DURATION seconds, then answers again at the same address with its "
                         "state kept (a network outage)")
    p.add_argument("-v", "--verbose", action="store_true", help="run corvex with -v (logs every packet)")
    p.add_argument("--realtime", action="store_true",
                   help="run corvex, the lab peer and the calls at real-time priority (SCHED_FIFO "
                        "10), so that other work on the machine does not stall them (the WAN link "
                        "always runs so)")
    args = p.parse_args(argv)
    if args.sip_phones:
        args.calls = 1
    if not 1 <= args.calls <= MAX_CALLS:
        p.error("--calls must be 1 to %d" % MAX_CALLS)
    if not 0.1 <= args.seconds <= 3600:
        p.error("--seconds must be 0.1 to 3600")
    if not 0 <= args.loss <= 100:
        p.error("--loss must be 0 to 100")
    for kv in args.set:
        if "=" not in kv or not kv.split("=", 1)[0]:
            p.error("--set wants KEY=VALUE, not %r" % kv)
    for name in ("wan_loss", "wan_reorder", "wan_duplicate"):
        value = getattr(args, name)
        if value is not None and not 0 <= value <= 100:
            p.error("--%s must be 0 to 100" % name.replace("_", "-"))
    if args.server_move_at is not None and args.server_down is not None:
        p.error("--server-move-at and --server-down: one at a time")
    if args.server_move_at is not None and args.server_move_at < 0:
        p.error("--server-move-at must not be negative")
    for name in ("wan_delay", "wan_jitter", "nat_rebind_at", "server_restart_at", "quiet_before"):
        value = getattr(args, name)
        if value is not None and value < 0:
            p.error("--%s must not be negative" % name.replace("_", "-"))
    for name in ("wan_rate", "nat_timeout", "rechallenge"):
        value = getattr(args, name)
        if value is not None and value <= 0:
            p.error("--%s must be above 0" % name.replace("_", "-"))
    if args.wan_burst is not None and args.wan_burst < 1:
        p.error("--wan-burst must be 1 or more")
    if args.capture:
        args.capture = os.path.abspath(args.capture)
    return args


def impaired(a):
    """Whether the run was asked to lose packets."""
    return bool(a.loss or a.wan_loss or a.wan_reorder or a.wan_duplicate or a.wan_rate
                or a.nat_rebind_at is not None or a.nat_timeout is not None
                or a.server_restart_at is not None or server_outage(a))


def main(argv=None):
    args = parse_args(argv)
    if os.geteuid() != 0:
        say("lab.py: run it as root: it creates network namespaces and TUN devices")
        return 1
    # Ctrl-C must tear the lab down even when started with SIGINT ignored
    # (as a background job of a script); SIGTERM and SIGHUP likewise.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, on_sigterm)
    signal.signal(signal.SIGHUP, on_sigterm)
    run = None
    status = 0
    try:
        ensure_packages(need_build=args.corvex is None, install=args.install,
                        extra=sipphones.PACKAGES if args.sip_phones else ())
        if args.sip_phones and sipphones.missing():
            raise RuntimeError("--sip-phones: %s" % sipphones.missing())
        binary = os.path.abspath(args.corvex) if args.corvex else ensure_binary(
            os.path.abspath(args.build_dir))
        command = shlex.split(args.runner) + [binary]
        run = LabRun(args, command)
        run.setup()
        if args.sip_phones:
            figures = run.run_sip_phones()
            say(sipphones.summary(figures))
        else:
            run.run_calls()
            figures = run.collect()
            say(summary(figures))
        if args.json:
            with open(args.json, "w") as fh:
                json.dump(figures, fh, indent=1, sort_keys=True)
        if not (figures["ok"] if args.sip_phones else clean(figures) or impaired(args)):
            status = 2
    except (KeyboardInterrupt, Interrupted):
        say("\n== interrupted")
        status = 130
    except (RuntimeError, AssertionError, OSError, subprocess.CalledProcessError) as exc:
        say("\nlab.py: %s" % exc)
        status = 1
    finally:
        problems = _quiet_teardown(run)
    for problem in problems:
        say("lab.py: %s" % problem)
    if problems and status == 0:
        status = 1
    if args.keep and run is not None:
        say("   logs and captures kept in %s" % run.workdir)
    return status


def _quiet_teardown(run):
    """Tear down with SIGINT, SIGTERM and SIGHUP held off, so that a second
    Ctrl-C does not leave half a lab behind."""
    if run is None or getattr(run, "torn_down", False):
        return []
    run.torn_down = True
    old_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
    old_term = signal.signal(signal.SIGTERM, signal.SIG_IGN)
    old_hup = signal.signal(signal.SIGHUP, signal.SIG_IGN)
    try:
        problems = run.teardown()
        if run.lab is not None:
            say("== lab torn down: namespaces %s-* removed" % run.lab.tag)
        return problems
    finally:
        signal.signal(signal.SIGINT, old_int)
        signal.signal(signal.SIGTERM, old_term)
        signal.signal(signal.SIGHUP, old_hup)


if __name__ == "__main__":
    sys.exit(main())
