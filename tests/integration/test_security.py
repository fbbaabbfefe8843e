"""The ingress filter end to end: datagrams of the right kinds from the
server's address, carrying packets the calls do not need, reach the LAN
through the client's TUN device with ingress_filter=0 and stay out with
ingress_filter=1."""
import socket
import struct

import pytest

from netlab import MediaLab, UdpSink, labpeer

PASSWORD = "filter-test"


def ip_udp(src, dst, sport, dport, payload):
    """A whole IPv4/UDP packet (UDP checksum 0, IPv4 header checksum set)."""
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    header = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0x5151, 0, 64, 17, 0,
                                   socket.inet_aton(src), socket.inet_aton(dst)))
    total = sum(struct.unpack("!10H", header))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("!H", header, 10, ~total & 0xFFFF)
    return bytes(header) + udp


def rtp(version, payload_type, seq, payload):
    return struct.pack("!BBHII", version << 6, payload_type, seq, 0, 0xF11E) + payload


@pytest.mark.parametrize("ingress_filter", [0, 1])
def test_forged_kinds_reach_the_lan_only_without_the_ingress_filter(net, ingress_filter):
    net.start(net.command, password=PASSWORD, client_items=[("ingress_filter", ingress_filter)])
    m = MediaLab
    peer = net.peer
    pad = bytes(range(1, len(PASSWORD) + 1))
    forged_msg_sink = UdpSink(net.lab, net.lan, m.LAN, 40060)
    forged_full_sink = UdpSink(net.lab, net.lan, m.LAN, 40061)
    sip_sink = UdpSink(net.lab, net.lan, m.LAN, 5060)
    media_sink = UdpSink(net.lab, net.lan, m.LAN, 40062)

    # Forged: a non-RTP message whose packet is neither SIP nor ping, and a
    # full form that is not RTP (version 0).
    forged_msg = ip_udp(m.HOST, m.LAN, 50060, 40060, b"not what a call needs")
    peer.call("send", hex=labpeer.non_rtp_message(forged_msg, pad).hex(), what="non-rtp")
    forged_full = ip_udp(m.HOST, m.LAN, 50061, 40061, rtp(0, 0, 1, bytes(160)))
    peer.call("send_frame", items=[[7, "full", forged_full.hex()]])
    # Then what the calls do need, by the same path.
    sip = ip_udp(m.HOST, m.LAN, 5060, 5060, b"SIP/2.0 180 Ringing\r\n\r\n")
    peer.call("send", hex=labpeer.non_rtp_message(sip, pad).hex(), what="non-rtp")
    media = ip_udp(m.HOST, m.LAN, 50062, 40062, rtp(2, 8, 1, bytes(160)))
    peer.call("send_frame", items=[[8, "full", media.hex()]])

    assert sip_sink.wait(1, what="SIP")[0][28:] == sip[28:]
    assert media_sink.wait(1, what="media")[0][40:] == media[40:]
    if ingress_filter:
        assert forged_msg_sink.drain() == []
        assert forged_full_sink.drain() == []
    else:
        assert forged_msg_sink.wait(1, what="the forged message")[0][28:] == forged_msg[28:]
        assert forged_full_sink.wait(1, what="the forged full form")[0][28:] == forged_full[28:]
    assert net.corvex.alive(), net.corvex.log()


def tun_rx_packets(net):
    """Packets the client has written to its TUN device so far."""
    return int(net.cli.sh("cat /sys/class/net/%s/statistics/rx_packets" % MediaLab.CLIENT_TUN)
               .stdout)


@pytest.mark.parametrize("ingress_filter", [0, 1])
def test_non_rtp_messages_must_carry_whole_plain_ipv4(net, ingress_filter):
    # What the non-RTP rule reads at fixed offsets (protocol at byte 9, ports
    # at 20..23) means something else in IPv6, in IPv4 with options and in a
    # later fragment: each here reads "UDP, port 5060".
    net.start(net.command, password=PASSWORD, client_items=[("ingress_filter", ingress_filter)])
    m = MediaLab
    pad = bytes(range(1, len(PASSWORD) + 1))
    sip_sink = UdpSink(net.lab, net.lan, m.LAN, 5060)

    def send(packet):
        net.peer.call("send", hex=labpeer.non_rtp_message(packet, pad).hex(), what="non-rtp")

    plain = ip_udp(m.HOST, m.LAN, 40053, 53, b"to the router's resolver")
    # One option word, end-of-options then 0x13c4: bytes 22..23 read 5060.
    options = bytearray(plain[:20] + b"\x00\x00\x13\xc4" + plain[20:])
    options[0] = 0x46
    struct.pack_into("!H", options, 2, len(options))
    v6 = bytearray(48)
    v6[0] = 0x60
    struct.pack_into("!HBB", v6, 4, 8, 17, 64)   # payload length, next header UDP
    v6[9] = 17
    struct.pack_into("!H", v6, 20, 5060)
    fragment = bytearray(ip_udp(m.HOST, m.LAN, 5060, 5060, b"a later fragment"))
    struct.pack_into("!H", fragment, 6, 0x00B9)  # offset 185 words
    longer = bytearray(ip_udp(m.HOST, m.LAN, 5060, 5060, b"claims more than it has"))
    struct.pack_into("!H", longer, 2, len(longer) + 8)

    before = tun_rx_packets(net)
    for forged in (options, v6, fragment, longer):
        send(bytes(forged))
    sip = ip_udp(m.HOST, m.LAN, 5060, 5060, b"SIP/2.0 100 Trying\r\n\r\n")
    send(sip)
    assert sip_sink.wait(1, what="SIP")[0][28:] == sip[28:]
    written = tun_rx_packets(net) - before
    assert written == (1 if ingress_filter else 5)
    assert net.corvex.alive(), net.corvex.log()
