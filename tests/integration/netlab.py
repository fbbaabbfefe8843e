"""Network-namespace lab for the integration tests.

Builds namespaces named per run, joins them with veth pairs, starts the
binary under test and the lab peer inside them, opens sockets inside them
(from this process, through setns on a short-lived thread) and tears it all
down again.  Readiness is always polled, never slept for.
"""
import ctypes
import itertools
import json
import os
import shlex
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAB_DIR = os.path.join(ROOT, "lab")
PEER_SCRIPT = os.path.join(LAB_DIR, "labpeer.py")
if LAB_DIR not in sys.path:
    sys.path.insert(0, LAB_DIR)

import controlsock  # noqa: E402  (the path is set just above)
import labpeer  # noqa: E402

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
_serial = itertools.count(1)

# Longer under ASan or qemu: everything is polled, so generous bounds cost
# nothing when things work.
SLOW = float(os.environ.get("CORVEX_TIME_SCALE", "1"))


def scaled(seconds):
    return seconds * SLOW


def wait_for(predicate, timeout, what, interval=0.01):
    """Poll predicate until it returns something true; fail after timeout."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (scaled(timeout), what))
        time.sleep(interval)


def run(cmd, check=True, **kw):
    result = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), result.returncode,
                                                    result.stderr.strip()))
    return result


# ---------------------------------------------------------------------------
# Namespaces
# ---------------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


class Netns:
    """One network namespace of this run."""

    def __init__(self, name):
        self.name = name
        run(["ip", "netns", "add", name])
        self.ip("link", "set", "lo", "up")

    def ip(self, *args, check=True):
        return run(["ip", "-n", self.name] + list(args), check=check)

    def exec_prefix(self):
        return ["ip", "netns", "exec", self.name]

    def sh(self, script, check=True):
        return run(self.exec_prefix() + ["sh", "-c", script], check=check)

    def sysctl(self, key, value):
        self.sh("echo %s > /proc/sys/%s" % (value, key.replace(".", "/")))

    def in_ns(self, fn):
        """Run fn() on a thread that has entered this namespace; sockets it
        creates stay in the namespace for their whole life."""
        box = {}

        def body():
            try:
                with open("/run/netns/" + self.name) as nsfile:
                    _setns(nsfile.fileno())
                box["value"] = fn()
            except BaseException as exc:   # handed to the caller below
                box["error"] = exc

        thread = threading.Thread(target=body)
        thread.start()
        thread.join()
        if "error" in box:
            raise box["error"]
        return box["value"]

    def socket(self, family=socket.AF_INET, kind=socket.SOCK_DGRAM, proto=0):
        return self.in_ns(lambda: socket.socket(family, kind, proto))

    def delete(self):
        run(["ip", "netns", "del", self.name], check=False)


class Lab:
    """Namespaces, processes and files of one test; close() undoes them all."""

    def __init__(self, workdir):
        self.tag = "cvx%d-%d" % (os.getpid(), next(_serial))
        self.workdir = str(workdir)
        self.namespaces = []
        self.processes = []
        self.sockets = []

    def netns(self, role):
        ns = Netns("%s-%s" % (self.tag, role))
        self.namespaces.append(ns)
        return ns

    def veth(self, ns_a, name_a, addr_a, ns_b, name_b, addr_b):
        """A veth pair created directly inside the two namespaces."""
        ns_a.ip("link", "add", name_a, "type", "veth", "peer", "name", name_b, "netns", ns_b.name)
        for ns, name, addr in ((ns_a, name_a, addr_a), (ns_b, name_b, addr_b)):
            ns.sysctl("net.ipv6.conf.%s.disable_ipv6" % name, 1)
            if addr:
                ns.ip("addr", "add", addr, "dev", name)
            ns.ip("link", "set", name, "up")

    def socket(self, ns, family=socket.AF_INET, kind=socket.SOCK_DGRAM, proto=0):
        sock = ns.socket(family, kind, proto)
        self.sockets.append(sock)
        return sock

    def path(self, name):
        return os.path.join(self.workdir, name)

    def close(self):
        problems = []
        for proc in reversed(self.processes):
            try:
                proc.stop()
            except AssertionError as exc:
                problems.append(str(exc))
        self.processes = []
        for sock in self.sockets:
            sock.close()
        self.sockets = []
        for ns in reversed(self.namespaces):
            ns.delete()
        self.namespaces = []
        if problems:
            raise AssertionError("\n".join(problems))


# ---------------------------------------------------------------------------
# The binary under test
# ---------------------------------------------------------------------------

def write_config(path, items):
    """items: (key, value) pairs in file order; a value of None leaves the
    key out."""
    with open(path, "w") as f:
        for key, value in items:
            if value is not None:
                f.write("%s=%s\n" % (key, value))
    return path


def write_script(path, body):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    return path


SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


class Corvex:
    """The client, started in a namespace with -v and a configuration file;
    its standard output (the log) goes to a file."""

    def __init__(self, lab, ns, command, config_items, name="corvex", verbose=True,
                 allow_leaks=False):
        self.lab = lab
        self.allow_leaks = allow_leaks
        self.config = write_config(lab.path(name + ".conf"), config_items)
        self.log_path = lab.path(name + ".log")
        argv = list(command) + (["-v"] if verbose else []) + ["-c", self.config]
        self.log_file = open(self.log_path, "w")
        self.started = time.monotonic()
        self.proc = subprocess.Popen(ns.exec_prefix() + argv, stdout=self.log_file,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        lab.processes.append(self)

    @property
    def pid(self):
        return self.proc.pid

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def alive(self):
        return self.proc.poll() is None

    def signal(self, signum):
        self.proc.send_signal(signum)

    def wait(self, timeout=10):
        try:
            return self.proc.wait(timeout=scaled(timeout))
        except subprocess.TimeoutExpired:
            raise AssertionError("corvex did not exit within %.1f s; log:\n%s"
                                 % (scaled(timeout), self.log()))

    def cpu_seconds(self):
        """User plus system CPU time used so far."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])
        return ticks / os.sysconf("SC_CLK_TCK")

    def stop(self):
        """Stop the client if it still runs; complain (after cleaning up) if
        it did not end with status 255 on SIGTERM or if its log holds a
        sanitizer report."""
        problem = None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                status = self.proc.wait(timeout=scaled(10))
                if status != 255:
                    problem = "exit status %d after SIGTERM" % status
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                problem = "no exit within %.0f s of SIGTERM" % scaled(10)
        if not self.log_file.closed:
            self.log_file.close()
        log = self.log()
        for mark in SANITIZER_MARKS:
            if mark in log and not (self.allow_leaks and mark == "ERROR: LeakSanitizer"):
                problem = "sanitizer report in the log"
        if problem:
            raise AssertionError("corvex: %s; log:\n%s" % (problem, log[-4000:]))


