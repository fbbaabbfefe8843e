#!/usr/bin/env python3
"""Lab peer: the server's half of the tunnel, for tests and for trying the
client by hand.

The peer listens on one UDP port.  It answers the registration exchange
(REQUEST, CHANLLANGE, DIGEST, DECLINED, AUTHORIZED) in one of several modes,
takes the client's multiplexed frames apart and rebuilds the packets onto a
TUN device of its own, multiplexes the packets routed into that device back
to the client, asks for and answers recovery requests, and carries non-RTP
messages both ways.  Everything it receives and sends is kept in a journal,
with the time, which a test reads through a control socket (a Unix stream
socket speaking one JSON object per line).

The module has three layers, usable on their own:
  * wire format: pure functions on bytes (control messages, the password
    XOR, sub-packets and frames, recovery requests, non-RTP messages);
  * Registrar and ServerHalf: the two protocol halves, free of sockets;
  * LabPeer: sockets, the TUN device, the event loop, the journal and the
    control socket; PeerClient talks to its control socket.

Run `labpeer.py --help` for the command line.  Python 3 standard library
only.
"""

import argparse
import errno
import fcntl
import hashlib
import ipaddress
import json
import os
import platform
import random
import select
import signal
import socket
import struct
import sys
import time
from collections import namedtuple

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import controlsock  # noqa: E402  (the path is set just above)

# ---------------------------------------------------------------------------
# Wire format
# ---------------------------------------------------------------------------

CONTROL = b"\x00\x81"
NON_RTP = b"\x00\x00"
RECOVERY = b"\x01\x81"

REQUEST = b"REQUEST"
CHALLENGE = b"CHANLLANGE"
DIGEST = b"DIGEST"
DECLINED = b"DECLINED"
AUTHORIZED = b"AUTHORIZED"
# Tried in this order; the first keyword the payload begins with counts.
KEYWORDS = (REQUEST, CHALLENGE, DIGEST, DECLINED, AUTHORIZED)

CHALLENGE_OFFSET = len(CONTROL) + len(CHALLENGE)   # 12
DIGEST_OFFSET = len(CONTROL) + len(DIGEST)         # 8
MIN_CHALLENGE = 15
MAX_CHALLENGE = 63

FULL, SHORT, LONG = "full", "short", "long"
HEADER_LEN = 40        # IPv4 20 + UDP 8 + RTP 12
MAX_PACKET = 4096


def control_message(keyword, payload=b""):
    """0x00 0x81, the keyword's characters, the payload."""
    return CONTROL + keyword + payload


def control_keyword(dgram):
    """The keyword a control message carries, or None."""
    if len(dgram) < 3 or dgram[:2] != CONTROL:
        return None
    for keyword in KEYWORDS:
        if dgram.startswith(keyword, 2):
            return keyword
    return None


def challenge_in(dgram):
    """The challenge bytes a client takes from a CHANLLANGE datagram: its
    length counts modulo 256, so a 283-byte datagram carries 15 of them."""
    length = (len(dgram) - CHALLENGE_OFFSET) % 256
    return dgram[CHALLENGE_OFFSET:CHALLENGE_OFFSET + length]


def registration_digest(challenge, password):
    """MD5 over challenge, password, password, ":", challenge."""
    return hashlib.md5(challenge + password + password + b":" + challenge).digest()


def classify(dgram):
    """Tell a datagram's kind by its first two bytes."""
    if len(dgram) < 2:
        return "runt"
    if dgram[0] == 0x00:
        if dgram[1] == 0x00:
            return "non-rtp"
        if dgram[1] == 0x81:
            return "control"
        return "frame"
    if dgram[0] == 0x01 and dgram[1] == 0x81:
        return "recovery"
    return "frame"


def xor_key(password):
    """The bytes the frame XOR cycles through.  The key index is an 8-bit
    counter reset when it reaches the password length modulo 256, so a
    password of 256 bytes or more uses its first (length mod 256) bytes, or
    its first 256 when the length is a multiple of 256.  An empty password
    (configured or not) means no XOR at all."""
    if not password:
        return b""
    k = len(password) % 256
    return password[:k] if k else password[:256]


