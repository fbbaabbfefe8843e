"""The Wireshark dissector (wireshark/corvex.lua) under tshark: captures
written here from known datagrams of every kind, and one taken on the
client's WAN side while calls flow, decoded and compared with what was sent."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

from netlab import MediaLab, UdpSink, rtp_datagram, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "wireshark", "corvex.lua")
sys.path.insert(0, os.path.join(ROOT, "lab"))
import dissect  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark is not installed")

CLIENT, SERVER, PORT, CLIENT_PORT = "192.0.2.1", "192.0.2.2", 42000, 40001
PASSWORDS = {"secret": "secret", "none": "",
             "300-bytes": "".join(chr(0x21 + (i * 7) % 90) for i in range(300))}


# ---------------------------------------------------------------------------
# Datagrams and captures, built here from the wire format
# ---------------------------------------------------------------------------

def ipv4(src, dst, body, proto=17):
    header = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(body), 0x1234, 0, 64, proto,
                                   0, socket.inet_aton(src), socket.inet_aton(dst)))
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("!H", header, 10, ~total & 0xFFFF)
    return bytes(header) + body


def udp(src, dst, sport, dport, payload, checksum=0):
    return ipv4(src, dst, struct.pack("!HHHH", sport, dport, 8 + len(payload), checksum) + payload)


def media(seq, ts, payload, marker=0, pt=0, ssrc=0x51):
    rtp = struct.pack("!BBHII", 0x80, (marker << 7) | pt, seq, ts, ssrc) + payload
    return udp("10.1.0.1", "10.2.0.1", 4000, 6000, rtp, checksum=0xBEEF)


def full(call_id, packet):
    return bytes([call_id, 0]) + packet


def compressed(call_id, payload):
    n = len(payload)
    head = bytes([call_id, n]) if 2 <= n <= 127 else bytes([call_id, 0x80]) + struct.pack("!H", n)
    return head + payload


def password_xor(frame, password):
    key = password.encode()
    if not key:
        return frame
    cycle = min(len(key) % 256 or 256, len(key))
    return frame[:2] + bytes(b ^ key[i % cycle] for i, b in enumerate(frame[2:]))


def non_rtp(packet, pad):
    return b"\x00\x00" + pad + (bytes(b ^ pad[i % len(pad)] for i, b in enumerate(packet))
                                if pad else packet)


def up(payload):
    return udp(CLIENT, SERVER, CLIENT_PORT, PORT, payload)


def down(payload):
    return udp(SERVER, CLIENT, PORT, CLIENT_PORT, payload)


def write_pcap(path, packets):
    """Classic pcap, link type raw IPv4, one packet per 20 ms."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for i, packet in enumerate(packets):
            f.write(struct.pack("<IIII", 1000, i * 20000, len(packet), len(packet)) + packet)
    return path


