#!/usr/bin/env python3
"""RTP load for the soak: one side of many calls, run inside a namespace.

Each call sends one packet every 20 ms from a socket of its own (its own
source port) to the far side's receive port, and the far side's packets of
the same call come back to this side's receive port.  The calls are spread
over ten 2-ms slots of each 20-ms tick, so a tick's packets leave in small
batches; between batches the process drains its receive socket.

Every payload starts with a stamp (call, direction, magic, counter, send
time) and is filled with a fixed byte, so the receiver tells loss,
duplicates and corruption apart whatever RTP headers the tunnel rebuilt.

The process prints "ready" once its sockets are open, reads "go T" (a
CLOCK_MONOTONIC time in seconds) from standard input, sends for the given
number of seconds from T, keeps receiving for a grace period, and prints one
JSON object with what it sent and received.  Python 3 standard library only.
"""

import argparse
import json
import os
import select
import socket
import struct
import sys
import time

TICK = 0.020
SLOTS = 10
SLOT = TICK / SLOTS
STAMP = struct.Struct("!HBBIQ")       # call, direction, magic, counter, send time (ns)
MAGIC = 0xC9
FILLER = 0xD5
CODECS = ((0, 160), (18, 20))         # G.711 and G.729: payload type, payload bytes
UP, DOWN = 0, 1


def codec(call):
    return CODECS[call % 2]


def ssrc(call, direction):
    return 0x50AC0000 | (call << 1) | direction


class Sender:
    def __init__(self, call, direction, sock, dst):
        self.call = call
        self.direction = direction
        self.sock = sock
        self.dst = dst
        self.payload_type, self.size = codec(call)
        self.ssrc = ssrc(call, direction)
        self.counter = 0
        self.errors = 0
        self.filler = bytes([FILLER]) * (self.size - STAMP.size)
        self.head = struct.Struct("!BBHII")

    def send(self, now_ns):
        k = self.counter
        data = (self.head.pack(0x80, self.payload_type, (self.call * 977 + k) & 0xFFFF,
                               (k * 160) & 0xFFFFFFFF, self.ssrc)
                + STAMP.pack(self.call, self.direction, MAGIC, k, now_ns) + self.filler)
        self.counter = k + 1
        try:
            self.sock.send(data) if self.dst is None else self.sock.sendto(data, self.dst)
        except OSError:
            self.errors += 1


class Receiver:
    """Counts the packets of the far side's streams."""

    def __init__(self, calls, direction, expected):
        self.direction = direction
        self.first = min(calls)
        self.calls = set(calls)
        self.seen = {c: bytearray(expected) for c in calls}
        self.received = dict.fromkeys(calls, 0)
        self.duplicates = 0
        self.corrupt = 0
        self.beyond = 0
        self.reordered = 0
        self.highest = dict.fromkeys(calls, -1)
        self.latency_sum = 0
        self.latency_max = 0
        fillers = {size: bytes([FILLER]) * (size - STAMP.size) for _, size in CODECS}
        self.expect = {c: (codec(c)[0], 12 + codec(c)[1], ssrc(c, direction),
                           fillers[codec(c)[1]]) for c in calls}

    def on_packet(self, data, now_ns):
        if len(data) < 12 + STAMP.size:
            self.corrupt += 1
            return
        call, direction, magic, k, sent_ns = STAMP.unpack_from(data, 12)
        exp = self.expect.get(call)
        if exp is None or magic != MAGIC or direction != self.direction:
            self.corrupt += 1
            return
        payload_type, size, want_ssrc, filler = exp
        if len(data) != size or data[0] != 0x80 or data[1] & 0x7F != payload_type \
                or struct.unpack_from("!I", data, 8)[0] != want_ssrc \
                or data[12 + STAMP.size:] != filler:
            self.corrupt += 1
            return
        seen = self.seen[call]
        if k >= len(seen):
            self.beyond += 1
            return
        if seen[k]:
            self.duplicates += 1
            return
        seen[k] = 1
        self.received[call] += 1
        if k < self.highest[call]:
            self.reordered += 1
        else:
            self.highest[call] = k
        latency = now_ns - sent_ns
        self.latency_sum += latency
        if latency > self.latency_max:
            self.latency_max = latency


