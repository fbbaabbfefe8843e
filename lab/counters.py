"""The client's own counters, read from its status file (status_file, in the
Prometheus text exposition format), and set beside a harness's counts.

    import counters
    c = counters.request(pid, "/path/corvex.prom")     # SIGUSR1, then read
    findings = counters.compare(c, up_sent=..., up_received=...,
                                down_sent=..., down_received=...)

"up" is the LAN towards the server (the client's egress), "down" the server
towards the LAN (its ingress).  compare() splits each way's loss at the
client: what never reached it, what it dropped itself (by reason), and what
was lost after it, and names every place where the client's figures and the
harness's disagree.  Standard library only.

    python3 lab/counters.py FILE      prints the samples of a status file
"""
import os
import re
import signal
import sys
import time

_SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (-?[0-9.eE+]+|NaN|[+-]Inf)$')
_LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"')

RTP_KINDS = ("rtp_full", "rtp_short", "rtp_long")


class Counters:
    """The samples of one status file: {(name, ((label, value), ...)): number}."""

    def __init__(self, samples):
        self.samples = samples

    def get(self, name, **labels):
        """One sample, 0 when absent."""
        return self.samples.get((name, tuple(sorted(labels.items()))), 0)

    def total(self, name, **labels):
        """The sum of the samples of `name` whose labels include `labels`."""
        want = set(labels.items())
        return sum(v for (n, ls), v in self.samples.items() if n == name and want <= set(ls))

    def by(self, name, label, **labels):
        """{value of `label`: sample} over the samples matching `labels`."""
        want = set(labels.items())
        out = {}
        for (n, ls), v in self.samples.items():
            d = dict(ls)
            if n == name and want <= set(ls) and label in d:
                out[d[label]] = out.get(d[label], 0) + v
        return out

    def rtp_packets(self, direction):
        return sum(self.get("corvex_packets_total", direction=direction, kind=k) for k in RTP_KINDS)

    def drops(self, direction):
        """{reason: count} of the reasons that are not 0."""
        return {r: v for r, v in self.by("corvex_drops_total", "reason",
                                         direction=direction).items() if v}

    def saving_percent(self, direction):
        plain = self.get("corvex_unmultiplexed_bytes_total", direction=direction)
        wire = self.get("corvex_wire_bytes_total", direction=direction)
        return 100.0 * (plain - wire) / plain if plain else None


def parse(text):
    """Counters from the text of a status file; raises ValueError on a line
    that is neither a comment nor a sample."""
    samples = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        m = _SAMPLE.match(line)
        if not m:
            raise ValueError("line %d is not a sample: %r" % (number, line))
        labels = tuple(sorted(_LABEL.findall(m.group(2) or "")))
        value = float(m.group(3))
        samples[(m.group(1), labels)] = int(value) if value.is_integer() else value
    return Counters(samples)


def read(path):
    with open(path) as f:
        return parse(f.read())


def request(pid, path, timeout=5.0):
    """Asks the client (pid) for a fresh status file with SIGUSR1 and reads
    it once it has been replaced; None when no new file came in time."""
    def stamp():
        try:
            st = os.stat(path)
            return (st.st_ino, st.st_mtime_ns)
        except FileNotFoundError:
            return None
    before = stamp()
    os.kill(pid, signal.SIGUSR1)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        now = stamp()
        if now is not None and now != before:
            return read(path)
        time.sleep(0.02)
    return None


def _way(c, direction, sent, received):
    """One way's figures: the harness's and the client's."""
    at_client = c.rtp_packets(direction)
    drops = c.drops(direction)
    return {"sent": sent, "received": received, "lost": sent - received,
            "client_rtp_packets": at_client, "client_drops": drops,
            "client_drops_total": sum(drops.values())}


def compare(c, up_sent, up_received, down_sent, down_received):
    """The harness's counts beside the client's counters.  Returns
    {"up": {...}, "down": {...}, "findings": [text, ...]}; a finding names
    a place where a loss happened or where the two disagree."""
    up = _way(c, "egress", up_sent, up_received)
    down = _way(c, "ingress", down_sent, down_received)
    findings = []
    # Up: the client reads what the LAN sent (less what the kernel dropped on
    # the way to its TUN device), carries it or drops it, and what it carried
    # reaches the host unless the wire or the server loses it.
    read_up = up["client_rtp_packets"] + up["client_drops_total"]
    if read_up < up_sent:
        findings.append("up: %d packets sent on the LAN never reached the client (it read %d)"
                        % (up_sent - read_up, read_up))
    elif read_up > up_sent:
        findings.append("up: the client read %d packets more than the LAN sent (other traffic?)"
                        % (read_up - up_sent))
    if up["client_drops_total"]:
        findings.append("up: the client dropped %d: %s" % (
            up["client_drops_total"],
            ", ".join("%s %d" % kv for kv in sorted(up["client_drops"].items()))))
    if up["client_rtp_packets"] > up_received:
        findings.append("up: %d packets the client sent were lost beyond it (wire, server, host)"
                        % (up["client_rtp_packets"] - up_received))
    elif up["client_rtp_packets"] < up_received:
        findings.append("up: the host received %d packets more than the client sent"
                        % (up_received - up["client_rtp_packets"]))
    # Down: the client writes what the server's frames carry; the LAN
    # receives what the client wrote unless the kernel drops it.
    if down["client_rtp_packets"] < down_sent:
        findings.append("down: %d packets sent by the host never left the client (it wrote %d)"
                        % (down_sent - down["client_rtp_packets"], down["client_rtp_packets"]))
    if down["client_drops_total"]:
        findings.append("down: the client dropped %d: %s" % (
            down["client_drops_total"],
            ", ".join("%s %d" % kv for kv in sorted(down["client_drops"].items()))))
    if down["client_rtp_packets"] > down_received:
        findings.append("down: %d packets the client wrote to its TUN device never reached the LAN"
                        % (down["client_rtp_packets"] - down_received))
    elif down["client_rtp_packets"] < down_received:
        findings.append("down: the LAN received %d packets more than the client wrote"
                        % (down_received - down["client_rtp_packets"]))
    return {"up": up, "down": down, "findings": findings}


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1].strip())
        return 2
    c = read(argv[1])
    for (name, labels), value in sorted(c.samples.items()):
        print("%s%s %s" % (name, "{%s}" % ",".join('%s="%s"' % kv for kv in labels)
                           if labels else "", value))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