def decode(path, fields, password, options=()):
    """One row per frame: {field: [values]}.  Fails on any Lua error."""
    cmd = ["tshark", "-n", "-r", str(path), "-X", "lua_script:" + SCRIPT,
           "-o", "rtp.heuristic_rtp:TRUE", "-o", "ip.check_checksum:TRUE",
           "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,"]
    if password:
        cmd += ["-o", "corvex.password:" + password]
    for field in ["_ws.expert.message"] + list(fields):
        cmd += ["-e", field]
    proc = subprocess.run(cmd + list(options), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "Lua" not in proc.stderr and "Lua Error" not in proc.stdout, proc.stderr + proc.stdout
    rows = []
    for line in proc.stdout.splitlines():
        values = line.split("\t")
        rows.append({name: (value.split(",") if value else [])
                     for name, value in zip(["expert"] + list(fields), values)})
    return rows


def ints(values):
    return [int(v, 0) for v in values]


# ---------------------------------------------------------------------------
# Known datagrams
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("password", list(PASSWORDS.values()), ids=list(PASSWORDS))
def test_every_kind_decodes_as_sent_and_compressed_packets_are_rebuilt(tmp_path, password):
    p = len(password) % 256
    pad = bytes((7 * i + 1) & 0xFF for i in range(p))
    challenge, digest = bytes(range(16)), bytes(range(100, 116))
    invite = udp("10.1.0.1", "10.2.0.1", 5060, 5060,
                 b"INVITE sip:bob@10.2.0.1 SIP/2.0\r\nCall-ID: 1\r\nCSeq: 1 INVITE\r\n\r\n",
                 checksum=0)
    g711, g729 = bytes(range(160)), bytes(range(20))
    call3 = media(65535, 5555, g711, marker=1)
    call4 = media(10, 99, g729, pt=18, ssrc=0x52)
    xor = lambda frame: password_xor(frame, password)  # noqa: E731
    datagrams = [
        up(b"\x00\x81REQUEST"),
        down(b"\x00\x81CHANLLANGE" + challenge),
        up(b"\x00\x81DIGEST" + digest),
        down(b"\x00\x81AUTHORIZED"),
        down(b"\x01\x81\x05\x14"),
        up(non_rtp(invite, pad)),
        # Template of call 3 from the full form, then seq + 1 and ts + 160
        # across short and long forms; call 4 keeps its own.
        up(xor(full(3, call3) + compressed(3, g729) + compressed(3, bytes(200)) + full(4, call4)
               + compressed(4, g729))),
        # The other direction has no template for call 3.
        down(xor(compressed(3, g729))),
        up(xor(compressed(3, g711))),
        # A new full form restarts the sequence from its own and ts from 0.
        up(xor(full(3, media(500, 7, g711)) + compressed(3, g711))),
    ]
    path = write_pcap(tmp_path / "kinds.pcap", datagrams)
    fields = ["corvex.kind", "corvex.direction", "corvex.keyword", "corvex.challenge",
              "corvex.digest", "corvex.call_id", "corvex.type", "corvex.pad", "corvex.form",
              "corvex.length", "corvex.no_template", "sip.Method", "rtp.seq", "rtp.timestamp",
              "rtp.marker", "rtp.ssrc", "udp.length", "rtp.payload"]
    rows = decode(path, fields, password)
    assert [r["corvex.kind"] for r in rows] == [["control"]] * 4 + [["recovery"], ["non-rtp"]] \
        + [["frame"]] * 4
    assert [r["corvex.direction"] for r in rows[:2]] == [["to server"], ["from server"]]
    assert [r["corvex.keyword"] for r in rows[:4]] == [["REQUEST"], ["CHANLLANGE"], ["DIGEST"],
                                                       ["AUTHORIZED"]]
    assert rows[1]["corvex.challenge"] == [challenge.hex()]
    assert rows[2]["corvex.digest"] == [digest.hex()]
    assert (ints(rows[4]["corvex.call_id"]), ints(rows[4]["corvex.type"])) == ([5], [0x14])
    assert rows[5]["corvex.pad"] == ([pad.hex()] if p else [])
    assert rows[5]["sip.Method"] == ["INVITE"]

    frame = rows[6]
    assert ints(frame["corvex.call_id"]) == [3, 3, 3, 4, 4]
    assert ints(frame["corvex.type"]) == [0, 20, 0x80, 0, 20]
    assert frame["corvex.form"] == ["full", "short", "long", "full", "short"]
    assert ints(frame["corvex.length"]) == [len(call3), 20, 200, len(call4), 20]
    assert ints(frame["rtp.seq"]) == [65535, 0, 1, 10, 11]
    assert ints(frame["rtp.timestamp"]) == [0, 160, 320, 0, 160]
    assert ints(frame["rtp.marker"]) == [1, 0, 0, 0, 0]
    assert ints(frame["rtp.ssrc"]) == [0x51] * 3 + [0x52] * 2
    # Outer UDP length, then the inner ones: rebuilt lengths follow the payload.
    assert ints(frame["udp.length"])[1:] == [len(call3) - 20, 40, 220, len(call4) - 20, 40]
    assert frame["rtp.payload"][1] == g729.hex() and frame["rtp.payload"][2] == bytes(200).hex()
    assert rows[7]["corvex.no_template"] and rows[7]["rtp.seq"] == []
    assert (ints(rows[8]["rtp.seq"]), ints(rows[8]["rtp.timestamp"])) == ([2], [480])
    assert (ints(rows[9]["rtp.seq"]), ints(rows[9]["rtp.timestamp"])) == ([500, 501], [0, 160])
    # Rebuilt IPv4 headers check out (the checksum is validated), and
    # nothing but the missing template is flagged.
    assert [r["expert"] for i, r in enumerate(rows) if i != 7] == [[]] * 9
    # A second pass over the capture (frames revisited) shows the same.
    assert decode(path, fields, password, ["-2"]) == rows


MALFORMED = [
    # (datagram payload, expert field, sub-packets shown before the fault)
    (b"\x07", "corvex.malformed.short", []),
    (b"\x01\x81", "corvex.malformed.short", []),
    (b"\x01\x81\x00\x14", "corvex.recovery.bad_call_id", []),
    (b"\x00\x00\x09\x09", "corvex.malformed.short", []),       # no room after a 2-byte pad
    (b"\x00\x05hello", "corvex.malformed.bad_call_id", []),
    (b"\x00\x90hello", "corvex.malformed.bad_type", []),         # the type is checked first
    (compressed(2, b"abcd") + b"\x00\x04abcd", "corvex.malformed.bad_call_id", ["short"]),
    (compressed(2, b"abcd") + b"\x05\x90xyz", "corvex.malformed.bad_type", ["short"]),
    (b"\x02\x01x", "corvex.malformed.bad_type", []),             # n = 1 is rejected
    (compressed(2, b"abcd") + b"\x03", "corvex.malformed.truncated", ["short"]),
    (b"\x02\x14" + bytes(10), "corvex.malformed.truncated", []),
    (b"\x02\x80\x00", "corvex.malformed.truncated", []),
    (b"\x02\x00\x45\x00\x00", "corvex.malformed.truncated", []),
    (full(2, media(1, 1, bytes(60)))[:70], "corvex.malformed.truncated", []),
    (b"\x02\x00\x45\x00\x00\x1e" + bytes(26), "corvex.malformed.short_full", []),
]


def test_malformed_datagrams_are_flagged_and_the_walk_stops_there(tmp_path):
    password = "pw"
    # Frames travel with the password XOR; the other kinds as they are.
    datagrams = [up(d if d[:2] in (b"\x00\x00", b"\x00\x81", b"\x01\x81")
                    else password_xor(d, password)) for d, _, _ in MALFORMED]
    path = write_pcap(tmp_path / "malformed.pcap", datagrams)
    experts = sorted({e for _, e, _ in MALFORMED})
    rows = decode(path, ["corvex.form"] + experts, password)
    assert len(rows) == len(MALFORMED)
    for (d, expert, forms), row in zip(MALFORMED, rows):
        assert [e for e in experts if row[e]] == [expert], d.hex()
        assert row["corvex.form"] == forms, d.hex()
        # One fault each; the compressed sub-packets before it have no template.
        assert len(row["expert"]) == 1 + forms.count("short"), d.hex()


# ---------------------------------------------------------------------------
# A capture of a real run
# ---------------------------------------------------------------------------

COUNT = 30


def pcap_records(path):
    """How many whole packet records a classic pcap file holds so far."""
    with open(path, "rb") as f:
        data = f.read()
    count, at = 0, 24
    while at + 16 <= len(data):
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
        if at > len(data):
            break
        count += 1
    return count


class Capture:
    """dumpcap on one interface of a namespace, writing a classic pcap."""

    def __init__(self, ns, interface, path):
        self.path = str(path)
        self.err = open(self.path + ".log", "w")
        self.proc = subprocess.Popen(ns.exec_prefix() + ["dumpcap", "-q", "-P", "-i", interface,
                                                         "-f", "udp port %d" % PORT, "-w",
                                                         self.path],
                                     stdout=subprocess.DEVNULL, stderr=self.err,
                                     stdin=subprocess.DEVNULL)
        # The file header is written once the interface is open.
        wait_for(lambda: os.path.exists(self.path) and os.path.getsize(self.path) >= 24
                 or self.proc.poll() is not None, 10, "dumpcap to start")
        assert self.proc.poll() is None, open(self.path + ".log").read()

    def wait(self, count):
        """Packets reach the file in blocks: wait until it holds `count`."""
        wait_for(lambda: pcap_records(self.path) >= count, 10, "%d packets in the capture" % count)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()


def test_capture_of_a_real_call_shows_the_sent_streams(net, tmp_path):
    if shutil.which("dumpcap") is None:
        pytest.skip("dumpcap is not installed")
    password = "wan-secret"
    # As the lab runs it: no idle REQUEST (and re-challenge, during which the
    # client drops frames) between packets paced like a phone's.
    net.start(net.command, password=password,
              client_items=[("waiting_time", 20000), ("max_idle_cycle", 1499)])
    m = MediaLab
    capture = Capture(net.cli, "wan0", tmp_path / "wan.pcap")
    mark = net.peer.mark()
    try:
        flows = [(net.lan, m.LAN, 40000, m.HOST, 50000, 0, 160, 0x7001, 1000),
                 (net.host, m.HOST, 50010, m.LAN, 40010, 18, 20, 0x7002, 65530)]
        sinks, socks = [], []
        for ns, src, sport, dst, dport, pt, size, ssrc, seq0 in flows:
            sock = net.lab.socket(ns)
            sock.bind((src, sport))
            socks.append(sock)
            sinks.append(UdpSink(net.lab, net.host if dst == m.HOST else net.lan, dst, dport))
        sip = net.lab.socket(net.lan)
        sip.bind((m.LAN, 5060))
        sip.sendto(b"OPTIONS sip:host SIP/2.0\r\nCSeq: 1 OPTIONS\r\n\r\n", (m.HOST, 5060))
        for k in range(COUNT):
            for sock, (_, _, _, dst, dport, pt, size, ssrc, seq0) in zip(socks, flows):
                sock.sendto(rtp_datagram(pt, seq0 + k, 999 * k, ssrc, bytes([k]) * size),
                            (dst, dport))
            time.sleep(0.02)    # a phone's pacing, not a readiness wait
        for sink in sinks:
            sink.wait(COUNT, what="RTP packets")
        net.peer.wait_received(1, since=mark, what="the SIP message",
                               match=lambda d: d[:2] == b"\x00\x00")
        capture.wait(len(net.peer.received(since=mark)) + len(net.peer.sent(since=mark)))
    finally:
        capture.stop()

    rows = decode(capture.path, ["rtp.ssrc", "rtp.seq", "rtp.timestamp", "sip.Method"], password)
    assert any(r["sip.Method"] == ["OPTIONS"] for r in rows)
    for *_, ssrc, seq0 in flows:
        seqs, stamps = [], []
        for r in rows:
            for s, q, t in zip(ints(r["rtp.ssrc"]), ints(r["rtp.seq"]), ints(r["rtp.timestamp"])):
                if s == ssrc:
                    seqs.append(q)
                    stamps.append(t)
        assert seqs == [(seq0 + k) & 0xFFFF for k in range(COUNT)], hex(ssrc)
        assert stamps == [160 * k for k in range(COUNT)], hex(ssrc)
    assert not [r["expert"] for r in rows if r["expert"]]
    streams = {s["ssrc"]: s for s in dissect.rtp_streams(capture.path, password)}
    for *_, ssrc, _ in flows:
        assert (streams[ssrc]["packets"], streams[ssrc]["lost"]) == (COUNT, 0), streams


def test_streams_of_calls_sharing_frames_keep_their_own_addresses(tmp_path):
    # Every packet of a frame reaches tshark's stream tap with the addresses of
    # the frame's last inner packet; each stream must still be reported once.
    password = "secret"
    calls = [(1, "10.1.0.1", 4000, "10.2.0.1", 6000, 0x101, 100),
             (2, "10.1.0.2", 4002, "10.2.0.2", 6002, 0x102, 65530),   # wraps
             (3, "10.1.0.3", 4004, "10.2.0.3", 6004, 0x103, 7)]
    sent, datagrams = {c: 0 for c in calls}, []
    for k in range(20):
        frame = b""
        # Frame 0 carries the full forms; then two or three calls per frame,
        # in turn, a call now and then twice in one frame.
        for c in (calls if k % 3 == 0 else calls[k % 3 - 1:] + calls[:1]) * (1 + (k % 5 == 4)):
            call_id, src, sport, dst, dport, ssrc, seq0 = c
            if k == 0:
                rtp = struct.pack("!BBHII", 0x80, 0, seq0, 0, ssrc) + bytes(20)
                frame += full(call_id, udp(src, dst, sport, dport, rtp))
            else:
                frame += compressed(call_id, bytes([k]) * 20)
            sent[c] += 1
        datagrams.append(up(password_xor(frame, password)))
    path = write_pcap(tmp_path / "shared.pcap", datagrams)
    streams = dissect.rtp_streams(str(path), password)
    got = {(s["src"], s["src_port"], s["dst"], s["dst_port"], s["ssrc"]): (s["packets"], s["lost"])
           for s in streams}
    assert len(streams) == len(got)
    assert got == {c[1:6]: (sent[c], 0) for c in calls}
