#!/usr/bin/env python3
"""WAN link: a user-space wire between two network namespaces that behaves
like a wide-area path.

The link opens a TUN device in each of two namespaces (side A, the client's
router, and side B, the server) and copies the IP packets one device
reads onto the other, so that addresses stay real end to end.  On the way
each direction alike suffers, in this order:

  NAT          optional, A to B only: UDP source ports are rewritten to
               ports of the link's own, answers are mapped back; a mapping
               dies on `rebind` or after `nat_timeout` seconds without a
               packet from A, and a packet for a dead mapping is dropped
  loss         random (each packet lost with probability `loss`) or bursty:
               a two-state Gilbert-Elliott model with the same mean loss
               and a mean burst length of `burst` packets
  rate cap     `rate` kbit/s; a packet waits for the ones ahead of it and is
               dropped when more than `queue` seconds of them are queued
  delay        `delay` seconds plus a jitter drawn evenly from
               [-jitter, +jitter]; packets keep their order (a path's queue
               does not reorder), only `reorder` does that
  reordering   with probability `reorder` a packet is held back and let go
               right after the next one
  duplication  with probability `duplicate` a packet arrives twice

It counts per direction what came in, went out, was dropped (and why),
duplicated, reordered and delayed; of the tunnel's datagrams (UDP to or from
`port`) it tells frames, control messages by keyword, recovery requests and
non-RTP messages apart, and for each dropped frame counts the packets it
carried (the frame is walked with the tunnel's password).  It can write
what crosses it to a pcap file (raw IPv4, link type 101) as side A sees it:
A's packets as A sent them, B's as they reach A.

Commands come over a Unix stream socket, one JSON object per line (the lab
peer's PeerClient speaks it): ping, stats, rebind, set, quit.  Python 3
standard library only; run `wanlink.py --help` for the command line.
"""

import argparse
import ctypes
import heapq
import os
import random
import select
import signal
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import controlsock  # noqa: E402
import labpeer  # noqa: E402

UP, DOWN = "up", "down"            # A to B, B to A
MAX_PACKET = 65536


# ---------------------------------------------------------------------------
# Loss model
# ---------------------------------------------------------------------------

class GilbertElliott:
    """Two-state loss model.  In the good state a packet is lost with
    probability `loss_good`, in the bad state with `loss_bad`; after each
    packet the state changes from good to bad with probability `p_gb` and
    from bad to good with `p_bg`.

    from_mean(loss, burst) gives the usual lab model: nothing lost in the
    good state, everything in the bad one, a mean loss of `loss` and bursts
    of `burst` packets on average (p_bg = 1 / burst).  Without a burst
    length (or 1 or less) every packet is lost on its own with probability
    `loss`."""

    def __init__(self, rng, p_gb=0.0, p_bg=1.0, loss_good=0.0, loss_bad=1.0, bernoulli=None):
        self.rng = rng
        self.p_gb, self.p_bg = p_gb, p_bg
        self.loss_good, self.loss_bad = loss_good, loss_bad
        self.bernoulli = bernoulli
        self.bad = False

    @classmethod
    def from_mean(cls, rng, loss, burst=None):
        if loss <= 0:
            return cls(rng, bernoulli=0.0)
        if burst is None or burst <= 1 or loss >= 1:
            return cls(rng, bernoulli=min(1.0, loss))
        p_bg = 1.0 / burst
        p_gb = min(1.0, loss * p_bg / (1.0 - loss))
        return cls(rng, p_gb=p_gb, p_bg=p_bg)

    def lose(self):
        """Whether the next packet is lost."""
        if self.bernoulli is not None:
            return self.bernoulli > 0 and self.rng.random() < self.bernoulli
        lost = self.rng.random() < (self.loss_bad if self.bad else self.loss_good)
        if self.bad:
            self.bad = self.rng.random() >= self.p_bg
        else:
            self.bad = self.rng.random() < self.p_gb
        return lost


# ---------------------------------------------------------------------------
# Packets
# ---------------------------------------------------------------------------

def checksum_adjust(checksum, old16, new16):
    """A 16-bit ones' complement checksum after one covered 16-bit word
    changed from old16 to new16 (RFC 1624, eqn. 3)."""
    total = (~checksum & 0xFFFF) + (~old16 & 0xFFFF) + new16
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def udp_ports(packet):
    """(header length, source port, destination port) of an IPv4 UDP
    packet, or None."""
    if len(packet) < 20 or packet[0] >> 4 != 4 or packet[9] != 17:
        return None
    ihl = (packet[0] & 0x0F) * 4
    if len(packet) < ihl + 8:
        return None
    sport, dport = struct.unpack_from("!HH", packet, ihl)
    return ihl, sport, dport


