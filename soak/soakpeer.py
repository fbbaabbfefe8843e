#!/usr/bin/env python3
"""The server's half for the soak: the lab peer's registration and wire
format (lab/labpeer.py) with a media path lean enough for hundreds of calls
in CPython, and no journal.

It registers the client (REQUEST, CHANLLANGE, DIGEST, AUTHORIZED), takes the
client's frames apart and rebuilds the packets onto its TUN device, and
multiplexes the RTP packets routed into that device back to the client (a
full form for a stream's first packet and after a recovery request, then
short or long forms), answering compressed sub-packets it has no template
for with recovery requests.  Slots never expire: the soak's calls run for
its whole length.  On SIGTERM it writes its counters as JSON to --stats and
exits.
"""

import argparse
import json
import os
import select
import signal
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "lab"))

import labpeer  # noqa: E402  (the path is set just above)

HEADER_LEN = 40
HEAD = struct.Struct("!H")
WORDS = struct.Struct("!10H")


def header_checksum(header):
    total = sum(WORDS.unpack_from(header, 0))
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class SoakPeer:
    def __init__(self, listen, password, tun, mtu=1472, max_muxing_time=0.02, max_call=255):
        self.password = password.encode()
        self.key = labpeer.xor_key(self.password)
        self.mtu = mtu
        self.max_muxing_time = max_muxing_time
        self.max_call = max_call
        family, addr = labpeer.parse_endpoint(listen)
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8 << 20)
        self.sock.bind(addr)
        self.sock.setblocking(False)
        self.tun = labpeer.open_tun(tun)
        self.registrar = labpeer.Registrar(self.password, "normal")
        self.client = None
        self.templates = {}            # call id -> bytearray(40)
        self.flows = {}                # packet bytes 12..23 -> [call id, payload type, need full]
        self.by_cid = {}               # call id -> the same list
        self.free = list(range(max_call, 0, -1))   # free call ids, lowest last
        self.frame = bytearray()
        self.frame_started = 0.0
        self.c = dict.fromkeys((
            "frames_in", "subs_full_in", "subs_compressed_in", "tun_writes", "tun_write_errors",
            "frame_errors", "recovery_out", "recovery_in", "tun_reads", "rtp_out", "full_out",
            "frames_out", "send_errors", "non_rtp_dropped", "no_slot", "unauthorized",
            "control_in"), 0)

    # -- client to TUN ------------------------------------------------------

    def on_frame(self, dgram):
        c = self.c
        c["frames_in"] += 1
        frame = labpeer.password_xor(dgram, self.password) if self.key else dgram
        n = len(frame)
        o = 0
        write = os.write
        tun = self.tun
        templates = self.templates
        while o < n:
            if n - o < 2:
                c["frame_errors"] += 1
                return
            cid = frame[o]
            h = frame[o + 1]
            if cid == 0:
                c["frame_errors"] += 1
                return
            if h == 0:
                if n - o < 6:
                    c["frame_errors"] += 1
                    return
                total = HEAD.unpack_from(frame, o + 4)[0]
                if total < HEADER_LEN or total > n - o - 2:
                    c["frame_errors"] += 1
                    return
                packet = bytearray(frame[o + 2:o + 2 + total])
                packet[26:28] = b"\0\0"
                packet[32:36] = b"\0\0\0\0"
                templates[cid] = packet[:HEADER_LEN]
                c["subs_full_in"] += 1
                o += 2 + total
            else:
                if 2 <= h <= 0x7F:
                    size, start = h, o + 2
                elif h == 0x80:
                    if n - o < 4:
                        c["frame_errors"] += 1
                        return
                    size, start = HEAD.unpack_from(frame, o + 2)[0], o + 4
                else:
                    c["frame_errors"] += 1
                    return
                if size > n - start:
                    c["frame_errors"] += 1
                    return
                o = start + size
                t = templates.get(cid)
                if t is None:
                    self.send(labpeer.recovery_request(cid, h))
                    c["recovery_out"] += 1
                    continue
                struct.pack_into("!H", t, 2, size + HEADER_LEN)
                struct.pack_into("!H", t, 24, size + 20)
                struct.pack_into("!H", t, 30, (HEAD.unpack_from(t, 30)[0] + 1) & 0xFFFF)
                struct.pack_into("!I", t, 32, (struct.unpack_from("!I", t, 32)[0] + 160) & 0xFFFFFFFF)
                t[10:12] = b"\0\0"
                struct.pack_into("!H", t, 10, header_checksum(t))
                packet = t + frame[start:start + size]
                c["subs_compressed_in"] += 1
            try:
                write(tun, packet)
                c["tun_writes"] += 1
            except OSError:
                c["tun_write_errors"] += 1

    # -- TUN to client ------------------------------------------------------

    def on_tun_packet(self, packet, now):
        c = self.c
        c["tun_reads"] += 1
        if not labpeer.is_rtp(packet):
            c["non_rtp_dropped"] += 1
            return
        key = bytes(packet[12:24])
        flow = self.flows.get(key)
        payload_type = packet[29] & 0x7F
        if flow is None:
            if not self.free:
                c["no_slot"] += 1
                return
            flow = [self.free.pop(), payload_type, True]
            self.flows[key] = flow
            self.by_cid[flow[0]] = flow
        elif flow[1] != payload_type:
            flow[1] = payload_type
            flow[2] = True
        elif len(packet) <= HEADER_LEN:
            return
        cid = flow[0]
        if flow[2]:
            flow[2] = False
            item = bytes([cid, 0]) + packet
            c["full_out"] += 1
        else:
            item = labpeer.sub_packet_compressed(cid, packet[HEADER_LEN:])
        c["rtp_out"] += 1
        if len(self.frame) + len(item) > self.mtu:
            self.flush()
        if not self.frame:
            self.frame_started = now
        self.frame += item
        if len(self.frame) == self.mtu:
            self.flush()

    def flush(self):
        if self.frame:
            frame = bytes(self.frame)
            self.frame = bytearray()
            self.send(labpeer.password_xor(frame, self.password) if self.key else frame)
            self.c["frames_out"] += 1

    def send(self, dgram):
        if self.client is None:
            self.c["send_errors"] += 1
            return
        try:
            self.sock.sendto(dgram, self.client)
        except OSError:
            self.c["send_errors"] += 1

    # -- the socket ---------------------------------------------------------

    def on_datagram(self, dgram, src):
        kind = labpeer.classify(dgram)
        if kind == "control":
            self.c["control_in"] += 1
            keyword = labpeer.control_keyword(dgram)
            if keyword in (labpeer.REQUEST, labpeer.DIGEST):
                replies, _ = self.registrar.on_control(keyword, dgram, src)
                if src in self.registrar.authorized:
                    self.client = src
                for reply in replies:
                    self.sock.sendto(reply, src)
            return
        if src not in self.registrar.authorized:
            self.c["unauthorized"] += 1
            return
        self.client = src
        if kind == "frame":
            self.on_frame(dgram)
        elif kind == "recovery" and len(dgram) >= 3:
            self.c["recovery_in"] += 1
            flow = self.by_cid.get(dgram[2])
            if flow is not None:
                flow[2] = True

    def run(self):
        sock, tun = self.sock, self.tun
        recvfrom, read = sock.recvfrom, os.read
        while True:
            timeout = None
            if self.frame:
                timeout = max(0.0, self.frame_started + self.max_muxing_time - time.monotonic())
            try:
                ready, _, _ = select.select([sock, tun], [], [], timeout)
            except InterruptedError:
                continue
            now = time.monotonic()
            if tun in ready:
                for _ in range(512):
                    try:
                        packet = read(tun, 4096)
                    except (BlockingIOError, InterruptedError):
                        break
                    self.on_tun_packet(packet, now)
            if sock in ready:
                for _ in range(512):
                    try:
                        dgram, src = recvfrom(65536)
                    except (BlockingIOError, InterruptedError):
                        break
                    self.on_datagram(dgram, src)
            if self.frame and time.monotonic() - self.frame_started >= self.max_muxing_time:
                self.flush()


class Stop(Exception):
    pass


def main(argv=None):
    p = argparse.ArgumentParser(description="The server's half for the soak.")
    p.add_argument("--listen", required=True, metavar="HOST:PORT")
    p.add_argument("--password", default="")
    p.add_argument("--tun", required=True)
    p.add_argument("--stats", required=True, help="file the counters are written to at exit")
    p.add_argument("--max-muxing-time", type=float, default=0.02)
    args = p.parse_args(argv)
    peer = SoakPeer(args.listen, args.password, args.tun, max_muxing_time=args.max_muxing_time)

    def stop(_signum, _frame):
        raise Stop()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("ready", flush=True)
    try:
        peer.run()
    except Stop:
        pass
    with open(args.stats, "w") as f:
        json.dump(peer.c, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