def main(argv=None):
    p = argparse.ArgumentParser(description="One side of the soak's RTP calls.")
    p.add_argument("--side", choices=("lan", "host"), required=True,
                   help="lan: phones sending up; host: the far end sending down")
    p.add_argument("--local", required=True, help="this side's address")
    p.add_argument("--remote", required=True, help="the far side's address")
    p.add_argument("--calls", required=True, help="FIRST:COUNT, the calls this process plays")
    p.add_argument("--port", type=int, required=True,
                   help="receive port, on both sides (the far side sends to it)")
    p.add_argument("--base-port", type=int, required=True, help="source port of call 0")
    p.add_argument("--seconds", type=float, required=True)
    p.add_argument("--grace", type=float, default=3.0, help="seconds to receive after sending")
    args = p.parse_args(argv)

    first, count = (int(x) for x in args.calls.split(":"))
    calls = range(first, first + count)
    direction = UP if args.side == "lan" else DOWN
    ticks = int(round(args.seconds / TICK))

    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    rx.bind((args.local, args.port))
    rx.setblocking(False)
    senders = []
    for c in calls:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((args.local, args.base_port + c))
        s.connect((args.remote, args.port))
        s.setblocking(False)
        senders.append(Sender(c, direction, s, None))
    slots = [[s for s in senders if s.call % SLOTS == k] for k in range(SLOTS)]
    receiver = Receiver(calls, DOWN if direction == UP else UP, ticks + 50)

    print("ready", flush=True)
    line = sys.stdin.readline().split()
    if not line or line[0] != "go":
        return 2
    start = float(line[1])

    buf = bytearray(4096)
    view = memoryview(buf)
    lags = []
    lag_by_second = {}
    late = 0
    lag_max = 0.0
    slot_index = 0
    total_slots = ticks * SLOTS
    end_receive = start + ticks * TICK + args.grace
    cpu0 = os.times()
    recv_into = rx.recv_into
    on_packet = receiver.on_packet

    def drain():
        now_ns = time.monotonic_ns()
        while True:
            try:
                n = recv_into(buf)
            except (BlockingIOError, InterruptedError):
                return
            on_packet(bytes(view[:n]), now_ns)

    while True:
        due = start + slot_index * SLOT if slot_index < total_slots else end_receive
        now = time.monotonic()
        if now < due:
            select.select([rx], [], [], due - now)
            drain()
            continue
        if slot_index >= total_slots:
            if now >= end_receive or sum(receiver.received.values()) >= count * ticks:
                break
            select.select([rx], [], [], 0.05)
            drain()
            continue
        lag = now - due
        lags.append(lag)
        second = slot_index // (SLOTS * 50)
        if lag > lag_by_second.get(second, 0.0):
            lag_by_second[second] = lag
        if lag > lag_max:
            lag_max = lag
        if lag > SLOT:
            late += 1
        now_ns = time.monotonic_ns()
        for s in slots[slot_index % SLOTS]:
            s.send(now_ns)
        slot_index += 1
        drain()
    cpu1 = os.times()

    received = sum(receiver.received.values())
    # Packets of the far side missing, per second of the run (the far side
    # sends 50 per call and second).
    missing_by_second = {}
    for seen in receiver.seen.values():
        for second in range(-(-ticks // 50)):
            part = seen[second * 50:min((second + 1) * 50, ticks)]
            gone = part.count(0)
            if gone:
                missing_by_second[second] = missing_by_second.get(second, 0) + gone
    result = {
        "side": args.side,
        "calls": count,
        "ticks": ticks,
        "sent": sum(s.counter for s in senders),
        "send_errors": sum(s.errors for s in senders),
        "sent_per_call": {s.call: s.counter for s in senders},
        "received": received,
        "received_per_call": receiver.received,
        "duplicates": receiver.duplicates,
        "corrupt": receiver.corrupt,
        "beyond": receiver.beyond,
        "reordered": receiver.reordered,
        "latency_mean_ms": receiver.latency_sum / received / 1e6 if received else None,
        "latency_max_ms": receiver.latency_max / 1e6,
        "slot_lag_mean_ms": 1000 * sum(lags) / len(lags) if lags else None,
        "slot_lag_max_ms": 1000 * lag_max,
        "slots_late": late,
        "slots": len(lags),
        "missing_by_second": missing_by_second,
        "slot_lag_max_ms_by_second": {k: round(1000 * v, 1) for k, v in lag_by_second.items()
                                      if v > SLOT},
        "cpu_seconds": (cpu1.user - cpu0.user) + (cpu1.system - cpu0.system),
        "wall_seconds": time.monotonic() - start,
    }
    print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