def set_udp_port(packet, offset, port):
    """Rewrite the UDP port at `offset` (ihl or ihl + 2) of a bytearray,
    keeping the UDP checksum right (a zero checksum means none and stays)."""
    ihl = (packet[0] & 0x0F) * 4
    old = struct.unpack_from("!H", packet, offset)[0]
    struct.pack_into("!H", packet, offset, port)
    checksum = struct.unpack_from("!H", packet, ihl + 6)[0]
    if checksum:
        checksum = checksum_adjust(checksum, old, port) or 0xFFFF
        struct.pack_into("!H", packet, ihl + 6, checksum)


def tunnel_kind(payload):
    """What a tunnel datagram is, by its first two bytes; control messages
    by keyword ("control:REQUEST")."""
    kind = labpeer.classify(payload)
    if kind == "control":
        keyword = labpeer.control_keyword(payload)
        return "control:" + (keyword.decode() if keyword else "?")
    return kind


class Nat:
    """Port-rewriting NAT for UDP from side A: (A address, A port) gets an
    outside port of the link's own; B's answers to that port go back."""

    FIRST_PORT, LAST_PORT = 61000, 64999

    def __init__(self, timeout=None):
        self.timeout = timeout
        self.inside = {}           # (address, port) -> [outside port, last packet from A]
        self.outside = {}          # outside port -> (address, port)
        self.next_port = self.FIRST_PORT
        self.rebinds = 0
        self.expired = 0
        self.mappings_made = 0

    def expire(self, now):
        if self.timeout is None:
            return
        for key, (port, last) in list(self.inside.items()):
            if now - last > self.timeout:
                del self.inside[key]
                self.outside.pop(port, None)
                self.expired += 1

    def rebind(self):
        """Forget every mapping: A's next packet leaves from a new port."""
        self.inside.clear()
        self.outside.clear()
        self.rebinds += 1

    def outbound(self, packet, now):
        """Rewrite a packet from A in place; returns it."""
        ports = udp_ports(packet)
        if ports is None:
            return packet
        ihl, sport, _ = ports
        self.expire(now)
        key = (bytes(packet[12:16]), sport)
        entry = self.inside.get(key)
        if entry is None:
            port = self.next_port
            self.next_port = port + 1 if port < self.LAST_PORT else self.FIRST_PORT
            entry = self.inside[key] = [port, now]
            self.outside[port] = key
            self.mappings_made += 1
        entry[1] = now
        set_udp_port(packet, ihl, entry[0])
        return packet

    def inbound(self, packet, now):
        """Map a packet from B back in place; None when no mapping holds it."""
        ports = udp_ports(packet)
        if ports is None:
            return packet
        ihl, _, dport = ports
        self.expire(now)
        key = self.outside.get(dport)
        if key is None or bytes(packet[16:20]) != key[0]:
            return None
        set_udp_port(packet, ihl + 2, key[1])
        return packet


class PcapWriter:
    """Raw IPv4 packets to a pcap file (microsecond stamps, link type 101)."""

    LINKTYPE_RAW = 101

    def __init__(self, path):
        self.file = open(path, "wb")
        self.file.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, MAX_PACKET,
                                    self.LINKTYPE_RAW))
        self.packets = 0

    def write(self, packet, when):
        sec = int(when)
        usec = int((when - sec) * 1e6)
        self.file.write(struct.pack("<IIII", sec, usec, len(packet), len(packet)))
        self.file.write(packet)
        self.packets += 1

    def close(self):
        if not self.file.closed:
            self.file.close()


# ---------------------------------------------------------------------------
# One direction
# ---------------------------------------------------------------------------

PARAMS = ("delay", "jitter", "loss", "burst", "reorder", "duplicate", "rate", "queue")


