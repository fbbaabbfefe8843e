"""The lab's WAN link (lab/wanlink.py): its loss model and its NAT, without
namespaces; the link in a whole lab run is test_lab.py's."""
import os
import random
import socket
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "lab"))

import wanlink  # noqa: E402


def loss_runs(model, count):
    """(share of packets lost, mean length of a run of losses)."""
    lost = runs = 0
    previous = False
    for _ in range(count):
        now = model.lose()
        lost += now
        runs += now and not previous
        previous = now
    return lost / count, (lost / runs if runs else 0.0)


def test_loss_model_keeps_the_mean_loss_and_the_burst_length():
    for loss, burst in ((0.02, None), (0.02, 4.0), (0.10, 2.5)):
        share, run = loss_runs(wanlink.GilbertElliott.from_mean(random.Random(5), loss, burst),
                               400000)
        assert abs(share - loss) < 0.05 * loss, (loss, burst, share)
        # Independent losses come in runs of 1 / (1 - loss) on average.
        expected = burst if burst else 1 / (1 - loss)
        assert abs(run - expected) < 0.1 * expected, (loss, burst, run)
    assert loss_runs(wanlink.GilbertElliott.from_mean(random.Random(5), 0.0, 3), 10000)[0] == 0


def udp_packet(src, sport, dst, dport, payload):
    """An IPv4/UDP packet with both checksums right."""
    length = 28 + len(payload)
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, length, 1, 0, 64, 17, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    pseudo = ip[12:20] + struct.pack("!BBH", 0, 17, 8 + len(payload))
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    checksum = wanlink.labpeer.internet_checksum(pseudo + udp) or 0xFFFF
    return bytearray(ip + udp[:6] + struct.pack("!H", checksum) + udp[8:])


def udp_checksum_ok(packet):
    pseudo = bytes(packet[12:20]) + struct.pack("!BBH", 0, 17, len(packet) - 20)
    return wanlink.labpeer.internet_checksum(pseudo + bytes(packet[20:])) == 0


def test_nat_maps_ports_both_ways_and_forgets_on_rebind_and_timeout():
    nat = wanlink.Nat(timeout=30.0)
    out = nat.outbound(udp_packet("10.77.2.1", 40001, "10.77.2.2", 42000, b"\x00\x81REQUEST"), 0.0)
    _, first, dport = wanlink.udp_ports(out)
    assert first != 40001 and dport == 42000 and udp_checksum_ok(out)
    back = nat.inbound(udp_packet("10.77.2.2", 42000, "10.77.2.1", first, b"\x00\x81AUTHORIZED"), 1.0)
    assert wanlink.udp_ports(back)[2] == 40001 and udp_checksum_ok(back)
    # A port nobody mapped, or another inside address, gets nothing through.
    assert nat.inbound(udp_packet("10.77.2.2", 42000, "10.77.2.1", first + 1, b"x"), 1.0) is None
    assert nat.inbound(udp_packet("10.77.2.2", 42000, "10.77.2.9", first, b"x"), 1.0) is None

    nat.rebind()
    assert nat.inbound(udp_packet("10.77.2.2", 42000, "10.77.2.1", first, b"x"), 2.0) is None
    second = wanlink.udp_ports(nat.outbound(udp_packet("10.77.2.1", 40001, "10.77.2.2", 42000,
                                                       b"x"), 2.0))[1]
    assert second != first
    # Answers do not keep a mapping alive; only the inside's packets do.
    assert nat.inbound(udp_packet("10.77.2.2", 42000, "10.77.2.1", second, b"x"), 20.0) is not None
    assert nat.inbound(udp_packet("10.77.2.2", 42000, "10.77.2.1", second, b"x"), 32.5) is None
    assert nat.expired == 1
    third = wanlink.udp_ports(nat.outbound(udp_packet("10.77.2.1", 40001, "10.77.2.2", 42000,
                                                      b"x"), 33.0))[1]
    assert third not in (first, second)
