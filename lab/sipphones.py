"""Real SIP phones in the lab (lab.py --sip-phones): two pairs of Debian's
baresip in one call each, side by side, one pair through the tunnel and one
on the direct path around it, measured from captures at the phones.

    phones ns  eth0 10.77.1.10  -- router (corvex) == tunnel == server --  eth0 10.77.3.2  host ns
               eth1 10.77.6.10  -- router ------------ WAN --- server --  eth1 10.77.5.2

Each phone runs headless: no audio device, the aufile source reads a WAV
file of quiet noise (so that every 20-ms payload differs) and the aubridge
player takes what arrives.  The callers dial with `-e /dial`, the callees
answer by themselves, and the callers hang up after the call's seconds.
G.711 (PCMU), 20-ms packets.

tshark captures every UDP packet but SIP on the phones' two interfaces in
both namespaces.  A packet's departure is its capture time on the sender's
interface, its arrival the capture time on the receiver's; the two are
matched by SSRC and payload (the tunnel rebuilds the headers from templates
but carries the payload as it is).  From arrivals, departures and RTP
timestamps lab/quality.py computes what the phones see: one-way delay,
RFC 3550 jitter and the longest gap, per direction and path.
"""

import os
import random
import shutil
import signal
import struct
import subprocess
import time
import wave

import quality
from rtpgen import DOWN, UP

PACKAGES = ["baresip-core"]
MODULES = "/usr/lib/baresip/modules"
SIP_PORT = 5060

# path -> (phone address, phone interface, host address, host interface)
PATHS = {"tunnel": ("10.77.1.10", "eth0", "10.77.3.2", "eth0"),
         "direct": ("10.77.6.10", "eth1", "10.77.5.2", "eth1")}
RTP_PORTS = {("tunnel", "phone"): 20000, ("tunnel", "host"): 30000,
             ("direct", "phone"): 21000, ("direct", "host"): 31000}


def missing():
    """What keeps the phones from running here, or None."""
    if shutil.which("baresip") is None:
        return "baresip is not installed (Debian package baresip-core)"
    for module in ("g711.so", "aufile.so", "aubridge.so", "menu.so", "account.so"):
        if not os.path.exists(os.path.join(MODULES, module)):
            return "baresip has no %s in %s" % (module, MODULES)
    if shutil.which("tshark") is None:
        return "tshark is not installed"
    return None


NOISE_BLOCK = 80001     # samples; prime to the 160 of a packet


def write_noise_wav(path, seconds, seed=1):
    """8 kHz mono 16-bit noise at about -30 dBFS: a block of 80001 samples
    over and over, so that a 20-ms payload comes again only after 80001
    packets (1600 s)."""
    rng = random.Random(seed)
    block = struct.pack("<%dh" % NOISE_BLOCK, *(rng.randint(-1000, 1000)
                                                for _ in range(NOISE_BLOCK)))
    samples = int(8000 * seconds)
    data = block * (samples // NOISE_BLOCK + 1)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(data[:2 * samples])


def write_phone(directory, name, addr, rtp_port, wav):
    """A baresip configuration directory for one phone."""
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "config"), "w") as f:
        f.write("poll_method\tepoll\n"
                "sip_listen\t%s:%d\n"
                "audio_player\taubridge,%s\n"
                "audio_source\taufile,%s\n"
                "audio_alert\taubridge,%s\n"
                "audio_srate\t8000\n"
                "audio_channels\t1\n"
                "rtp_ports\t%d-%d\n"
                "module_path\t%s\n"
                "module\tg711.so\nmodule\taubridge.so\nmodule\taufile.so\n"
                "module_app\taccount.so\nmodule_app\tmenu.so\n"
                % (addr, SIP_PORT, name, wav, name, rtp_port, rtp_port + 9, MODULES))
    with open(os.path.join(directory, "accounts"), "w") as f:
        f.write("<sip:%s@%s>;regint=0;answermode=auto;audio_codecs=PCMU\n" % (name, addr))