class Direction:
    """The impairments and counters of one direction of the link."""

    def __init__(self, name, rng, port, password, delay=0.0, jitter=0.0, loss=0.0, burst=None,
                 reorder=0.0, duplicate=0.0, rate=None, queue=0.2):
        self.name = name
        self.rng = rng
        self.port = port
        self.password = password
        self.delay, self.jitter = delay, jitter
        self.loss, self.burst = loss, burst
        self.reorder, self.duplicate = reorder, duplicate
        self.rate, self.queue = rate, queue
        self.model = GilbertElliott.from_mean(rng, loss, burst)
        self.busy_until = 0.0          # the rate cap's link is busy until then
        self.last_due = 0.0            # packets keep their order
        self.held = None               # a packet held back to be reordered
        self.c = {"in": 0, "out": 0, "bytes_in": 0, "bytes_out": 0, "dropped": 0,
                  "queue_dropped": 0, "nat_dropped": 0, "duplicated": 0, "reordered": 0,
                  "delay_sum": 0.0, "delay_n": 0, "delay_max": 0.0,
                  "kinds": {}, "dropped_kinds": {}, "dropped_inner": 0}

    def params(self):
        return {k: getattr(self, k) for k in PARAMS}

    def set(self, **values):
        for key, value in values.items():
            if key not in PARAMS:
                raise ValueError("unknown parameter %r" % key)
            setattr(self, key, value)
        self.model = GilbertElliott.from_mean(self.rng, self.loss, self.burst)

    def kind_of(self, packet):
        ports = udp_ports(packet)
        if ports is None:
            return "other", None
        ihl, sport, dport = ports
        if self.port not in (sport, dport):
            return "other", None
        payload = bytes(packet[ihl + 8:])
        return tunnel_kind(payload), payload

    def note_kind(self, table, kind):
        table[kind] = table.get(kind, 0) + 1

    def count_drop(self, kind, payload):
        c = self.c
        self.note_kind(c["dropped_kinds"], kind)
        if kind == "frame" and payload is not None:
            items, _ = labpeer.walk_frame(labpeer.password_xor(payload, self.password))
            c["dropped_inner"] += len(items)

    def schedule(self, packet, now):
        """Decide the fate of one packet: [] when it is dropped, otherwise
        the (due time, packet) pairs to deliver (two for a duplicate), and
        whether the first is held back for reordering."""
        c = self.c
        c["in"] += 1
        c["bytes_in"] += len(packet)
        kind, payload = self.kind_of(packet)
        self.note_kind(c["kinds"], kind)
        if self.model.lose():
            c["dropped"] += 1
            self.count_drop(kind, payload)
            return [], False
        start = now
        if self.rate:
            start = max(now, self.busy_until)
            if start - now > self.queue:
                c["queue_dropped"] += 1
                self.count_drop(kind, payload)
                return [], False
            start += len(packet) * 8 / (self.rate * 1000.0)
            self.busy_until = start
        due = start + self.delay
        if self.jitter:
            due += self.rng.uniform(-self.jitter, self.jitter)
        due = max(due, now, self.last_due)
        self.last_due = due
        out = [(due, packet)]
        if self.duplicate and self.rng.random() < self.duplicate:
            c["duplicated"] += 1
            out.append((due, bytes(packet)))
        hold = bool(self.reorder) and self.held is None and len(out) == 1 \
            and self.rng.random() < self.reorder
        return out, hold

    def delivered(self, packet, t_in, now):
        c = self.c
        c["out"] += 1
        c["bytes_out"] += len(packet)
        d = now - t_in
        c["delay_sum"] += d
        c["delay_n"] += 1
        if d > c["delay_max"]:
            c["delay_max"] = d

    def stats(self):
        out = dict(self.c)
        out["kinds"] = dict(self.c["kinds"])
        out["dropped_kinds"] = dict(self.c["dropped_kinds"])
        out["delay_mean"] = self.c["delay_sum"] / self.c["delay_n"] if self.c["delay_n"] else None
        out["params"] = self.params()
        return out


# ---------------------------------------------------------------------------
# The link
# ---------------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000


def enter_netns(name):
    with open("/run/netns/" + name) as nsfile:
        if _libc.setns(nsfile.fileno(), CLONE_NEWNET) != 0:
            err = ctypes.get_errno()
            raise OSError(err, "setns %s: %s" % (name, os.strerror(err)))


