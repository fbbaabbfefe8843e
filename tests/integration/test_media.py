"""Media end to end: a LAN host, the client (the real binary and its TUN
device), the lab peer with a TUN device of its own, and a host behind it,
each in a namespace of this run.  Also checks the lab peer itself against
the worked examples of the frame format, since the end-to-end tests lean on
it."""
import signal
import socket
import struct
import time

import pytest

from netlab import MediaLab, UdpSink, ipv4_header_checksum_ok, labpeer, wait_for

COUNT = 20


# ---------------------------------------------------------------------------
# The lab peer on its own
# ---------------------------------------------------------------------------

def ip_udp_rtp(src, dst, sport, dport, payload_type, seq, ts, ssrc, payload, ttl=64):
    """A whole IPv4/UDP/RTP packet, built here independently of the peer."""
    rtp = struct.pack("!BBHII", 0x80, payload_type, seq, ts, ssrc) + payload
    udp = struct.pack("!HHHH", sport, dport, 8 + len(rtp), 0x1234) + rtp
    header = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0x4242, 0, ttl, 17, 0,
                                   socket.inet_aton(src), socket.inet_aton(dst)))
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("!H", header, 10, ~total & 0xFFFF)
    return bytes(header) + udp


def test_peer_sub_packets_follow_the_worked_examples():
    payload160 = bytes(range(160))
    assert labpeer.sub_packet_compressed(1, payload160) == b"\x01\x80\x00\xa0" + payload160
    assert labpeer.sub_packet_compressed(3, bytes(20)) == b"\x03\x14" + bytes(20)
    packet = ip_udp_rtp("10.0.0.1", "10.0.0.2", 4000, 6000, 0, 7, 8, 9, bytes(160))
    assert labpeer.sub_packet_full(3, packet) == b"\x03\x00" + packet
    assert labpeer.sub_packet_compressed(5, bytes(127))[:2] == b"\x05\x7f"
    assert labpeer.sub_packet_compressed(5, bytes(128))[:4] == b"\x05\x80\x00\x80"
    # One payload byte goes long: type byte 0x01 is no valid form.
    assert labpeer.sub_packet_compressed(5, b"\xaa") == b"\x05\x80\x00\x01\xaa"


def test_peer_password_xor_keeps_the_head_and_runs_across_sub_packets():
    frame = b"\x03\x14" + bytes(20) + b"\x04\x14" + bytes(20)
    out = labpeer.password_xor(frame, b"abc")
    assert out[:2] == b"\x03\x14"
    assert out[2:5] == b"abc" and out[5:8] == b"abc"
    # The second sub-packet's call id is byte 22: key index (22 - 2) % 3 = 2.
    assert out[22] == 0x04 ^ ord("c")
    assert labpeer.password_xor(out, b"abc") == frame
    assert labpeer.password_xor(frame, b"") == frame
    # 256 bytes: the key index wraps at 256, the whole password is used.
    key = bytes(range(256))
    long_frame = bytes(2 + 300)
    assert labpeer.password_xor(long_frame, key)[2:] == (key + key)[:300]
    # 300 bytes: only the first 300 mod 256 = 44 bytes are the key.
    key300 = bytes((i * 3) & 0xFF for i in range(300))
    assert labpeer.password_xor(long_frame, key300)[2:] == (key300[:44] * 7)[:300]