def capture_fields(pcap):
    """(time, src, dst, ssrc, timestamp, payload) of every PCMU RTP packet
    in a capture, in capture order."""
    r = subprocess.run(["tshark", "-r", pcap, "-n", "-o", "rtp.heuristic_rtp:TRUE",
                        "-Y", "rtp.version == 2 && rtp.p_type == 0", "-T", "fields",
                        "-e", "frame.time_epoch", "-e", "ip.src", "-e", "ip.dst", "-e", "rtp.ssrc",
                        "-e", "rtp.timestamp", "-e", "rtp.payload"],
                       capture_output=True, text=True)
    out = []
    for line in r.stdout.splitlines():
        parts = line.split("\t")
        if len(parts) == 6 and all(parts):
            out.append((float(parts[0]), parts[1], parts[2], int(parts[3], 16), int(parts[4]),
                        parts[5]))
    return out


def path_quality(sender_rows, receiver_rows, src, dst):
    """The figures of one direction of one path: departures on the
    sender's side, arrivals on the receiver's."""
    sent = {(r[3], r[5]): r[0] for r in sender_rows if r[1] == src and r[2] == dst}
    received = [((r[3], r[5]), r[0], r[4]) for r in receiver_rows if r[1] == src and r[2] == dst]
    packets = quality.match_departures(sent, received)
    streams = {}
    for (key, _, _), p in zip(received, packets):
        streams.setdefault(key[0], []).append(p)
    q = quality.summarize([quality.stream_quality(s) for s in streams.values()])
    q["sent"] = len(sent)
    q["received"] = len(received)
    q["unmatched"] = sum(1 for p in packets if p[1] is None)
    return q


class Phone:
    """One baresip process in a namespace, its output in a file."""

    def __init__(self, ns, directory, args, log_path):
        self.log_path = log_path
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(ns.exec_prefix() + ["baresip", "-f", directory] + args,
                                     stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)

    def output(self):
        with open(self.log_path, errors="replace") as f:
            return f.read().replace("\r", "\n")

    def running(self):
        return self.proc.poll() is None

    def stop(self, timeout=5.0):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if not self.log.closed:
            self.log.close()
        return self.proc.returncode


def run_call(run, seconds, say, realtime=False, tool=None, wait_for=None, set_realtime=None):
    """Bring up the phones in the lab `run` (a set-up lab.LabRun), hold both
    calls for `seconds` and measure them.  Returns the figures."""
    lab = run.lab
    hosts = {"phone": run.phones, "host": run.host}
    wav = lab.path("noise.wav")
    write_noise_wav(wav, seconds + 30)

    captures = {}
    for side, ns in hosts.items():
        pcap = lab.path("phones-%s.pcapng" % side)
        t = tool(ns, ["tshark", "-n", "-p", "-i", "eth0", "-i", "eth1", "-f",
                      "udp and not port %d" % SIP_PORT, "-w", pcap],
                 lab.path("tshark-phones-%s.log" % side), stop_signal=signal.SIGINT)
        run.tools.append(t)
        captures[side] = (t, pcap)
    for t, _ in captures.values():
        wait_for(lambda: "Capture started" in t.output() or not t.running(), 10,
                 "tshark to start capturing")
        if not t.running():
            raise RuntimeError("tshark did not start: %s" % t.output().strip()[-300:])

    phones = []
    callees = {}
    for path, (phone_addr, phone_if, host_addr, host_if) in PATHS.items():
        d = lab.path("baresip-%s-host" % path)
        write_phone(d, "host", host_addr, RTP_PORTS[(path, "host")], wav)
        callees[path] = Phone(run.host, d, ["-n", host_if], lab.path("baresip-%s-host.log" % path))
        phones.append(callees[path])
        run.tools.append(callees[path])
    time.sleep(1.0)
    callers = {}
    for path, (phone_addr, phone_if, host_addr, host_if) in PATHS.items():
        d = lab.path("baresip-%s-phone" % path)
        write_phone(d, "phone", phone_addr, RTP_PORTS[(path, "phone")], wav)
        callers[path] = Phone(run.phones, d, ["-n", phone_if, "-e", "/dial sip:host@%s" % host_addr,
                                              "-t", "%d" % int(round(seconds + 2))],
                              lab.path("baresip-%s-phone.log" % path))
        phones.append(callers[path])
        run.tools.append(callers[path])
    if realtime and set_realtime is not None:
        for p in phones:
            set_realtime(p.proc.pid)
    say("== SIP phones: baresip calls sip:host@%s through the tunnel and sip:host@%s on the "
        "direct path, %g s" % (PATHS["tunnel"][2], PATHS["direct"][2], seconds))
    deadline = time.monotonic() + seconds + 20
    while any(c.running() for c in callers.values()) and time.monotonic() < deadline:
        time.sleep(0.2)
    time.sleep(1.0)                # the BYE and the last packets in flight
    logs = {}
    for path in PATHS:
        for role, p in (("phone", callers[path]), ("host", callees[path])):
            p.stop()
            logs["%s %s" % (path, role)] = p.output()
    for t, _ in captures.values():
        t.stop()

    rows = {side: capture_fields(pcap) for side, (_, pcap) in captures.items()}
    f = {"seconds": seconds, "paths": {}, "established": {}}
    for path, (phone_addr, _, host_addr, _) in PATHS.items():
        f["paths"][path] = {
            UP: path_quality(rows["phone"], rows["host"], phone_addr, host_addr),
            DOWN: path_quality(rows["host"], rows["phone"], host_addr, phone_addr)}
        f["established"][path] = all("Call established" in logs["%s %s" % (path, r)]
                                     for r in ("phone", "host"))
    for d in (UP, DOWN):
        t = f["paths"]["tunnel"][d]
        t.update(quality.added(t, f["paths"]["direct"][d]))
    f["log_tails"] = {k: v.strip().splitlines()[-5:] for k, v in logs.items()}
    return f