class WanLink:
    # A packet held back for reordering goes anyway after this long without
    # a successor (then it is only late, not reordered).
    HOLD_LIMIT = 0.1

    def __init__(self, fd_a, fd_b, port=42000, password=b"", seed=None, nat=False,
                 nat_timeout=None, capture=None, control=None, **params):
        self.rng = random.Random(seed)
        self.fds = {UP: fd_a, DOWN: fd_b}
        self.dirs = {d: Direction(d, self.rng, port, password, **params) for d in (UP, DOWN)}
        self.nat = Nat(nat_timeout) if nat or nat_timeout is not None else None
        self.capture = PcapWriter(capture) if capture else None
        self.control_path = control
        self.heap = []                 # (due, serial, direction, packet, time in)
        self.serial = 0
        self.stopping = False
        self.control = None
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_r, False)
        os.set_blocking(self.wake_w, False)
        self.started = time.monotonic()

    # -- packets ------------------------------------------------------------

    def on_packet(self, d, packet, now):
        if self.capture and d == UP:
            self.capture.write(packet, time.time())
        packet = bytearray(packet)
        if self.nat is not None:
            if d == UP:
                self.nat.outbound(packet, now)
            elif self.nat.inbound(packet, now) is None:
                direction = self.dirs[d]
                direction.c["in"] += 1
                direction.c["nat_dropped"] += 1
                kind, payload = direction.kind_of(packet)
                direction.note_kind(direction.c["kinds"], kind)
                direction.count_drop(kind, payload)
                return
        direction = self.dirs[d]
        out, hold = direction.schedule(bytes(packet), now)
        for i, (due, pkt) in enumerate(out):
            if i == 0 and hold:
                direction.held = (pkt, now, now + direction.delay + self.HOLD_LIMIT)
                continue
            self.serial += 1
            heapq.heappush(self.heap, (due, self.serial, d, pkt, now))

    def write(self, d, packet, t_in, now):
        fd = self.fds[DOWN if d == UP else UP]
        try:
            os.write(fd, packet)
        except OSError:
            self.dirs[d].c["write_errors"] = self.dirs[d].c.get("write_errors", 0) + 1
            return
        self.dirs[d].delivered(packet, t_in, now)
        if self.capture and d == DOWN:
            self.capture.write(packet, time.time())

    def deliver_due(self, now):
        while self.heap and self.heap[0][0] <= now:
            _, _, d, packet, t_in = heapq.heappop(self.heap)
            self.write(d, packet, t_in, now)
            direction = self.dirs[d]
            if direction.held is not None:
                held, held_in, _ = direction.held
                direction.held = None
                direction.c["reordered"] += 1
                self.write(d, held, held_in, now)
        for d, direction in self.dirs.items():
            if direction.held is not None and direction.held[2] <= now:
                held, held_in, _ = direction.held
                direction.held = None
                self.write(d, held, held_in, now)

    def next_due(self):
        times = [self.heap[0][0]] if self.heap else []
        times += [x.held[2] for x in self.dirs.values() if x.held is not None]
        return min(times) if times else None

    def drain(self, d):
        fd = self.fds[d]
        for _ in range(256):
            try:
                packet = os.read(fd, MAX_PACKET)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return
            self.on_packet(d, packet, time.monotonic())

    # -- control ------------------------------------------------------------

    def stats(self):
        out = {d: x.stats() for d, x in self.dirs.items()}
        out["queued"] = len(self.heap)
        out["seconds"] = time.monotonic() - self.started
        if self.nat is not None:
            self.nat.expire(time.monotonic())
            out["nat"] = {"mappings": {"%s:%d" % (socket.inet_ntoa(k[0]), k[1]): v[0]
                                       for k, v in self.nat.inside.items()},
                          "rebinds": self.nat.rebinds, "expired": self.nat.expired,
                          "mappings_made": self.nat.mappings_made, "timeout": self.nat.timeout}
        if self.capture:
            out["captured"] = self.capture.packets
        return out

    def command(self, request):
        cmd = request.get("cmd")
        if cmd == "ping":
            return {"ok": True, "pid": os.getpid()}
        if cmd == "stats":
            if self.capture:
                self.capture.file.flush()
            return {"ok": True, "stats": self.stats()}
        if cmd == "rebind":
            if self.nat is None:
                return {"ok": False, "error": "the link runs without NAT"}
            self.nat.rebind()
            return {"ok": True, "rebinds": self.nat.rebinds}
        if cmd == "set":
            values = {k: v for k, v in request.items() if k not in ("cmd", "direction")}
            for d in ([request["direction"]] if request.get("direction") else (UP, DOWN)):
                self.dirs[d].set(**values)
            return {"ok": True}
        if cmd == "quit":
            self.stopping = True
            return {"ok": True}
        return {"ok": False, "error": "unknown command %r" % cmd}

    def open_control(self):
        if self.control_path:
            self.control = controlsock.ControlServer(self.control_path, self.command, backlog=4)

    # -- loop ---------------------------------------------------------------

    def on_signal(self, _signum, _frame):
        self.stopping = True

    def serve_forever(self):
        signal.set_wakeup_fd(self.wake_w)
        signal.signal(signal.SIGTERM, self.on_signal)
        signal.signal(signal.SIGINT, self.on_signal)
        self.open_control()
        last_flush = time.monotonic()
        while not self.stopping:
            readers = [self.wake_r, self.fds[UP], self.fds[DOWN]]
            if self.control is not None:
                readers.extend(self.control.readers())
            due = self.next_due()
            timeout = 1.0 if due is None else max(0.0, min(1.0, due - time.monotonic()))
            try:
                ready, _, _ = select.select(readers, [], [], timeout)
            except InterruptedError:
                ready = []
            for obj in ready:
                if obj == self.fds[UP]:
                    self.drain(UP)
                elif obj == self.fds[DOWN]:
                    self.drain(DOWN)
                elif obj == self.wake_r:
                    try:
                        os.read(self.wake_r, 64)
                    except BlockingIOError:
                        pass
                elif self.control is not None:
                    self.control.serve(obj)
            now = time.monotonic()
            self.deliver_due(now)
            if self.capture and now - last_flush >= 1.0:
                self.capture.file.flush()
                last_flush = now

    def close(self):
        if self.capture:
            self.capture.close()
        if self.control is not None:
            self.control.close()
        for fd in list(self.fds.values()) + [self.wake_r, self.wake_w]:
            os.close(fd)