def xor_cycle(data, key):
    """data XOR key repeated; data unchanged for an empty key."""
    if not key or not data:
        return bytes(data)
    stream = (key * (len(data) // len(key) + 1))[:len(data)]
    value = int.from_bytes(data, "big") ^ int.from_bytes(stream, "big")
    return value.to_bytes(len(data), "big")


def password_xor(dgram, password):
    """Apply (or undo: it is its own inverse) the frame XOR: bytes 0 and 1
    stay as they are, byte 2 onward is XORed with the cycled key."""
    dgram = bytes(dgram)
    key = xor_key(password)
    if not key or len(dgram) <= 2:
        return dgram
    return dgram[:2] + xor_cycle(dgram[2:], key)


def non_rtp_message(packet, pad):
    """0x00 0x00, the pad, the packet XORed with the cycled pad.  With an
    empty pad (no password, or an empty one) the packet travels unchanged."""
    return NON_RTP + bytes(pad) + xor_cycle(packet, bytes(pad))


def open_non_rtp(dgram, pad_len):
    """The packet inside a non-RTP message, or None when the datagram is too
    short to hold the pad."""
    if len(dgram) < 2 + pad_len or dgram[:2] != NON_RTP:
        return None
    pad = dgram[2:2 + pad_len]
    return xor_cycle(dgram[2 + pad_len:], pad)


def recovery_request(call_id, type_byte):
    return RECOVERY + bytes([call_id & 0xFF, type_byte & 0xFF])


def sub_packet_full(call_id, packet):
    return bytes([call_id, 0x00]) + bytes(packet)


def sub_packet_compressed(call_id, payload):
    """Short form for 2 to 127 payload bytes, long form otherwise.  A 1-byte
    payload goes in the long form: a short form with type byte 0x01 is
    rejected by the receiver."""
    n = len(payload)
    if n == 0:
        raise ValueError("a compressed sub-packet needs at least one payload byte")
    if n > 0xFFFF:
        raise ValueError("payload too long for the long form")
    if 2 <= n <= 0x7F:
        return bytes([call_id, n]) + bytes(payload)
    return bytes([call_id, 0x80]) + struct.pack("!H", n) + bytes(payload)


def type_byte_form(type_byte):
    if type_byte == 0x00:
        return FULL
    if 2 <= type_byte <= 0x7F:
        return SHORT
    if type_byte == 0x80:
        return LONG
    return None


SubPacket = namedtuple("SubPacket", "call_id type_byte form data offset")


def walk_frame(frame):
    """Split an unXORed frame into sub-packets.  Returns (sub-packets, error):
    the walk stops at the first malformed sub-packet and error then says
    why; every length is checked against the bytes that remain."""
    frame = bytes(frame)
    items = []
    o = 0
    n_total = len(frame)
    while o < n_total:
        left = n_total - o
        if left < 2:
            return items, "sub-packet head cut short at %d" % o
        call_id, h = frame[o], frame[o + 1]
        if call_id == 0:
            return items, "call id 0 at %d" % o
        form = type_byte_form(h)
        if form is None:
            return items, "invalid type byte 0x%02x at %d" % (h, o)
        if form == FULL:
            if left - 2 < 4:
                return items, "full form too short for its length field at %d" % o
            total = struct.unpack_from("!H", frame, o + 4)[0]
            if total < HEADER_LEN:
                return items, "full form of %d bytes at %d" % (total, o)
            if total > left - 2:
                return items, "full form of %d bytes runs past the datagram at %d" % (total, o)
            items.append(SubPacket(call_id, h, form, frame[o + 2:o + 2 + total], o))
            o += 2 + total
        elif form == SHORT:
            n = h
            if n > left - 2:
                return items, "short form runs past the datagram at %d" % o
            items.append(SubPacket(call_id, h, form, frame[o + 2:o + 2 + n], o))
            o += 2 + n
        else:
            if left < 4:
                return items, "long form head cut short at %d" % o
            n = struct.unpack_from("!H", frame, o + 2)[0]
            if n > left - 4:
                return items, "long form runs past the datagram at %d" % o
            items.append(SubPacket(call_id, h, form, frame[o + 4:o + 4 + n], o))
            o += 4 + n
    return items, None


# ---------------------------------------------------------------------------
# IPv4 / UDP / RTP helpers
# ---------------------------------------------------------------------------

STATIC_PAYLOAD_TYPES = frozenset(list(range(0, 20)) + [25, 26, 28] + list(range(31, 35)))
RTP_TS_STEP = 160


def internet_checksum(data):
    """RFC 1071 one's complement sum, complemented."""
    if len(data) % 2:
        data = bytes(data) + b"\x00"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def is_rtp(packet):
    """IPv4 with a plain 20-byte header, UDP, RTP version 2, a static payload
    type, and room for the whole 40-byte header."""
    return (len(packet) >= HEADER_LEN and packet[0] == 0x45 and packet[9] == 17
            and packet[28] & 0xC0 == 0x80 and (packet[29] & 0x7F) in STATIC_PAYLOAD_TYPES)


def flow_key(packet):
    """Source address and port, destination address and port."""
    return bytes(packet[12:16]), bytes(packet[20:22]), bytes(packet[16:20]), bytes(packet[22:24])


def flow_text(packet):
    if len(packet) < 24:
        return "?"
    src, sport, dst, dport = flow_key(packet)
    return "%s:%d>%s:%d" % (socket.inet_ntoa(src), struct.unpack("!H", sport)[0],
                            socket.inet_ntoa(dst), struct.unpack("!H", dport)[0])


def template_from_full(packet):
    """For a full-form packet: the packet as the receiver writes it (UDP
    checksum and RTP timestamp set to 0) and the 40-byte template taken
    from it."""
    out = bytearray(packet)
    out[26:28] = b"\x00\x00"
    out[32:36] = b"\x00\x00\x00\x00"
    return bytearray(out[:HEADER_LEN]), bytes(out)


def rebuild_packet(template, payload):
    """Advance the template for one compressed packet and return the whole
    packet: lengths, sequence + 1, timestamp + 160, a fresh IPv4 header
    checksum.  The template is changed in place."""
    n = len(payload)
    struct.pack_into("!H", template, 2, (n + HEADER_LEN) & 0xFFFF)
    struct.pack_into("!H", template, 24, (n + 20) & 0xFFFF)
    seq = struct.unpack_from("!H", template, 30)[0]
    struct.pack_into("!H", template, 30, (seq + 1) & 0xFFFF)
    ts = struct.unpack_from("!I", template, 32)[0]
    struct.pack_into("!I", template, 32, (ts + RTP_TS_STEP) & 0xFFFFFFFF)
    struct.pack_into("!H", template, 10, 0)
    struct.pack_into("!H", template, 10, internet_checksum(bytes(template[:20])))
    return bytes(template) + bytes(payload)


# ---------------------------------------------------------------------------
# Garbage for robustness tests
# ---------------------------------------------------------------------------

GARBAGE_KINDS = ("random", "frame", "truncated", "non-rtp", "recovery", "control", "oversized")

# Keywords that make a client start the exchange again: garbage never begins
# with them, since they are the server's legitimate commands.
_RESTARTING = (CHALLENGE, DECLINED)


def garbage_datagram(rng, password=b"", min_len=0, max_len=1500, protect=(), kind=None):
    """One datagram of rubbish, as a server (or anyone) might send it: what
    the client sees once it has undone the frame XOR is random bytes of a
    few shapes (bare random bytes, a frame head with a random type byte, a
    sub-packet that claims more bytes than the datagram holds, non-RTP and
    recovery heads with random bodies, control heads with no keyword, or
    more than the client's 4096-byte buffer).  No byte value in `protect`
    appears in a frame, so the call ids of real calls are never named and
    their header templates stay intact.  Returns (kind, datagram)."""
    kind = kind or rng.choice(GARBAGE_KINDS)
    protect = frozenset(protect)

    def rand(n):
        return bytes(rng.getrandbits(8) for _ in range(n)) if n < 64 else \
            rng.getrandbits(8 * n).to_bytes(n, "big")

    def length():
        return rng.randint(min_len, max(min_len, max_len))

    if kind == "random":
        seen = rand(length())
    elif kind == "frame":
        seen = bytes([rng.randint(1, 255), rng.getrandbits(8)]) + rand(max(0, length() - 2))
    elif kind == "truncated":
        cid = rng.randint(1, 255)
        form = rng.choice((0x00, 0x80, rng.randint(2, 0x7F)))
        if form == 0x00:
            claimed = rng.randint(40, 4096)
            body = bytes([0x45, 0]) + struct.pack("!H", claimed) + rand(rng.randint(0, 60))
        elif form == 0x80:
            body = struct.pack("!H", rng.randint(1, 0xFFFF)) + rand(rng.randint(0, 40))
        else:
            body = rand(rng.randint(0, form - 1))
        seen = bytes([cid, form]) + body
        if len(seen) - 2 >= claimed_length(form, body):
            seen = seen[:2 + claimed_length(form, body) - 1]
    elif kind == "non-rtp":
        seen = NON_RTP + rand(max(0, length() - 2))
    elif kind == "recovery":
        seen = RECOVERY + rand(rng.randint(0, 4))
    elif kind == "control":
        body = rand(rng.randint(0, 30))
        if rng.random() < 0.5:
            keyword = rng.choice(KEYWORDS + (b"MAY BE SERVER RESTARTED!",))
            body = keyword[:rng.randint(0, len(keyword) - 1)] + body
        seen = CONTROL + body
    elif kind == "oversized":
        seen = bytes([rng.randint(1, 255), rng.getrandbits(8)]) + rand(rng.randint(4095, 9000))
    else:
        raise ValueError("unknown garbage kind %r" % kind)
    if classify(seen) == "control":
        while any(seen.startswith(k, 2) for k in _RESTARTING):
            seen = CONTROL + rand(len(seen) - 2)
    if classify(seen) == "frame":
        if protect:
            seen = bytes(b if b not in protect else 0xEE for b in seen)
        return kind, password_xor(seen, password)
    return kind, seen


def claimed_length(type_byte, body):
    """Bytes a sub-packet of this type byte claims after its two-byte head."""
    if type_byte == 0x00:
        return struct.unpack_from("!H", body, 2)[0] if len(body) >= 4 else 4
    if type_byte == 0x80:
        return 2 + (struct.unpack_from("!H", body, 0)[0] if len(body) >= 2 else 0)
    return type_byte


# ---------------------------------------------------------------------------
# Registration half
# ---------------------------------------------------------------------------

REG_MODES = ("normal", "silent", "decline", "authorize", "rechallenge", "malformed")

# Sent once, ahead of the real challenge, in the "malformed" mode: datagrams
# a client must survive and ignore (or answer with a fresh REQUEST).
MALFORMED_DATAGRAMS = (
    b"\x00",
    b"\x00\x81",
    b"\x00\x81AUTHORIZE",                       # nine characters match nothing
    b"\x00\x81MAY BE SERVER RESTARTED!",
    b"\x00\x81REQUEST",
    b"\x00\x81DIGEST" + bytes(16),
    b"\x00\x81CHANLLANGE",                      # L 0
    b"\x00\x81CHANLLANGE" + b"x" * 14,          # L 14
    b"\x01\x81",                                # recovery request without a call id
    b"\x01\x81\x00\x14",                        # recovery request for call id 0
    b"\x00\x00",                                # non-RTP message with no packet
    b"\x05\x80\xff",                            # long form cut short
    b"\x00\x05" + bytes(5),                     # frame with call id 0
    b"\x03\x00\x45\x00\x00\x0a" + bytes(4),     # full form shorter than 40 bytes
    b"\x03\x00\x45\x00\x0f\xa0" + bytes(40),    # full form longer than the datagram
    b"\x07\x01\xaa",                            # type byte 0x01
    b"\x07\xc5" + bytes(8),                     # type byte 0xc5
)


class Registrar:
    """The server's side of the registration exchange, per client address.

    Modes:
      normal       REQUEST -> CHANLLANGE; a right DIGEST -> AUTHORIZED,
                   a wrong one -> DECLINED
      silent       answer nothing
      decline      every DIGEST -> DECLINED
      authorize    REQUEST -> AUTHORIZED at once, no challenge
      rechallenge  a right DIGEST is answered with a new CHANLLANGE
                   `rechallenges` times, then AUTHORIZED
      malformed    the first REQUEST gets MALFORMED_DATAGRAMS first, then
                   the exchange goes on as in normal

    A REQUEST while a challenge is outstanding is answered with the same
    challenge, so that several REQUESTs in flight do not breed challenges.
    After `max_declines` DECLINED (0: no limit) an address gets no answer
    to its REQUESTs, which keeps a client with a wrong password from
    cycling at full speed.
    """

    def __init__(self, password=b"", mode="normal", challenge_len=16, challenge=None,
                 rechallenges=1, max_declines=0):
        self.password = password or b""
        self.mode = mode
        self.challenge_len = challenge_len
        self.fixed_challenge = challenge
        self.rechallenges = rechallenges
        self.max_declines = max_declines
        self.outstanding = {}     # address -> challenge payload as sent
        self.accepted = {}        # address -> the digest last accepted
        self.authorized = set()
        self.declines = {}
        self.rechallenges_done = {}
        self.malformed_sent = False
        self._counter = 0

    def set_mode(self, mode):
        if mode not in REG_MODES:
            raise ValueError("unknown mode %r" % mode)
        self.mode = mode

    def new_challenge(self):
        if self.fixed_challenge is not None:
            return bytes(self.fixed_challenge)
        self._counter += 1
        # Distinct per challenge; random enough for a lab.
        seed = os.urandom(8) + struct.pack("!I", self._counter)
        out = b""
        while len(out) < self.challenge_len:
            out += hashlib.sha256(seed + struct.pack("!I", len(out))).digest()
        return out[:self.challenge_len]

    def challenge_for(self, addr, fresh=False):
        if fresh or addr not in self.outstanding:
            self.outstanding[addr] = self.new_challenge()
        return control_message(CHALLENGE, self.outstanding[addr])

    def authorize(self, addr):
        self.authorized.add(addr)
        self.outstanding.pop(addr, None)
        return control_message(AUTHORIZED)

    def decline(self, addr):
        self.authorized.discard(addr)
        self.outstanding.pop(addr, None)
        self.declines[addr] = self.declines.get(addr, 0) + 1
        return control_message(DECLINED)

    def expected_digest(self, addr):
        payload = self.outstanding.get(addr)
        if payload is None:
            return None
        challenge = challenge_in(CONTROL + CHALLENGE + payload)
        if not MIN_CHALLENGE <= len(challenge) <= MAX_CHALLENGE:
            return None
        # The client keeps the password's length in one byte: the digest
        # covers that many leading bytes of it.
        return registration_digest(challenge, self.password[:len(self.password) % 256])

    def on_control(self, keyword, dgram, addr):
        """Handle a control message from a client.  Returns (replies, events):
        datagrams to send back and journal notes."""
        mode = self.mode
        if mode == "silent":
            return [], []
        if keyword == REQUEST:
            if self.max_declines and self.declines.get(addr, 0) >= self.max_declines:
                return [], [{"ev": "request-ignored", "why": "declined %d times" % self.max_declines}]
            if mode == "authorize":
                return [self.authorize(addr)], [{"ev": "authorized", "unprompted": True}]
            replies = []
            if mode == "malformed" and not self.malformed_sent:
                self.malformed_sent = True
                replies.extend(MALFORMED_DATAGRAMS)
            replies.append(self.challenge_for(addr))
            return replies, [{"ev": "challenged", "challenge": self.outstanding[addr].hex()}]
        if keyword == DIGEST:
            got = dgram[DIGEST_OFFSET:DIGEST_OFFSET + 16]
            expected = self.expected_digest(addr)
            ok = (expected is not None and len(dgram) == DIGEST_OFFSET + 16 and got == expected)
            if not ok and expected is None and addr in self.accepted and got == self.accepted[addr]:
                # A resend of the digest already accepted.
                return [self.authorize(addr)], [{"ev": "authorized", "repeat": True}]
            if mode == "decline" or not ok:
                return [self.decline(addr)], [{"ev": "declined", "digest_ok": ok}]
            if mode == "rechallenge" and self.rechallenges_done.get(addr, 0) < self.rechallenges:
                self.rechallenges_done[addr] = self.rechallenges_done.get(addr, 0) + 1
                msg = self.challenge_for(addr, fresh=True)
                return [msg], [{"ev": "rechallenged", "challenge": self.outstanding[addr].hex()}]
            self.accepted[addr] = got
            return [self.authorize(addr)], [{"ev": "authorized"}]
        return [], [{"ev": "control-ignored", "keyword": keyword.decode()}]


# ---------------------------------------------------------------------------
# Multiplexing half
# ---------------------------------------------------------------------------

class CallSlot:
    __slots__ = ("key", "call_id", "payload_type", "last_seen", "need_full", "flow")

    def __init__(self, call_id):
        self.call_id = call_id
        self.key = None
        self.payload_type = None
        self.last_seen = 0.0
        self.need_full = False
        self.flow = ""


class ServerHalf:
    """Takes frames apart onto the TUN device and multiplexes what the TUN
    device gives back into frames for the client.

    `send` is called with (datagram, note) to send to the client; `write_tun`
    with a packet; `note` with a journal event (a dict).  Times are seconds
    of time.monotonic()."""

    def __init__(self, send, write_tun, note, password=b"", mtu=1472,
                 max_muxing_time=0.02, rtp_timeout=60.0, max_call=255, sip_port=5060,
                 allow_ping=False, allow_all=False):
        self.send = send
        self.write_tun = write_tun
        self.note = note
        self.password = password or b""
        self.mtu = mtu
        self.max_muxing_time = max_muxing_time
        self.rtp_timeout = rtp_timeout
        self.max_call = max_call
        self.sip_port = sip_port
        self.allow_ping = allow_ping
        self.allow_all = allow_all
        self.templates = {}            # call id -> bytearray(40)
        self.slots = [None] * max_call  # egress call slots
        self.frame = bytearray()
        self.frame_started = 0.0
        self.drop_full = 0
        self.force_compressed = 0

    @property
    def pad_len(self):
        return len(self.password) % 256

    # -- ingress: client to TUN ---------------------------------------------

    def on_frame(self, dgram):
        frame = password_xor(dgram, self.password)
        items, error = walk_frame(frame)
        for item in items:
            if item.form == FULL:
                template, packet = template_from_full(item.data)
                self.templates[item.call_id] = template
                self.note({"ev": "sub", "cid": item.call_id, "form": FULL, "len": len(item.data),
                           "flow": flow_text(item.data),
                           "seq": struct.unpack_from("!H", item.data, 30)[0]})
                self.write_tun(packet)
                continue
            template = self.templates.get(item.call_id)
            if template is None:
                self.note({"ev": "sub", "cid": item.call_id, "form": item.form,
                           "n": len(item.data), "template": False})
                self.send(recovery_request(item.call_id, item.type_byte), "recovery")
                continue
            if len(item.data) + HEADER_LEN > MAX_PACKET:
                error = "rebuilt packet of %d bytes" % (len(item.data) + HEADER_LEN)
                break
            packet = rebuild_packet(template, item.data)
            self.note({"ev": "sub", "cid": item.call_id, "form": item.form, "n": len(item.data),
                       "flow": flow_text(packet), "seq": struct.unpack_from("!H", packet, 30)[0]})
            self.write_tun(packet)
        if error:
            self.note({"ev": "frame-error", "error": error})

    def on_non_rtp(self, dgram):
        packet = open_non_rtp(dgram, self.pad_len)
        if packet is None:
            self.note({"ev": "non-rtp-error", "len": len(dgram)})
            return
        self.note({"ev": "non-rtp-in", "len": len(packet), "proto": packet[9] if len(packet) > 9 else None,
                   "flow": flow_text(packet) if len(packet) >= 24 and packet[9] == 17 else ""})
        self.write_tun(packet)

    def on_recovery(self, dgram):
        if len(dgram) < 3 or dgram[2] == 0:
            self.note({"ev": "recovery-bad", "hex": dgram.hex()})
            return
        call_id = dgram[2]
        slot = self.slots[call_id - 1] if call_id <= self.max_call else None
        if slot is not None:
            slot.need_full = True
        self.note({"ev": "recovery-in", "cid": call_id, "known": slot is not None})

    def forget_templates(self):
        count = len(self.templates)
        self.templates.clear()
        self.note({"ev": "forgot", "templates": count})

    # -- egress: TUN to client ----------------------------------------------

    def forwardable(self, packet):
        if self.allow_all:
            return True
        if len(packet) < 10:
            return False
        if self.allow_ping and packet[9] == 1:
            return True
        if packet[9] != 17 or len(packet) < 24:
            return False
        sport, dport = struct.unpack_from("!HH", packet, 20)
        return self.sip_port in (sport, dport)

    def find_slot(self, packet, now):
        key = flow_key(packet)
        free = None
        for i, slot in enumerate(self.slots):
            live = slot is not None and now - slot.last_seen < self.rtp_timeout
            if not live:
                if free is None:
                    free = i
                continue
            if slot.key == key:
                return i, False
        return free, True

    def on_tun_packet(self, packet, now):
        if is_rtp(packet):
            self.mux_rtp(packet, now)
        elif self.forwardable(packet):
            self.send_non_rtp(packet, "tun")
        else:
            self.note({"ev": "tun-dropped", "len": len(packet),
                       "proto": packet[9] if len(packet) > 9 else None})

    def send_non_rtp(self, packet, why):
        pad = os.urandom(self.pad_len)
        dgram = non_rtp_message(packet, pad)
        if len(dgram) > MAX_PACKET:
            self.note({"ev": "too-large", "len": len(packet)})
            return
        self.note({"ev": "non-rtp-out", "len": len(packet), "why": why, "flow": flow_text(packet)})
        self.send(dgram, "non-rtp")

    def mux_rtp(self, packet, now):
        index, new = self.find_slot(packet, now)
        if index is None:
            self.note({"ev": "no-slot", "flow": flow_text(packet)})
            return
        payload_type = packet[29] & 0x7F
        if new:
            slot = self.slots[index] or CallSlot(index + 1)
            self.slots[index] = slot
            slot.key = flow_key(packet)
            slot.flow = flow_text(packet)
            slot.payload_type = payload_type
            slot.need_full = True
        else:
            slot = self.slots[index]
            if len(packet) <= HEADER_LEN:
                self.note({"ev": "empty-rtp-dropped", "cid": slot.call_id})
                return
            if payload_type != slot.payload_type:
                slot.payload_type = payload_type
                slot.need_full = True
        slot.last_seen = now
        seq = struct.unpack_from("!H", packet, 30)[0]
        if slot.need_full and self.force_compressed and len(packet) > HEADER_LEN:
            # Pretend the client already has the template.
            self.force_compressed -= 1
            slot.need_full = False
            self.note({"ev": "full-skipped", "cid": slot.call_id, "seq": seq})
        if slot.need_full:
            slot.need_full = False
            if self.drop_full:
                self.drop_full -= 1
                self.note({"ev": "full-dropped", "cid": slot.call_id, "seq": seq,
                           "flow": slot.flow})
                return
            item = sub_packet_full(slot.call_id, packet)
            form = FULL
        else:
            item = sub_packet_compressed(slot.call_id, packet[HEADER_LEN:])
            form = SHORT if item[1] != 0x80 else LONG
        self.note({"ev": "mux", "cid": slot.call_id, "form": form, "seq": seq, "flow": slot.flow})
        self.append(item, now, packet)

    def append(self, item, now, packet):
        if len(item) > self.mtu:
            # Cannot fit even an empty frame: carry the packet whole.
            self.send_non_rtp(packet, "too large for a frame")
            return
        if len(self.frame) + len(item) > self.mtu:
            self.flush()
        if not self.frame:
            self.frame_started = now
        self.frame += item
        if len(self.frame) == self.mtu:
            self.flush()

    def flush(self):
        if not self.frame:
            return
        frame = bytes(self.frame)
        self.frame = bytearray()
        self.send(password_xor(frame, self.password), "frame")

    def deadline(self):
        """When the pending frame is due, or None."""
        if not self.frame:
            return None
        return self.frame_started + self.max_muxing_time

    def on_timer(self, now):
        due = self.deadline()
        if due is not None and now >= due:
            self.flush()


# ---------------------------------------------------------------------------
# TUN device
# ---------------------------------------------------------------------------

IFF_TUN = 0x0001
IFF_NO_PI = 0x1000


def _tunsetiff():
    machine = platform.machine()
    if machine.startswith(("mips", "ppc", "powerpc", "sparc")):
        write, dir_shift = 4, 29
    else:
        write, dir_shift = 1, 30
    return (write << dir_shift) | (4 << 16) | (ord("T") << 8) | 202   # _IOW('T', 202, int)


TUNSETIFF = _tunsetiff()


def open_tun(name):
    """Create (or attach to) a layer-3 TUN interface without packet info."""
    fd = os.open("/dev/net/tun", os.O_RDWR)
    try:
        ifr = struct.pack("16sH22x", name.encode(), IFF_TUN | IFF_NO_PI)
        fcntl.ioctl(fd, TUNSETIFF, ifr)
        os.set_blocking(fd, False)
    except OSError:
        os.close(fd)
        raise
    return fd


# ---------------------------------------------------------------------------
# The peer: sockets, event loop, journal, control socket
# ---------------------------------------------------------------------------

def parse_endpoint(text):
    """"HOST:PORT" or "[V6]:PORT" -> (family, sockaddr)."""
    if text.startswith("["):
        host, _, port = text[1:].partition("]:")
    else:
        host, _, port = text.rpartition(":")
    address = ipaddress.ip_address(host)
    if address.version == 6:
        return socket.AF_INET6, (host, int(port), 0, 0)
    return socket.AF_INET, (host, int(port))


def addr_text(addr):
    if addr is None:
        return None
    if ":" in addr[0]:
        return "[%s]:%d" % (addr[0], addr[1])
    return "%s:%d" % (addr[0], addr[1])


class LabPeer:
    def __init__(self, listen, alts=(), password=None, mode="normal", challenge_len=16,
                 challenge=None, rechallenges=1, max_declines=0, tun=None, control=None,
                 verbose=False, challenge_unknown=False, control_delay=0,
                 rechallenge_every=None, **mux):
        self.listen = listen
        self.alt_endpoints = list(alts)
        self.password = (password or "").encode() if isinstance(password, str) else (password or b"")
        self.tun_name = tun
        self.control_path = control
        self.verbose = verbose
        self.registrar = Registrar(self.password, mode, challenge_len, challenge, rechallenges,
                                   max_declines)
        self.mux = ServerHalf(self.send_to_client, self.write_tun, self.event,
                              password=self.password, **mux)
        self.journal = []
        self.sockets = {}          # name -> socket; "main", "alt0", ...
        self.tun_fd = None
        self.control = None        # the ControlServer
        self.last_source = None
        self.client = None         # the authorized client frames go to
        self.stopping = False
        self.wake_r = self.wake_w = None
        self.pending_signals = []
        self.counters = {}
        # A server that lost its state (restarted) challenges whoever sends
        # it traffic without being registered, at most once per interval.
        self.challenge_unknown = challenge_unknown
        self.challenge_interval = 0.5
        self.unknown_challenged = {}   # address -> time of the last such challenge
        self.burst = None              # a garbage burst in progress (see start_burst)
        # Replies to control messages held back this many seconds, as on a
        # WAN with a long round trip: (due time, datagram, address) in order.
        self.control_delay = control_delay / 1000.0
        self.delayed_replies = []
        # A server that re-challenges its authorized client every so many
        # seconds (None: never).
        self.rechallenge_every = rechallenge_every
        self.next_rechallenge = None
        # A network outage: until this time nothing is received or sent
        # (None: none); the state is kept.
        self.silent_until = None

    # -- journal ------------------------------------------------------------

    def _record(self, entry):
        entry["i"] = len(self.journal)
        entry["t"] = time.monotonic()
        self.journal.append(entry)
        if self.verbose:
            shown = dict(entry)
            if "hex" in shown and len(shown["hex"]) > 64:
                shown["hex"] = shown["hex"][:64] + "..."
            print(json.dumps(shown), file=sys.stderr, flush=True)

    def count(self, name, step=1):
        self.counters[name] = self.counters.get(name, 0) + step

    def event(self, fields):
        entry = {"kind": "ev"}
        entry.update(fields)
        self.count("ev:" + fields.get("ev", "?"))
        self._record(entry)

    # -- set-up -------------------------------------------------------------

    def open(self):
        family, addr = parse_endpoint(self.listen)
        self.sockets["main"] = self._udp(family, addr)
        for i, endpoint in enumerate(self.alt_endpoints):
            fam, alt = parse_endpoint(endpoint)
            self.sockets["alt%d" % i] = self._udp(fam, alt)
        if self.tun_name:
            self.tun_fd = open_tun(self.tun_name)
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_r, False)
        os.set_blocking(self.wake_w, False)
        if self.control_path:
            self.control = controlsock.ControlServer(self.control_path, self.command)

    @staticmethod
    def _udp(family, addr):
        sock = socket.socket(family, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        sock.bind(addr)
        sock.setblocking(False)
        return sock

    def install_signals(self):
        signal.set_wakeup_fd(self.wake_w)
        signal.signal(signal.SIGTERM, self._on_signal)
        signal.signal(signal.SIGINT, self._on_signal)
        signal.signal(signal.SIGUSR1, self._on_signal)

    def _on_signal(self, signum, _frame):
        self.pending_signals.append(signum)

    def close(self):
        for sock in list(self.sockets.values()):
            sock.close()
        self.sockets.clear()
        if self.control is not None:
            self.control.close()
            self.control = None
        if self.tun_fd is not None:
            os.close(self.tun_fd)
            self.tun_fd = None
        for fd in (self.wake_r, self.wake_w):
            if fd is not None:
                os.close(fd)
        self.wake_r = self.wake_w = None

    # -- sending ------------------------------------------------------------

    def silent(self):
        """Whether an outage (the silence command) is under way; its end is
        journalled once."""
        if self.silent_until is None:
            return False
        if time.monotonic() < self.silent_until:
            return True
        self.silent_until = None
        self.event({"ev": "silence-over"})
        return False

    def send_raw(self, dgram, to, via="main", what="raw"):
        if self.silent():
            self.count("silenced-tx")
            return False
        sock = self.sockets[via]
        try:
            sock.sendto(dgram, to)
        except OSError as exc:
            self.count("send-error")
            self._record({"kind": "tx-error", "via": via, "dst": addr_text(to), "what": what,
                          "errno": exc.errno})
            return False
        self.count("tx:" + what)
        self._record({"kind": "tx", "via": via, "dst": addr_text(to), "what": what,
                      "hex": dgram.hex()})
        return True

    def send_to_client(self, dgram, what):
        if self.client is None:
            self.count("no-client")
            self.event({"ev": "no-client", "what": what})
            if what == "frame":
                # The full forms in it reached nobody: every stream starts
                # again with one once there is a client (after a restart).
                for slot in self.mux.slots:
                    if slot is not None:
                        slot.need_full = True
            return
        self.send_raw(dgram, self.client, "main", what)

    def send_control_reply(self, dgram, to):
        if self.control_delay > 0:
            self.delayed_replies.append((time.monotonic() + self.control_delay, dgram, to))
            return
        self.send_raw(dgram, to, "main", "control")

    def send_delayed_replies(self, now):
        while self.delayed_replies and self.delayed_replies[0][0] <= now:
            _, dgram, to = self.delayed_replies.pop(0)
            self.send_raw(dgram, to, "main", "control")

    def write_tun(self, packet):
        if self.tun_fd is None:
            self.count("no-tun")
            return
        try:
            os.write(self.tun_fd, packet)
            self.count("tun-writes")
        except OSError as exc:
            self.count("tun-write-error")
            self.event({"ev": "tun-write-error", "errno": exc.errno, "len": len(packet)})

    # -- receiving ----------------------------------------------------------

    def on_datagram(self, via, dgram, src):
        if via == "moved-from" or self.silent():
            # The old address after a move, or an outage: dropped unseen
            # (counted only, so that a long outage does not fill the journal).
            self.count("dropped:" + ("moved-from" if via == "moved-from" else "silenced"))
            return
        self._record({"kind": "rx", "via": via, "src": addr_text(src), "hex": dgram.hex()})
        self.count("rx:" + via)
        if via != "main":
            return
        self.last_source = src
        kind = classify(dgram)
        if kind == "control":
            keyword = control_keyword(dgram)
            if keyword not in (REQUEST, DIGEST):
                self.event({"ev": "control-ignored", "hex": dgram[:24].hex()})
                return
            replies, notes = self.registrar.on_control(keyword, dgram, src)
            for note in notes:
                self.event(note)
            if src in self.registrar.authorized:
                self.client = src
            for reply in replies:
                self.send_control_reply(reply, src)
            return
        if src not in self.registrar.authorized:
            self.event({"ev": "unauthorized", "kind": kind, "src": addr_text(src)})
            if self.challenge_unknown:
                self.challenge_stranger(src)
            return
        self.client = src
        if kind == "frame":
            self.mux.on_frame(dgram)
        elif kind == "non-rtp":
            self.mux.on_non_rtp(dgram)
        elif kind == "recovery":
            self.mux.on_recovery(dgram)
        else:
            self.event({"ev": "runt", "len": len(dgram)})

    def drain_socket(self, via, sock):
        for _ in range(256):
            try:
                dgram, src = sock.recvfrom(65536)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as exc:
                self.event({"ev": "recv-error", "via": via, "errno": exc.errno})
                return
            self.on_datagram(via, dgram, src)

    def drain_tun(self):
        for _ in range(256):
            try:
                packet = os.read(self.tun_fd, 65536)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as exc:
                self.event({"ev": "tun-read-error", "errno": exc.errno})
                return
            self.count("tun-reads")
            self.mux.on_tun_packet(packet, time.monotonic())

    def challenge_stranger(self, src):
        now = time.monotonic()
        last = self.unknown_challenged.get(src)
        if last is not None and now - last < self.challenge_interval:
            return
        self.unknown_challenged[src] = now
        msg = self.registrar.challenge_for(src, fresh=True)
        self.event({"ev": "challenged", "challenge": self.registrar.outstanding[src].hex(),
                    "unprompted": True, "why": "unknown"})
        self.send_raw(msg, src, "main", "control")

    # -- garbage bursts -----------------------------------------------------

    def start_burst(self, to, via="main", count=1000, seed=1, rate=20000.0, min_len=0,
                    max_len=1500, protect=(), kinds=None):
        """Send `count` garbage datagrams (garbage_datagram) to `to`, paced at
        `rate` per second from the event loop.  Only the start and the end
        are journalled ("burst-start", "burst-done" with the counts)."""
        if self.burst is not None:
            raise RuntimeError("a burst is already running")
        self.burst = {"to": to, "via": via, "left": int(count), "sent": 0, "bytes": 0,
                      "errors": 0, "rng": random.Random(seed), "rate": float(rate),
                      "min_len": int(min_len), "max_len": int(max_len),
                      "protect": tuple(protect), "kinds": tuple(kinds) if kinds else None,
                      "started": time.monotonic(), "pending": None, "by_kind": {}}
        self.event({"ev": "burst-start", "count": int(count), "seed": seed, "via": via,
                    "dst": addr_text(to)})

    def serve_burst(self):
        """Send the datagrams of the running burst that are due."""
        b = self.burst
        if b is None:
            return
        sock = self.sockets[b["via"]]
        due = int((time.monotonic() - b["started"]) * b["rate"]) + 1 - b["sent"]
        for _ in range(max(0, min(due, 32, b["left"]))):
            if b["pending"] is None:
                kind = b["rng"].choice(b["kinds"]) if b["kinds"] else None
                b["pending"] = garbage_datagram(b["rng"], self.password, b["min_len"],
                                                b["max_len"], b["protect"], kind)
            kind, dgram = b["pending"]
            try:
                sock.sendto(dgram, b["to"])
            except (BlockingIOError, InterruptedError):
                return                      # the socket is full: try again later
            except OSError as exc:
                b["errors"] += 1
                b["last_errno"] = exc.errno
            else:
                b["bytes"] += len(dgram)
                b["by_kind"][kind] = b["by_kind"].get(kind, 0) + 1
            b["pending"] = None
            b["sent"] += 1
            b["left"] -= 1
        if b["left"] == 0:
            self.burst = None
            self.event({"ev": "burst-done", "sent": b["sent"], "bytes": b["bytes"],
                        "errors": b["errors"], "by_kind": b["by_kind"],
                        "seconds": time.monotonic() - b["started"]})

    # -- control socket -----------------------------------------------------

    def command(self, request):
        """One control command.  See PeerClient for the list."""
        cmd = request.get("cmd")
        if cmd == "ping":
            return {"ok": True, "pid": os.getpid(), "tun": self.tun_name,
                    "sockets": {k: addr_text(s.getsockname()) for k, s in self.sockets.items()}}
        if cmd == "journal":
            since = int(request.get("since", 0))
            return {"ok": True, "entries": self.journal[since:]}
        if cmd == "stats":
            return {"ok": True, "counters": self.counters, "client": addr_text(self.client),
                    "authorized": sorted(addr_text(a) for a in self.registrar.authorized),
                    "templates": sorted(self.mux.templates),
                    "calls": {s.call_id: s.flow for s in self.mux.slots if s is not None}}
        if cmd == "set":
            return self._set(request)
        if cmd == "send":
            to = self._target(request)
            via = request.get("via", "main")
            ok = self.send_raw(bytes.fromhex(request["hex"]), to, via, request.get("what", "raw"))
            return {"ok": ok}
        if cmd == "send_frame":
            # items: [[call id, "full" | "compressed" | "raw", hex], ...]
            frame = b""
            for call_id, form, data in request["items"]:
                data = bytes.fromhex(data)
                if form == "full":
                    frame += sub_packet_full(call_id, data)
                elif form == "compressed":
                    frame += sub_packet_compressed(call_id, data)
                else:
                    frame += data
            dgram = password_xor(frame, self.password)
            ok = self.send_raw(dgram, self._target(request), request.get("via", "main"), "frame")
            return {"ok": ok, "hex": dgram.hex()}
        if cmd == "challenge":
            to = self._target(request)
            msg = self.registrar.challenge_for(to, fresh=True)
            self.event({"ev": "challenged", "challenge": self.registrar.outstanding[to].hex(),
                        "unprompted": True})
            return {"ok": self.send_raw(msg, to, "main", "control"), "hex": msg.hex()}
        if cmd == "authorize":
            to = self._target(request)
            msg = self.registrar.authorize(to)
            self.client = to
            self.event({"ev": "authorized", "unprompted": True})
            return {"ok": self.send_raw(msg, to, "main", "control")}
        if cmd == "forget":
            self.mux.forget_templates()
            return {"ok": True}
        if cmd == "drop_full":
            self.mux.drop_full = int(request.get("count", 1))
            return {"ok": True}
        if cmd == "force_compressed":
            self.mux.force_compressed = int(request.get("count", 1))
            return {"ok": True}
        if cmd == "flush":
            self.mux.flush()
            return {"ok": True}
        if cmd == "trust":
            # Take an address as registered without any exchange (a server
            # that kept its registrations but lost everything else).
            to = self._target(request)
            self.registrar.authorized.add(to)
            self.client = to
            self.event({"ev": "trusted", "src": addr_text(to)})
            return {"ok": True}
        if cmd == "burst":
            self.start_burst(self._target(request), request.get("via", "main"),
                             request.get("count", 1000), request.get("seed", 1),
                             request.get("rate", 20000.0), request.get("min_len", 0),
                             request.get("max_len", 1500), request.get("protect", ()),
                             request.get("kinds"))
            return {"ok": True}
        if cmd == "quit":
            self.stopping = True
            return {"ok": True}
        if cmd == "restart":
            self.restart()
            return {"ok": True}
        if cmd == "move":
            self.move(request["to"], bool(request.get("forget", True)))
            return {"ok": True, "at": time.monotonic(),
                    "sockets": {k: addr_text(s.getsockname()) for k, s in self.sockets.items()}}
        if cmd == "silence":
            seconds = float(request["seconds"])
            now = time.monotonic()
            self.silent_until = now + seconds
            self.event({"ev": "silenced", "seconds": seconds})
            return {"ok": True, "at": now, "until": self.silent_until}
        return {"ok": False, "error": "unknown command %r" % cmd}

    def _target(self, request):
        if request.get("to"):
            return parse_endpoint(request["to"])[1]
        if self.last_source is None:
            raise ValueError("no client has spoken yet")
        return self.last_source

    def _set(self, request):
        reg = self.registrar
        if "mode" in request:
            reg.set_mode(request["mode"])
        if "password" in request:
            pw = request["password"]
            pw = pw.encode() if pw is not None else b""
            self.password = reg.password = self.mux.password = pw
        if "challenge_len" in request:
            reg.challenge_len = int(request["challenge_len"])
            reg.fixed_challenge = None
        if "challenge" in request:
            reg.fixed_challenge = (bytes.fromhex(request["challenge"])
                                   if request["challenge"] is not None else None)
        if "rechallenges" in request:
            reg.rechallenges = int(request["rechallenges"])
            reg.rechallenges_done.clear()
        if "max_declines" in request:
            reg.max_declines = int(request["max_declines"])
        if request.get("reset_declines"):
            reg.declines.clear()
        if "challenge_unknown" in request:
            self.challenge_unknown = bool(request["challenge_unknown"])
        for key in ("allow_ping", "allow_all"):
            if key in request:
                setattr(self.mux, key, bool(request[key]))
        if "max_muxing_time" in request:
            self.mux.max_muxing_time = float(request["max_muxing_time"])
        if "control_delay" in request:
            self.control_delay = float(request["control_delay"]) / 1000.0
        return {"ok": True}

    # -- event loop ---------------------------------------------------------

    def handle_signals(self):
        while True:
            try:
                if not os.read(self.wake_r, 64):
                    break
            except (BlockingIOError, InterruptedError):
                break
        signals, self.pending_signals = self.pending_signals, []
        for signum in signals:
            if signum == signal.SIGUSR1:
                self.mux.forget_templates()
            else:
                self.stopping = True

    def serve_forever(self):
        while not self.stopping:
            self.run_once()

    def run_once(self, max_wait=None):
        readers = [self.wake_r] + list(self.sockets.values())
        if self.tun_fd is not None:
            readers.append(self.tun_fd)
        if self.control is not None:
            readers.extend(self.control.readers())
        timeout = max_wait
        if self.burst is not None:
            self.serve_burst()
            if self.burst is not None:
                timeout = 0.001 if timeout is None else min(timeout, 0.001)
        due = self.mux.deadline()
        if self.delayed_replies:
            due = self.delayed_replies[0][0] if due is None else min(due, self.delayed_replies[0][0])
        if due is not None:
            left = max(0.0, due - time.monotonic())
            timeout = left if timeout is None else min(timeout, left)
        due = self.rechallenge_due()
        if due is not None:
            left = max(0.0, due - time.monotonic())
            timeout = left if timeout is None else min(timeout, left)
        try:
            ready, _, _ = select.select(readers, [], [], timeout)
        except InterruptedError:
            ready = []
        for obj in ready:
            if obj == self.wake_r:
                self.handle_signals()
            elif obj == self.tun_fd:
                self.drain_tun()
            elif self.control is not None and self.control.owns(obj):
                self.control.serve(obj)
            else:
                for via, sock in self.sockets.items():
                    if sock is obj:
                        self.drain_socket(via, sock)
                        break
        if self.pending_signals:
            self.handle_signals()
        self.send_delayed_replies(time.monotonic())
        self.mux.on_timer(time.monotonic())
        self.rechallenge_if_due(time.monotonic())

    # -- server habits ------------------------------------------------------

    def rechallenge_due(self):
        """When the authorized client is next challenged, or None."""
        if not self.rechallenge_every or self.client is None \
                or self.client not in self.registrar.authorized:
            self.next_rechallenge = None
            return None
        if self.next_rechallenge is None:
            self.next_rechallenge = time.monotonic() + self.rechallenge_every
        return self.next_rechallenge

    def rechallenge_if_due(self, now):
        due = self.rechallenge_due()
        if due is None or now < due:
            return
        self.next_rechallenge = now + self.rechallenge_every
        to = self.client
        msg = self.registrar.challenge_for(to, fresh=True)
        self.event({"ev": "challenged", "challenge": self.registrar.outstanding[to].hex(),
                    "unprompted": True, "why": "periodic"})
        self.send_raw(msg, to, "main", "control")

    def restart(self):
        """Forget everything, as a server that restarts does: registrations,
        challenges, templates, call slots and the pending frame.  The client
        is a stranger afterwards."""
        old = self.registrar
        self.registrar = Registrar(self.password, old.mode, old.challenge_len,
                                   old.fixed_challenge, old.rechallenges, old.max_declines)
        templates = len(self.mux.templates)
        self.mux.templates.clear()
        self.mux.slots = [None] * self.mux.max_call
        self.mux.frame = bytearray()
        self.client = None
        self.unknown_challenged.clear()
        self.next_rechallenge = None
        self.event({"ev": "restarted", "templates": templates})


    def move(self, endpoint, forget=True):
        """Serve at `endpoint` from now on, as a standby taking over at
        another address: what still reaches the old address is dropped
        unanswered, and with `forget` the state is gone as after restart()."""
        family, addr = parse_endpoint(endpoint)
        sock = self._udp(family, addr)
        old = self.sockets.pop("moved-from", None)
        if old is not None:
            old.close()
        self.sockets["moved-from"] = self.sockets["main"]
        self.sockets["main"] = sock
        self.event({"ev": "moved", "to": endpoint, "forget": forget})
        if forget:
            self.restart()


class PeerClient(controlsock.ControlClient):
    """Talks to a running peer's control socket.

    Commands (keyword arguments become JSON fields):
      ping                         -> pid, tun name, bound socket addresses
      journal(since=0)             -> entries from index `since`
      stats                        -> counters, client, templates, calls
      set(mode=, password=, challenge_len=, challenge=HEX, rechallenges=,
          max_declines=, reset_declines=, allow_ping=, allow_all=,
          max_muxing_time=, challenge_unknown=, control_delay=MS)
      send(hex=, via="main"|"alt0"..., to="HOST:PORT")
      send_frame(items=[[cid, "full"|"compressed"|"raw", HEX], ...])
      challenge(to=)               a fresh CHANLLANGE, unprompted
      authorize(to=)               AUTHORIZED, unprompted
      forget                       drop every ingress template
      drop_full(count=1)           lose the next full-form sub-packets
      force_compressed(count=1)    send compressed where a full form is due
      flush                        send the pending frame now
      trust(to=)                   take an address as registered, sending nothing
      burst(count=, seed=, rate=, min_len=, max_len=, protect=[cid...], kinds=[...],
            via=, to=)             garbage datagrams, paced; "burst-done" when sent
      restart                      forget registrations, templates, call slots
      move(to=HOST:PORT, forget=True)  serve at another address, the old one dropping
                                   everything; forget: as restart (-> at: its monotonic time)
      silence(seconds=)            receive and send nothing for a while, state kept
                                   (-> at, until: monotonic times)
      quit
    """


def build_arg_parser():
    p = argparse.ArgumentParser(
        description="Lab peer: the server's half of the tunnel (registration, frames, "
                    "recovery requests, non-RTP messages) for tests.")
    p.add_argument("--listen", required=True, metavar="HOST:PORT",
                   help="UDP address the client talks to ([V6]:PORT for IPv6)")
    p.add_argument("--alt", action="append", default=[], metavar="HOST:PORT",
                   help="a further UDP socket, to send from another address (repeatable)")
    p.add_argument("--password", default=None, help="shared password (none: no digest key, no XOR)")
    p.add_argument("--mode", default="normal", choices=REG_MODES, help="registration behaviour")
    p.add_argument("--challenge-len", type=int, default=16,
                   help="challenge bytes in a CHANLLANGE (271 makes a 283-byte datagram)")
    p.add_argument("--challenge", default=None, metavar="HEX", help="always send this challenge")
    p.add_argument("--rechallenges", type=int, default=1,
                   help="in rechallenge mode, how many right digests get a new challenge")
    p.add_argument("--max-declines", type=int, default=0,
                   help="stop answering an address after this many DECLINED (0: never)")
    p.add_argument("--tun", default=None, help="TUN interface to create for the server side")
    p.add_argument("--mtu", type=int, default=1472, help="largest frame sent to the client")
    p.add_argument("--max-muxing-time", type=float, default=0.02,
                   help="seconds a frame may wait for more sub-packets")
    p.add_argument("--rtp-timeout", type=float, default=60.0,
                   help="seconds of silence after which a call slot is free")
    p.add_argument("--max-call", type=int, default=255)
    p.add_argument("--sip-port", type=int, default=5060)
    p.add_argument("--allow-ping", action="store_true", help="forward ICMP to the client")
    p.add_argument("--allow-all", action="store_true", help="forward every non-RTP packet")
    p.add_argument("--control", default=None, metavar="PATH", help="Unix socket for commands")
    p.add_argument("--challenge-unknown", action="store_true",
                   help="challenge a client that sends traffic without being registered "
                        "(as a restarted server does)")
    p.add_argument("--control-delay", type=float, default=0, metavar="MS",
                   help="hold each reply to a control message back this many milliseconds")
    p.add_argument("--rechallenge-every", type=float, default=None, metavar="SEC",
                   help="challenge the authorized client again every SEC seconds")
    p.add_argument("-v", "--verbose", action="store_true", help="print the journal on stderr")
    return p


def main(argv=None):
    args = build_arg_parser().parse_args(argv)
    peer = LabPeer(args.listen, args.alt, password=args.password, mode=args.mode,
                   challenge_len=args.challenge_len,
                   challenge=bytes.fromhex(args.challenge) if args.challenge else None,
                   rechallenges=args.rechallenges, max_declines=args.max_declines,
                   tun=args.tun, control=args.control, verbose=args.verbose,
                   mtu=args.mtu, max_muxing_time=args.max_muxing_time,
                   rtp_timeout=args.rtp_timeout, max_call=args.max_call,
                   sip_port=args.sip_port, allow_ping=args.allow_ping, allow_all=args.allow_all,
                   challenge_unknown=args.challenge_unknown, control_delay=args.control_delay,
                   rechallenge_every=args.rechallenge_every)
    try:
        peer.open()
    except OSError as exc:
        print("labpeer: %s" % exc, file=sys.stderr)
        return 1
    peer.install_signals()
    try:
        peer.serve_forever()
    finally:
        peer.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