def test_peer_rebuilds_seq_plus_one_ts_plus_160_and_a_valid_checksum():
    packet = ip_udp_rtp("10.0.0.1", "10.0.0.2", 4000, 6000, 18, 65535, 5000, 77, bytes(20))
    frame = (labpeer.sub_packet_full(3, packet) + labpeer.sub_packet_compressed(3, b"x" * 20)
             + labpeer.sub_packet_compressed(3, b"y" * 200))
    written, sent = [], []
    half = labpeer.ServerHalf(lambda d, w: sent.append(d), written.append, lambda e: None)
    half.on_frame(frame)
    assert sent == []
    first, second, third = written
    assert first[26:28] == b"\x00\x00" and first[32:36] == bytes(4)
    assert first[:26] == packet[:26] and first[36:] == packet[36:]
    for rebuilt, n, k in ((second, 20, 1), (third, 200, 2)):
        assert len(rebuilt) == n + 40
        assert struct.unpack_from("!H", rebuilt, 2)[0] == n + 40
        assert struct.unpack_from("!H", rebuilt, 24)[0] == n + 20
        assert struct.unpack_from("!H", rebuilt, 30)[0] == (65535 + k) & 0xFFFF
        assert struct.unpack_from("!I", rebuilt, 32)[0] == 160 * k
        assert ipv4_header_checksum_ok(rebuilt[:20])
    # Unknown call id: a recovery request, and the walk goes on.
    half.on_frame(labpeer.sub_packet_compressed(9, bytes(20)) + labpeer.sub_packet_full(4, packet))
    assert sent == [b"\x01\x81\x09\x14"]
    assert len(written) == 4


def test_peer_egress_then_ingress_round_trip_and_recovery():
    frames, written = [], []
    sender = labpeer.ServerHalf(lambda d, w: frames.append(d), None, lambda e: None,
                                password=b"pw", mtu=300)
    receiver = labpeer.ServerHalf(None, written.append, lambda e: None, password=b"pw")
    packets = [ip_udp_rtp("10.0.0.1", "10.0.0.2", 4000, 6000, 0, 100 + k, 0, 5, bytes([k]) * 160)
               for k in range(4)]
    for k, packet in enumerate(packets):
        sender.on_tun_packet(packet, now=float(k) * 0.001)
    sender.flush()
    assert all(len(f) <= 300 for f in frames)
    for f in frames:
        receiver.on_frame(f)
    assert [w[40:] for w in written] == [p[40:] for p in packets]
    # A recovery request makes the next packet go whole.
    sender.on_recovery(b"\x01\x81\x01\x80")
    sender.on_tun_packet(packets[0], now=1.0)
    sender.flush()
    items, error = labpeer.walk_frame(labpeer.password_xor(frames[-1], b"pw"))
    assert error is None and [i.form for i in items] == ["full"]
    # Non-RTP messages: pad of the password's length, unchanged with none.
    pad = b"\x11\x22"
    message = labpeer.non_rtp_message(b"hello world", pad)
    assert message[:4] == b"\x00\x00\x11\x22" and len(message) == 2 + 2 + 11
    assert labpeer.open_non_rtp(message, 2) == b"hello world"
    assert labpeer.non_rtp_message(b"abc", b"") == b"\x00\x00abc"


# ---------------------------------------------------------------------------
# End to end
# ---------------------------------------------------------------------------