def build_arg_parser():
    p = argparse.ArgumentParser(
        description="A user-space WAN between two network namespaces: a TUN device in each, "
                    "packets copied across with delay, jitter, loss, reordering, duplication, "
                    "a rate cap and an optional NAT.")
    p.add_argument("--a-netns", required=True, help="namespace of side A (the client's side)")
    p.add_argument("--b-netns", required=True, help="namespace of side B (the server's side)")
    p.add_argument("--a-dev", default="wan0", help="TUN device in A (default wan0)")
    p.add_argument("--b-dev", default="wan0", help="TUN device in B (default wan0)")
    p.add_argument("--delay", type=float, default=0.0, metavar="MS", help="one-way delay")
    p.add_argument("--jitter", type=float, default=0.0, metavar="MS",
                   help="delay varies evenly by up to this much either way")
    p.add_argument("--loss", type=float, default=0.0, metavar="PCT", help="mean loss")
    p.add_argument("--burst", type=float, default=None, metavar="N",
                   help="mean length of a loss burst (Gilbert-Elliott); none: independent losses")
    p.add_argument("--reorder", type=float, default=0.0, metavar="PCT",
                   help="packets held back behind the next one")
    p.add_argument("--duplicate", type=float, default=0.0, metavar="PCT",
                   help="packets delivered twice")
    p.add_argument("--rate", type=float, default=None, metavar="KBITS", help="rate cap, kbit/s")
    p.add_argument("--queue", type=float, default=200.0, metavar="MS",
                   help="longest queue under the rate cap before packets are dropped")
    p.add_argument("--nat", action="store_true", help="rewrite UDP source ports from A")
    p.add_argument("--nat-timeout", type=float, default=None, metavar="SEC",
                   help="a NAT mapping dies after this long without a packet from A (implies --nat)")
    p.add_argument("--port", type=int, default=42000, help="the tunnel's UDP port on side B")
    p.add_argument("--password", default="", help="the tunnel's password, to count the packets "
                                                  "inside dropped frames")
    p.add_argument("--seed", type=int, default=None, help="seed of the random decisions")
    p.add_argument("--capture", metavar="FILE", help="write what crosses the link to a pcap file")
    p.add_argument("--control", metavar="PATH", help="Unix socket for commands")
    p.add_argument("--realtime", action="store_true",
                   help="run at real-time priority (SCHED_FIFO 10), so that other work on the "
                        "machine does not hold packets up in the link")
    return p


def main(argv=None):
    args = build_arg_parser().parse_args(argv)
    if args.realtime:
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        except OSError as exc:
            print("wanlink: no real-time priority (%s); going on without" % exc, file=sys.stderr)
    fds = []
    try:
        for ns, dev in ((args.a_netns, args.a_dev), (args.b_netns, args.b_dev)):
            enter_netns(ns)
            fds.append(labpeer.open_tun(dev))
    except OSError as exc:
        print("wanlink: %s" % exc, file=sys.stderr)
        return 1
    link = WanLink(fds[0], fds[1], port=args.port, password=args.password.encode(),
                   seed=args.seed, nat=args.nat, nat_timeout=args.nat_timeout,
                   capture=args.capture, control=args.control,
                   delay=args.delay / 1e3, jitter=args.jitter / 1e3, loss=args.loss / 100.0,
                   burst=args.burst, reorder=args.reorder / 100.0,
                   duplicate=args.duplicate / 100.0, rate=args.rate, queue=args.queue / 1e3)
    try:
        link.serve_forever()
    finally:
        link.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