def summary(f):
    lines = ["", "== summary", "SIP phones (baresip, G.711, 20 ms): one call through the tunnel, "
             "one on the direct path, %g s" % f["seconds"], ""]

    def row(label, a, b):
        lines.append("  %-38s %20s %20s" % (label, a, b))

    def ms(*values):
        return " / ".join("-" if v is None else "%.1f" % v for v in values)

    row("", "phones -> host", "host -> phones")
    for path in ("tunnel", "direct"):
        q = f["paths"][path]
        if not f["established"][path]:
            row("%s: call NOT established" % path, "", "")
        row("%s: RTP sent / received" % path, "%d / %d" % (q[UP]["sent"], q[UP]["received"]),
            "%d / %d" % (q[DOWN]["sent"], q[DOWN]["received"]))
        row("  one-way delay mean / p99 / max (ms)",
            ms(q[UP]["delay_mean_ms"], q[UP]["delay_p99_ms"], q[UP]["delay_max_ms"]),
            ms(q[DOWN]["delay_mean_ms"], q[DOWN]["delay_p99_ms"], q[DOWN]["delay_max_ms"]))
        row("  jitter RFC 3550 mean / max (ms)", ms(q[UP]["jitter_mean_ms"], q[UP]["jitter_max_ms"]),
            ms(q[DOWN]["jitter_mean_ms"], q[DOWN]["jitter_max_ms"]))
        row("  longest gap between arrivals (ms)", ms(q[UP]["gap_max_ms"]), ms(q[DOWN]["gap_max_ms"]))
    t = f["paths"]["tunnel"]
    row("added by the tunnel, mean / p99 (ms)", ms(t[UP]["added_mean_ms"], t[UP]["added_p99_ms"]),
        ms(t[DOWN]["added_mean_ms"], t[DOWN]["added_p99_ms"]))
    if "saving_percent" in f:
        row("saving (frames vs plain RTP bytes)", "%.1f%%" % f["saving_percent"][UP],
            "%.1f%%" % f["saving_percent"][DOWN])
    lines.append("")
    lines.append("  delay: capture time at the receiving phone's interface minus that at the sending "
                 "phone's; jitter from arrival times and RTP timestamps (ms; x8 for RTP units)")
    ok = all(f["established"].values()) and all(
        f["paths"][p][d]["received"] > 0 for p in PATHS for d in (UP, DOWN))
    lines.append("")
    lines.append("  " + ("OK: both calls carried media both ways" if ok
                         else "NOT OK: a call did not carry media both ways (logs above the summary)"))
    if not ok:
        for k, tail in f["log_tails"].items():
            lines.append("    baresip %s: %s" % (k, " | ".join(tail)))
    f["ok"] = ok
    return "\n".join(lines)