class Stream:
    """One direction of one call: RTP packets of a fixed size from a phone's
    socket, with sequence numbers from seq0 and timestamps that do not step
    by 160 (so a receiver that passed them through would be caught)."""

    def __init__(self, net, ns, src, sport, dst, dport, payload_type, size, ssrc):
        self.src, self.sport, self.dst, self.dport = src, sport, dst, dport
        self.payload_type, self.size, self.ssrc = payload_type, size, ssrc
        self.seq0 = (ssrc * 7919) & 0xFFFF
        self.sock = net.lab.socket(ns)
        self.sock.bind((src, sport))
        self.next = 0

    def payload(self, k):
        body = struct.pack("!II", self.ssrc, k)
        return (body * ((self.size - 40) // 8 + 1))[:self.size - 40]

    def send(self, k=None):
        k = self.next if k is None else k
        self.next = k + 1
        rtp = struct.pack("!BBHII", 0x80, self.payload_type, (self.seq0 + k) & 0xFFFF,
                          (12345 + 240 * k) & 0xFFFFFFFF, self.ssrc) + self.payload(k)
        self.sock.sendto(rtp, (self.dst, self.dport))

    def flow(self):
        return "%s:%d>%s:%d" % (self.src, self.sport, self.dst, self.dport)


def check_rtp(stream, packets, first_k=0, seq_base=None):
    """The packets arrived in order, one per k from first_k, with rebuilt
    headers: the first as sent but with timestamp and UDP checksum 0, then
    sequence + 1 and timestamp + 160 each."""
    seq_base = stream.seq0 + first_k if seq_base is None else seq_base
    for i, packet in enumerate(packets):
        k = first_k + i
        where = "%s packet %d" % (stream.flow(), k)
        assert len(packet) == stream.size, where
        assert packet[0] == 0x45 and packet[9] == 17, where
        assert struct.unpack_from("!H", packet, 2)[0] == stream.size, where
        assert ipv4_header_checksum_ok(packet[:20]), where
        assert socket.inet_ntoa(packet[12:16]) == stream.src, where
        assert socket.inet_ntoa(packet[16:20]) == stream.dst, where
        sport, dport, udp_len, udp_sum = struct.unpack_from("!HHHH", packet, 20)
        assert (sport, dport) == (stream.sport, stream.dport), where
        assert udp_len == stream.size - 20, where
        assert udp_sum == 0, where
        v, pt, seq, ts, ssrc = struct.unpack_from("!BBHII", packet, 28)
        assert (v, pt, ssrc) == (0x80, stream.payload_type, stream.ssrc), where
        assert packet[40:] == stream.payload(k), where
        assert seq == (seq_base + i) & 0xFFFF, where
        assert ts == 160 * i, where


def send_rounds(streams, count):
    for _ in range(count):
        for s in streams:
            s.send()
        time.sleep(0.001)   # pacing like a phone's, not a readiness wait


def udp_checksum_ok(packet):
    src, dst = packet[12:16], packet[16:20]
    udp = packet[20:]
    pseudo = src + dst + struct.pack("!BBH", 0, 17, len(udp))
    data = pseudo + udp + (b"\x00" if len(udp) % 2 else b"")
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total == 0xFFFF


PASSWORDS = {"secret": "secret", "none": None, "empty": "",
             "300-bytes": "".join(chr(0x21 + (i * 7) % 90) for i in range(300))}


@pytest.mark.parametrize("password", list(PASSWORDS), ids=list(PASSWORDS))
def test_rtp_of_several_calls_crosses_both_ways_with_rebuilt_headers(net, password):
    net.start(net.command, password=PASSWORDS[password])
    m = MediaLab
    streams = [
        Stream(net, net.lan, m.LAN, 40000, m.HOST, 50000, 0, 200, 0x1001),    # G.711
        Stream(net, net.lan, m.LAN, 40002, m.HOST, 50002, 18, 60, 0x1002),    # G.729
        Stream(net, net.lan, m.LAN, 40004, m.HOST, 50004, 8, 200, 0x1003),
        Stream(net, net.host, m.HOST, 50010, m.LAN, 40010, 0, 200, 0x2001),
        Stream(net, net.host, m.HOST, 50012, m.LAN, 40012, 18, 60, 0x2002),
        Stream(net, net.host, m.HOST, 50014, m.LAN, 40014, 18, 60, 0x2003),
    ]
    sinks = [UdpSink(net.lab, net.host if s.dst == m.HOST else net.lan, s.dst, s.dport)
             for s in streams]
    send_rounds(streams, COUNT)
    for stream, sink in zip(streams, sinks):
        packets = sink.wait(COUNT, what="RTP packets of " + stream.flow())
        check_rtp(stream, packets[:COUNT])
    # The client compressed its streams: one full form each, then the
    # short form for 20-byte payloads and the long form for 160 bytes.
    subs = net.peer.events(ev="sub")
    for stream in streams[:3]:
        forms = [e["form"] for e in subs if e.get("flow") == stream.flow()]
        expected = "short" if stream.size == 60 else "long"
        assert forms == ["full"] + [expected] * (COUNT - 1), stream.flow()
    call_ids = {e["cid"] for e in subs}
    assert len(call_ids) == 3
    frames = client_frames(net.peer)
    assert max(len(f) for f in frames) <= 1472
    assert len(frames) < len(subs)      # sub-packets of several calls share frames
    assert not net.peer.events(ev="frame-error")
    assert not net.peer.sent(what="recovery")


@pytest.mark.parametrize("password", ["sip-pw", None], ids=["password", "no-password"])
def test_sip_crosses_whole_both_ways_and_other_udp_does_not(net, password):
    net.start(net.command, password=password)
    m = MediaLab
    lan_sip = net.lab.socket(net.lan)
    lan_sip.bind((m.LAN, 5060))
    host_sip = net.lab.socket(net.host)
    host_sip.bind((m.HOST, 5060))
    lan_other = net.lab.socket(net.lan)
    lan_other.bind((m.LAN, 40100))
    host_sink = UdpSink(net.lab, net.host, m.HOST, 5060, bind=False)
    host_other = UdpSink(net.lab, net.host, m.HOST, 7000)
    lan_sink = UdpSink(net.lab, net.lan, m.LAN, 5060, bind=False)
    lan_sink_other = UdpSink(net.lab, net.lan, m.LAN, 40100, bind=False)

    invite = b"INVITE sip:bob@host SIP/2.0\r\nVia: SIP/2.0/UDP lan\r\n\r\n" + b"v=0\r\n" * 40
    lan_other.sendto(b"not signalling", (m.HOST, 7000))     # dropped by the filter
    lan_sip.sendto(invite, (m.HOST, 5060))                  # from and to 5060
    lan_other.sendto(b"REGISTER from a high port", (m.HOST, 5060))   # to 5060 only
    host_sip.sendto(b"SIP/2.0 200 OK\r\n\r\n", (m.LAN, 5060))
    host_sip.sendto(b"SIP/2.0 100 Trying\r\n\r\n", (m.LAN, 40100))   # from 5060 only

    at_host = host_sink.wait(2, what="SIP at the host")
    at_lan = lan_sink.wait(1, what="SIP at the LAN host") + lan_sink_other.wait(1)
    payloads = sorted(p[28:] for p in at_host)
    assert payloads == sorted([invite, b"REGISTER from a high port"])
    assert sorted(p[28:] for p in at_lan) == sorted([b"SIP/2.0 200 OK\r\n\r\n",
                                                      b"SIP/2.0 100 Trying\r\n\r\n"])
    # Carried whole: the senders' UDP checksums still hold.
    for packet in at_host + at_lan:
        assert struct.unpack_from("!H", packet, 26)[0] != 0
        assert udp_checksum_ok(packet)
        assert ipv4_header_checksum_ok(packet[:20])
    assert host_other.drain() == []
    # As non-RTP messages behind a pad as long as the password.
    messages = [d for _, d, _ in net.peer.received() if d[:2] == b"\x00\x00"]
    pad = len(password or "")
    sizes = sorted(len(d) for d in messages)
    assert sizes == sorted(2 + pad + len(p) for p in at_host)
    if not pad:
        # No pad, no XOR: the packet as it left the LAN host, whose TTL and
        # header checksum the server namespace has changed since.
        def unrouted(packet):
            return packet[:8] + packet[9:10] + packet[12:]
        assert sorted(unrouted(d[2:]) for d in messages) == sorted(unrouted(p) for p in at_host)
    assert len(net.peer.events(ev="non-rtp-in")) == 2


def test_rtp_looking_packet_on_the_sip_port_goes_the_rtp_way(net):
    net.start(net.command, password="x")
    m = MediaLab
    stream = Stream(net, net.lan, m.LAN, 5060, m.HOST, 5060, 0, 200, 0x3001)
    sink = UdpSink(net.lab, net.host, m.HOST, 5060)
    send_rounds([stream], 3)
    check_rtp(stream, sink.wait(3)[:3])
    forms = [e["form"] for e in net.peer.events(ev="sub")]
    assert forms == ["full", "long", "long"]
    assert not net.peer.events(ev="non-rtp-in")


def icmp_echo(ident, seq, data=b"corvex-lab"):
    header = struct.pack("!BBHHH", 8, 0, 0, ident, seq) + data
    total = sum(struct.unpack("!%dH" % (len(header) // 2), header + b"\x00" * (len(header) % 2)))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return struct.pack("!BBHHH", 8, 0, ~total & 0xFFFF, ident, seq) + data


@pytest.mark.parametrize("allow_ping", [1, 0])
def test_ping_crosses_only_with_allow_ping(net, allow_ping):
    net.start(net.command, client_items=[("allow_ping", allow_ping)])
    m = MediaLab
    lan_icmp = net.lab.socket(net.lan, socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    lan_icmp.setblocking(False)
    host_icmp = net.lab.socket(net.host, socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    host_icmp.setblocking(False)
    lan_icmp.sendto(icmp_echo(0x4c41, 1), (m.HOST, 0))

    def icmp_types(sock, src):
        seen = []
        while True:
            try:
                packet = sock.recv(65536)
            except BlockingIOError:
                return seen
            if socket.inet_ntoa(packet[12:16]) == src:
                seen.append(packet[20])

    if allow_ping:
        replies = []
        wait_for(lambda: replies.extend(icmp_types(lan_icmp, m.HOST)) or 0 in replies, 10,
                 "the echo reply at the LAN host")
        assert 8 in icmp_types(host_icmp, m.LAN)
        assert [e for e in net.peer.events(ev="non-rtp-in") if e["proto"] == 1]
    else:
        # A SIP packet sent after the echo request shows the path is open
        # and that the request had its chance.
        sip = net.lab.socket(net.lan)
        sip.bind((m.LAN, 5060))
        sink = UdpSink(net.lab, net.host, m.HOST, 5060)
        sip.sendto(b"OPTIONS sip:host SIP/2.0\r\n\r\n", (m.HOST, 5060))
        sink.wait(1, what="the SIP marker")
        assert icmp_types(host_icmp, m.LAN) == []
        assert [e for e in net.peer.events(ev="non-rtp-in") if e["proto"] == 1] == []


def test_peer_forgetting_its_templates_gets_a_full_packet_next(net):
    # A very long rtp_timeout: the recovery request must make the call count
    # as expired whatever the loop clock reads.
    net.start(net.command, password="recover",
              client_items=[("rtp_timeout", 2147483647)])
    m = MediaLab
    stream = Stream(net, net.lan, m.LAN, 41000, m.HOST, 51000, 18, 60, 0x4001)
    sink = UdpSink(net.lab, net.host, m.HOST, 51000)
    send_rounds([stream], 5)
    check_rtp(stream, sink.wait(5)[:5])
    call_id = net.peer.events(ev="sub")[0]["cid"]

    mark = net.peer.mark()
    net.peer.proc.send_signal(signal.SIGUSR1)       # the peer forgets its templates
    net.peer.wait_events(1, "forgot", since=mark)
    stream.send()                                       # k = 5: lost, asked for
    sent = wait_for(lambda: net.peer.sent(mark, what="recovery"), 10, "the peer's recovery request")
    assert sent[0][1] == bytes([0x01, 0x81, call_id, 0x14])
    send_rounds([stream], 4)                            # k = 6 .. 9
    packets = sink.wait(9)[5:]
    assert len(packets) == 4
    # The first packet after the request came whole: the template restarts
    # from its own sequence number and timestamp 0.
    check_rtp(stream, packets, first_k=6)
    forms = [e["form"] for e in net.peer.events(mark, "sub")]
    assert forms[0] == "short"          # the one without a template
    assert forms[1:] == ["full", "short", "short", "short"]


def test_client_answers_an_unknown_call_id_with_a_recovery_request(net):
    password = "unknown"
    net.start(net.command, password=password)
    m = MediaLab
    sink = UdpSink(net.lab, net.lan, m.LAN, 40020)
    whole = ip_udp_rtp(m.HOST, m.LAN, 50020, 40020, 0, 1234, 999, 0x5001, bytes(range(20)))
    mark = net.peer.mark()
    net.peer.call("send_frame", items=[[77, "compressed", bytes(20).hex()],
                                       [78, "full", whole.hex()]])
    got = net.peer.wait_received(1, since=mark, what="the recovery request",
                                 match=lambda d: d[:2] == b"\x01\x81")
    assert got[0][1] == b"\x01\x81\x4d\x14"
    # The sub-packet after the unknown one was still handled.
    packet = sink.wait(1, what="the full packet after the unknown call id")[0]
    assert packet[28:] == whole[28:32] + bytes(4) + whole[36:]
    assert struct.unpack_from("!H", packet, 26)[0] == 0


def test_lost_full_packet_is_recovered_by_the_client_request(net):
    net.start(net.command, password="lost")
    m = MediaLab
    stream = Stream(net, net.host, m.HOST, 50030, m.LAN, 40030, 18, 60, 0x6001)
    sink = UdpSink(net.lab, net.lan, m.LAN, 40030)
    net.peer.call("drop_full", count=1)
    mark = net.peer.mark()
    stream.send()                                    # k = 0: its full form is lost
    net.peer.wait_events(1, "full-dropped", since=mark)
    stream.send()                                    # k = 1: no template at the client
    got = net.peer.wait_received(1, since=mark, what="the client's recovery request",
                                 match=lambda d: d[:2] == b"\x01\x81")
    call_id = net.peer.events(mark, "full-dropped")[0]["cid"]
    assert got[0][1] == bytes([0x01, 0x81, call_id, 0x14])
    net.peer.wait_events(1, "recovery-in", since=mark)
    send_rounds([stream], 4)                         # k = 2 .. 5, the first one whole
    packets = sink.wait(4)
    check_rtp(stream, packets[:4], first_k=2)
    mux = [e["form"] for e in net.peer.events(mark, "mux")]
    assert mux == ["short", "full", "short", "short", "short"]


def client_frames(peer, since=0):
    return [d for _, d, _ in peer.received(since) if labpeer.classify(d) == "frame"]


def test_frames_never_exceed_the_configured_mtu(net):
    net.start(net.command, password="mtu", client_items=[("mtu", 400)])
    m = MediaLab
    streams = [Stream(net, net.lan, m.LAN, 40050, m.HOST, 50050, 0, 200, 0x9001),
               Stream(net, net.lan, m.LAN, 40052, m.HOST, 50052, 18, 60, 0x9002)]
    sinks = [UdpSink(net.lab, net.host, s.dst, s.dport) for s in streams]
    send_rounds(streams, COUNT)
    for stream, sink in zip(streams, sinks):
        check_rtp(stream, sink.wait(COUNT)[:COUNT])
    frames = client_frames(net.peer)
    assert frames and max(len(f) for f in frames) <= 400
    # Several sub-packets share a frame.
    assert len(frames) < 2 * COUNT


def test_one_byte_payload_goes_in_the_long_form_and_survives(net):
    net.start(net.command, password="tiny")
    m = MediaLab
    stream = Stream(net, net.lan, m.LAN, 40060, m.HOST, 50060, 18, 41, 0xA001)
    sink = UdpSink(net.lab, net.host, m.HOST, 50060)
    send_rounds([stream], 4)
    check_rtp(stream, sink.wait(4)[:4])
    subs = [(e["form"], e.get("n")) for e in net.peer.events(ev="sub")]
    assert subs == [("full", None), ("long", 1), ("long", 1), ("long", 1)]


def test_payload_type_change_sends_a_full_packet_under_the_same_call(net):
    net.start(net.command, password="pt")
    m = MediaLab
    stream = Stream(net, net.lan, m.LAN, 40070, m.HOST, 50070, 0, 200, 0xB001)
    sink = UdpSink(net.lab, net.host, m.HOST, 50070)
    send_rounds([stream], 3)
    check_rtp(stream, sink.wait(3)[:3])
    stream.payload_type = 8
    send_rounds([stream], 3)
    check_rtp(stream, sink.wait(6)[3:6], first_k=3)
    subs = net.peer.events(ev="sub")
    assert [e["form"] for e in subs] == ["full", "long", "long", "full", "long", "long"]
    assert len({e["cid"] for e in subs}) == 1


def test_malformed_datagrams_from_the_server_are_dropped_safely(net):
    password = "mal"
    net.start(net.command, password=password)
    m = MediaLab
    sink = UdpSink(net.lab, net.lan, m.LAN, 40040)
    big_sink = UdpSink(net.lab, net.lan, m.LAN, 40041)
    good = ip_udp_rtp(m.HOST, m.LAN, 50040, 40040, 0, 500, 7, 0xC001, bytes(range(60)))
    big = ip_udp_rtp(m.HOST, m.LAN, 50041, 40041, 0, 900, 7, 0xC002, bytes(20))
    peer = net.peer
    # Not frames: too short for their kind.
    for data in (b"\x00", b"\x01\x81", b"\x01\x81\x00", b"\x00\x00\x01\x02", b"\x00\x00abc",
                 b"\x00\x81", b"\x00\x81AUTH"):
        peer.call("send", hex=data.hex())
    # Frames, XORed by the peer like any other.
    malformed = [
        bytes([0x05, 0x14]) + bytes(5),                             # short form past the end
        bytes([0x05, 0x80, 0x00]),                                  # long form head cut
        bytes([0x05, 0x80, 0x10, 0x00]) + bytes(100),               # long form past the end
        bytes([0x06, 0x00, 0x45, 0x00]),                            # no room for the length
        bytes([0x06, 0x00]) + struct.pack("!BBH", 0x45, 0, 30) + bytes(26),   # T 30
        bytes([0x06, 0x00]) + good[:60],                            # T 100, 60 bytes left
        bytes([0x07, 0x01, 0xAA]),                                  # type byte 0x01
        bytes([0x07, 0xC5]) + bytes(8),                             # type byte 0xc5
        bytes([0x00, 0x05]) + bytes(10),                            # call id 0 first
        bytes([0x06, 0x00]) + good + bytes([0x00, 0x14]) + bytes(20),   # good, then call id 0
        bytes([0x06, 0x00]) + good + bytes([0x06]),                 # good, then half a head
    ]
    for frame in malformed:
        peer.call("send_frame", items=[[0, "raw", frame.hex()]])
    # A template for call 9, then a long form that would rebuild to more
    # than 4096 bytes.
    peer.call("send_frame", items=[[9, "full", big.hex()]])
    peer.call("send_frame", items=[[9, "compressed", bytes(4060).hex()]])
    # Finally a well-formed frame: it must still be taken apart.
    peer.call("send_frame", items=[[6, "full", good.hex()], [6, "compressed", bytes(range(60)).hex()]])
    packets = sink.wait(4, what="the good packets")
    assert net.corvex.alive(), net.corvex.log()
    assert [struct.unpack_from("!HI", p, 30) for p in packets] == [(500, 0), (500, 0), (500, 0),
                                                                   (501, 160)]
    assert len(big_sink.wait(1)) == 1
    # The client still answers the registration exchange.
    mark = peer.mark()
    peer.call("challenge")
    peer.wait_received(1, since=mark, match=lambda d: d.startswith(b"\x00\x81DIGEST"))
    assert len(sink.drain()) == 4 and len(big_sink.drain()) == 1