def vm_rss_kib(pid):
    """Resident memory of a process in KiB (VmRSS of /proc/PID/status)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for pid %d" % pid)


def udp_socket_drops(ns, port):
    """Datagrams the kernel dropped at the IPv4 UDP socket bound to `port` in
    the namespace (its receive queue was full), or None if there is none."""
    table = ns.sh("cat /proc/net/udp").stdout.splitlines()[1:]
    for line in table:
        fields = line.split()
        if int(fields[1].split(":")[1], 16) == port:
            return int(fields[-1])
    return None


# ---------------------------------------------------------------------------
# The lab peer
# ---------------------------------------------------------------------------

def _journal_entry_bytes(entry):
    return bytes.fromhex(entry["hex"]) if "hex" in entry else b""


class Peer(controlsock.ControlledProcess):
    """The lab peer run in a namespace, with its journal mirrored here."""

    def __init__(self, lab, ns, listen, name="peer", alts=(), **options):
        self.lab = lab
        self.ns = ns
        self.control_path = lab.path(name + ".ctl")
        self.output_path = lab.path(name + ".err")
        argv = [PYTHON, PEER_SCRIPT, "--listen", listen, "--control", self.control_path]
        for alt in alts:
            argv += ["--alt", alt]
        argv += controlsock.option_args(options)
        self.output_file = open(self.output_path, "w")
        self.proc = subprocess.Popen(ns.exec_prefix() + argv, stdout=subprocess.DEVNULL,
                                     stderr=self.output_file, stdin=subprocess.DEVNULL)
        lab.processes.append(self)
        self.client = None
        self.entries = []
        wait_for(self._connect, 15, "the lab peer's control socket")
        self.info = self.client.call("ping")

    def died(self, returncode, output):
        return AssertionError("lab peer exited with %d: %s" % (returncode, output))

    def journal(self):
        """Every entry so far (fetched incrementally)."""
        fresh = self.call("journal", since=len(self.entries))["entries"]
        self.entries.extend(fresh)
        return self.entries

    def mark(self):
        """The journal position now, for "from here on" waits."""
        return len(self.journal())

    def received(self, since=0, via="main"):
        """(time, bytes, source) of each datagram received."""
        return [(e["t"], _journal_entry_bytes(e), e["src"]) for e in self.journal()[since:]
                if e["kind"] == "rx" and e["via"] == via]

    def sent(self, since=0, what=None):
        return [(e["t"], _journal_entry_bytes(e)) for e in self.journal()[since:]
                if e["kind"] == "tx" and (what is None or e["what"] == what)]

    def events(self, since=0, ev=None):
        return [e for e in self.journal()[since:]
                if e["kind"] == "ev" and (ev is None or e["ev"] == ev)]

    def wait_received(self, count, since=0, timeout=10, what="datagrams", match=None):
        """Wait for `count` datagrams (those for which match(bytes) holds)."""
        def got():
            items = [r for r in self.received(since) if match is None or match(r[1])]
            return items if len(items) >= count else None
        return wait_for(got, timeout, "%d %s at the peer" % (count, what), interval=0.02)

    def wait_events(self, count, ev, since=0, timeout=10, match=None):
        def got():
            items = [e for e in self.events(since, ev) if match is None or match(e)]
            return items if len(items) >= count else None
        return wait_for(got, timeout, "%d %r events at the peer" % (count, ev), interval=0.02)


def is_control(keyword):
    return lambda data: labpeer.control_keyword(data) == keyword


# ---------------------------------------------------------------------------
# Packets for the end-to-end tests
# ---------------------------------------------------------------------------

def rtp_datagram(payload_type, seq, timestamp, ssrc, payload):
    """An RTP packet as the UDP payload a phone sends (version 2)."""
    return struct.pack("!BBHII", 0x80, payload_type & 0x7F, seq & 0xFFFF,
                       timestamp & 0xFFFFFFFF, ssrc) + payload


def ipv4_header_checksum_ok(header):
    """Independent RFC 1071 check: the ones' complement sum of the ten words,
    the checksum included, must be 0xFFFF."""
    total = 0
    for i in range(0, 20, 2):
        total += (header[i] << 8) | header[i + 1]
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total == 0xFFFF


class UdpSink:
    """A bound UDP socket (so no port-unreachable goes back) and a raw socket
    that sees each arriving UDP packet with its IPv4 header."""

    def __init__(self, lab, ns, addr, port, bind=True):
        self.addr = addr
        self.port = port
        self.udp = None
        if bind:
            self.udp = lab.socket(ns)
            self.udp.bind((addr, port))
            self.udp.setblocking(False)
        self.raw = lab.socket(ns, socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP)
        self.raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.raw.setblocking(False)
        self.packets = []

    def drain(self):
        while True:
            try:
                packet = self.raw.recv(65536)
            except BlockingIOError:
                break
            if len(packet) >= 28 and struct.unpack_from("!H", packet, 22)[0] == self.port \
                    and socket.inet_ntoa(packet[16:20]) == self.addr:
                self.packets.append(packet)
        while self.udp is not None:
            try:
                self.udp.recv(65536)
            except BlockingIOError:
                break
        return self.packets

    def wait(self, count, timeout=10, what="packets", match=None):
        def got():
            items = [p for p in self.drain() if match is None or match(p)]
            return items if len(items) >= count else None
        return wait_for(got, timeout, "%d %s at %s:%d" % (count, what, self.addr, self.port),
                        interval=0.01)


class MediaLab:
    """LAN host -- client (corvex, TUN) -- server (lab peer, TUN) -- host.

    Addresses:
      LAN host 10.203.1.2/24, gateway 10.203.1.1 (client namespace)
      client 10.203.2.1/24 -- server 10.203.2.2/24, peer on port 42000
      server 10.203.3.1/24 -- host 10.203.3.2/24 (gateway 10.203.3.1)
    The client's up script brings its TUN up and routes 10.203.3.0/24 into
    it; the server namespace routes 10.203.1.0/24 into the peer's TUN.
    """

    LAN = "10.203.1.2"
    LAN_GW = "10.203.1.1"
    CLIENT_WAN = "10.203.2.1"
    SERVER = "10.203.2.2"
    SERVER_LAN = "10.203.3.1"
    HOST = "10.203.3.2"
    PORT = 42000
    CLIENT_TUN = "cvxc0"
    PEER_TUN = "cvxs0"

    def __init__(self, workdir):
        self.lab = Lab(workdir)
        try:
            self._build()
        except BaseException:
            self.lab.close()
            raise

    def _build(self):
        lab = self.lab
        self.lan = lab.netns("lan")
        self.cli = lab.netns("cli")
        self.srv = lab.netns("srv")
        self.host = lab.netns("host")
        for ns in (self.lan, self.cli, self.srv, self.host):
            ns.sysctl("net.ipv6.conf.all.disable_ipv6", 1)
            ns.sysctl("net.ipv6.conf.default.disable_ipv6", 1)
            ns.sysctl("net.ipv4.conf.all.rp_filter", 0)
            ns.sysctl("net.ipv4.conf.default.rp_filter", 0)
        lab.veth(self.lan, "eth0", self.LAN + "/24", self.cli, "lan0", self.LAN_GW + "/24")
        lab.veth(self.cli, "wan0", self.CLIENT_WAN + "/24", self.srv, "wan0", self.SERVER + "/24")
        lab.veth(self.srv, "lan0", self.SERVER_LAN + "/24", self.host, "eth0", self.HOST + "/24")
        self.lan.ip("route", "add", "default", "via", self.LAN_GW)
        self.host.ip("route", "add", "default", "via", self.SERVER_LAN)
        for ns in (self.cli, self.srv):
            ns.sysctl("net.ipv4.ip_forward", 1)
        self.up_marker = lab.path("up.done")
        self.down_marker = lab.path("down.done")
        write_script(lab.path("up.sh"), (
            'ip link set "$intf" up\n'
            'echo 1 > /proc/sys/net/ipv6/conf/"$intf"/disable_ipv6\n'
            'echo 0 > /proc/sys/net/ipv4/conf/"$intf"/rp_filter\n'
            'ip addr add 10.203.9.1/32 dev "$intf"\n'
            'ip route add 10.203.3.0/24 dev "$intf"\n'
            'echo up > %s\n' % shlex.quote(self.up_marker)))
        write_script(lab.path("down.sh"), "echo down > %s\n" % shlex.quote(self.down_marker))
        self.peer = None
        self.corvex = None

    def start(self, command, password="secret", client_items=(), peer_options=None):
        """Start the peer (with its TUN routed) and the client; return once
        the client has registered and run its up script."""
        self.start_peer(password, peer_options)
        return self.start_client(command, password, client_items)

    def start_peer(self, password="secret", peer_options=None):
        """Start a lab peer on the server's address, with its TUN device up
        and the LAN routed into it."""
        self.starts = getattr(self, "starts", 0) + 1
        options = {"tun": self.PEER_TUN, "allow_ping": True}
        options.update(peer_options or {})
        if password is not None:
            options["password"] = password
        self.peer = Peer(self.lab, self.srv, "%s:%d" % (self.SERVER, self.PORT),
                         name="peer%d" % self.starts, **options)
        tun = self.PEER_TUN
        self.srv.sysctl("net.ipv6.conf.%s.disable_ipv6" % tun, 1)
        self.srv.sysctl("net.ipv4.conf.%s.rp_filter" % tun, 0)
        self.srv.ip("link", "set", tun, "up")
        self.srv.ip("route", "add", "10.203.1.0/24", "dev", tun)
        return self.peer

    def stop_peer(self):
        """Stop the peer alone (its TUN device and route go with it); the
        client runs on."""
        if self.peer is not None:
            self.lab.processes.remove(self.peer)
            self.peer.stop()
            self.peer = None

    def start_client(self, command, password="secret", client_items=(), wait_up=True):
        """Start the client; with wait_up, return once it has run its up
        script (so it has registered)."""
        self.starts = getattr(self, "starts", 0) + 1
        items = [("server", self.SERVER), ("port", self.PORT), ("intf", self.CLIENT_TUN),
                 ("password", password), ("up", self.lab.path("up.sh")),
                 ("down", self.lab.path("down.sh"))]
        items += list(client_items)
        self.corvex = Corvex(self.lab, self.cli, command, items, name="corvex%d" % self.starts)
        if wait_up:
            self.wait_up()
        return self.corvex

    def wait_up(self, timeout=20):
        wait_for(lambda: os.path.exists(self.up_marker) or not self.corvex.alive(), timeout,
                 "the client's up script")
        if not self.corvex.alive():
            raise AssertionError("corvex exited with %s:\n%s"
                                 % (self.corvex.proc.returncode, self.corvex.log()))
        return self.corvex

    def stop(self):
        """Stop the client and the peer (their TUN devices and routes go
        with them); the namespaces stay for the next start."""
        problems = []
        for proc in (self.corvex, self.peer):
            if proc is not None:
                self.lab.processes.remove(proc)
                try:
                    proc.stop()
                except AssertionError as exc:
                    problems.append(str(exc))
        self.corvex = self.peer = None
        for sock in self.lab.sockets:
            sock.close()
        self.lab.sockets = []
        for path in (self.up_marker, self.down_marker):
            if os.path.exists(path):
                os.unlink(path)
        if problems:
            raise AssertionError("\n".join(problems))

    def close(self):
        self.lab.close()


class RegLab:
    """One namespace with loopback only, for the registration and loop tests:
    the peer on 127.0.0.1:42000 (second sockets on 127.0.0.2:42000, another
    address, and 127.0.0.1:42001, another port) and the client.  The up and
    down scripts append "up" / "down" to one file, so their order shows."""

    SERVER = "127.0.0.1"
    PORT = 42000
    ALTS = ("127.0.0.2:42000", "127.0.0.1:42001")

    def __init__(self, lab, command):
        self.lab = lab
        self.command = command
        self.ns = lab.netns("reg")
        self.events_path = lab.path("script.events")
        self.up_script = write_script(lab.path("up.sh"),
                                      "echo up >> %s\n" % shlex.quote(self.events_path))
        self.down_script = write_script(lab.path("down.sh"),
                                        "echo down >> %s\n" % shlex.quote(self.events_path))
        self.peer = None

    def start_peer(self, listen=None, **options):
        options.setdefault("password", "secret")
        listen = listen or "%s:%d" % (self.SERVER, self.PORT)
        self.peer = Peer(self.lab, self.ns, listen, alts=self.ALTS, **options)
        return self.peer

    def start_client(self, items=(), password="secret", name="corvex", scripts=True,
                     allow_leaks=False, server=None):
        config = [("server", server or self.SERVER), ("port", self.PORT), ("password", password)]
        if scripts:
            config += [("up", self.up_script), ("down", self.down_script)]
        config += list(items)
        return Corvex(self.lab, self.ns, self.command, config, name=name,
                      allow_leaks=allow_leaks)

    def script_events(self):
        try:
            with open(self.events_path) as f:
                return f.read().split()
        except FileNotFoundError:
            return []

    def wait_up(self, client, timeout=10):
        def up():
            if not client.alive():
                raise AssertionError("corvex exited with %s before its up script:\n%s"
                                     % (client.proc.returncode, client.log()))
            return "up" in self.script_events()
        wait_for(up, timeout, "the up script")

    def wait_loop(self):
        """Prove that the client is past its up script and in its loop: a
        challenge sent now is answered with a DIGEST.  (While a script runs
        the client ignores SIGINT, so a test that signals waits for this.)"""
        mark = self.peer.mark()
        self.peer.call("challenge")
        self.peer.wait_received(1, since=mark, what="a DIGEST from the loop",
                                match=is_control(labpeer.DIGEST))
        self.peer.call("authorize")
