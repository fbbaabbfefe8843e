#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets.

Usage: make_corpus.py OUTDIR

Creates OUTDIR/fuzz_datagram, OUTDIR/fuzz_tun, OUTDIR/fuzz_config and
OUTDIR/fuzz_loop, one file per seed. The seeds follow the input layouts
documented at the top of fuzz_datagram.cc, fuzz_tun.cc and fuzz_loop.cc:
the datagrams of the wire format (control messages REQUEST, CHANLLANGE,
AUTHORIZED, DECLINED, recovery requests, frames with full, short and long
sub-packets of 200- and 60-byte RTP packets, non-RTP messages behind their
pad), TUN packet sequences (RTP streams, SIP, ping, other traffic, clock
jumps, recovery requests), configuration files and event-loop runs. Standard library only; the output is the same on every run.
"""

import os
import struct
import sys


# --------------------------------------------------------------- helpers --

def xorshift32(x):
    x ^= (x << 13) & 0xFFFFFFFF
    x ^= x >> 17
    x ^= (x << 5) & 0xFFFFFFFF
    return x & 0xFFFFFFFF


def fuzz_password(length, seed):
    """The password the targets build from a length and a seed byte."""
    x = 0x9E3779B9 ^ seed
    out = bytearray()
    for _ in range(length):
        x = xorshift32(x)
        c = x & 0xFF
        out.append(c if c else ord('x'))
    return bytes(out)


def password_xor(frame, password):
    if not password or len(frame) <= 2:
        return bytes(frame)
    k_len = len(password) & 0xFF
    out = bytearray(frame)
    k = 0
    for i in range(2, len(out)):
        if k == k_len:
            k = 0
        out[i] ^= password[k]
        k = (k + 1) & 0xFF
    return bytes(out)


def ipv4_checksum(header):
    s = 0
    for i in range(0, 20, 2):
        s += (header[i] << 8) | header[i + 1]
    s = (s & 0xFFFF) + (s >> 16)
    s = (s & 0xFFFF) + (s >> 16)
    return (~s) & 0xFFFF


def rtp_packet(length=200, src=(10, 0, 0, 2), dst=(10, 0, 1, 10), sport=4000, dport=5004,
               pt=0, seq=1000, ts=160000, ssrc=0x11223344, marker=0, proto=17, rtp_v=2):
    payload_len = length - 40
    hdr = bytearray(40)
    hdr[0] = 0x45
    struct.pack_into('>H', hdr, 2, length)
    struct.pack_into('>H', hdr, 4, seq & 0xFFFF)
    hdr[8] = 64
    hdr[9] = proto
    hdr[12:16] = bytes(src)
    hdr[16:20] = bytes(dst)
    struct.pack_into('>HHHH', hdr, 20, sport, dport, length - 20, 0)
    hdr[28] = (rtp_v << 6)
    hdr[29] = (marker << 7) | pt
    struct.pack_into('>HII', hdr, 30, seq & 0xFFFF, ts & 0xFFFFFFFF, ssrc)
    struct.pack_into('>H', hdr, 10, ipv4_checksum(hdr))
    payload = bytes((i * 7 + seq) & 0xFF for i in range(payload_len))
    return bytes(hdr) + payload


def udp_packet(length, sport, dport, proto=17, first=b'SIP/2.0 200 OK'):
    pkt = bytearray(length)
    pkt[0] = 0x45
    struct.pack_into('>H', pkt, 2, length)
    pkt[8] = 64
    pkt[9] = proto
    pkt[12:16] = bytes((10, 0, 0, 2))
    pkt[16:20] = bytes((10, 0, 1, 1))
    if length >= 24:
        struct.pack_into('>HH', pkt, 20, sport, dport)
    body = first + bytes(range(256)) * 20
    pkt[28:] = body[:max(0, length - 28)]
    return bytes(pkt)


def icmp_echo(length=84):
    pkt = bytearray(length)
    pkt[0] = 0x45
    struct.pack_into('>H', pkt, 2, length)
    pkt[8] = 64
    pkt[9] = 1
    pkt[12:16] = bytes((10, 0, 0, 2))
    pkt[16:20] = bytes((10, 0, 1, 1))
    pkt[20] = 8
    return bytes(pkt)


def ipv6_packet(length=60):
    pkt = bytearray(length)
    pkt[0] = 0x60
    struct.pack_into('>H', pkt, 4, length - 40)
    pkt[6] = 17
    return bytes(pkt)


def password_setting(password_len, empty=False, long_bit=4):
    """The password bits of a settings byte (1 empty, 2 a length, long_bit
    for lengths of 256 and more; 0 for none) and the length byte; a target
    without a long bit takes lengths below 256 only."""
    if empty:
        return 1, 0
    if password_len is None:
        return 0, 0
    bits = 2
    if password_len >= 256:
        assert long_bit, 'this target takes passwords of up to 255 bytes'
        bits |= long_bit
    return bits, password_len & 0xFF


def flag_bits(*flags):
    """The bits of a settings byte from (on, bit) pairs."""
    return sum(bit for on, bit in flags if on)


def record(data, ctl=0, aux=0):
    assert len(data) <= 4096
    return bytes((ctl, aux)) + struct.pack('>H', len(data)) + data


# ------------------------------------------------------------- datagrams --

CONTROL = b'\x00\x81'


def control(keyword, payload=b''):
    return CONTROL + keyword + payload


def short_sub(cid, payload):
    assert 1 <= len(payload) <= 127
    return bytes((cid, len(payload))) + payload


def long_sub(cid, payload):
    return bytes((cid, 0x80)) + struct.pack('>H', len(payload)) + payload


def full_sub(cid, packet):
    return bytes((cid, 0x00)) + packet


def non_rtp(packet, pad):
    body = bytes(b ^ pad[j % len(pad)] for j, b in enumerate(packet)) if pad else packet
    return b'\x00\x00' + pad + body


def datagram_settings(password_len=None, empty_password=False, verbose=False, ipv6=False,
                      open_calls=False, reg_state=0, mtu_choice=0, seed=7, ingress_filter=False,
                      allow_ping=False, allow_all=False, sip_port_40000=False, registering=False):
    s0, s1 = password_setting(password_len, empty=empty_password)
    s0 |= flag_bits((verbose, 8), (ipv6, 0x10), (open_calls, 0x20)) | (reg_state & 3) << 6
    s4 = flag_bits((ingress_filter, 1), (allow_ping, 2), (allow_all, 4), (sip_port_40000, 8),
                   (registering, 0x10))
    return bytes((s0, s1, mtu_choice, seed, s4)), (fuzz_password(password_len, seed)
                                                   if password_len is not None else b'')


def datagram_seeds():
    seeds = {}
    challenge16 = bytes(range(0x30, 0x40))
    pkt200 = rtp_packet(200)
    pkt60 = rtp_packet(60, sport=4002, seq=2000)

    head, _ = datagram_settings()
    seeds['authorized'] = head + record(control(b'AUTHORIZED'))
    seeds['request_digest_restart'] = head + record(control(b'REQUEST')) + record(
        control(b'DIGEST', bytes(16))) + record(control(b'MAY BE SERVER RESTARTED!'))
    seeds['authoriz_short'] = head + record(control(b'AUTHORIZ')) + record(control(b'AUTH'))

    head, pw = datagram_settings(password_len=8)
    # CHANLLANGE: DIGEST goes out, the next records answer the handshake.
    seeds['challenge_authorized'] = head + record(control(b'CHANLLANGE', challenge16)) + record(
        control(b'AUTHORIZED'), ctl=0x00) + record(control(b'AUTHORIZED'))
    seeds['challenge_silent_then_auth'] = head + record(control(b'CHANLLANGE', challenge16)) + \
        record(b'', ctl=0x80) + record(b'', ctl=0x80, aux=0x20) + record(control(b'AUTHORIZED'))
    seeds['declined_cycle'] = head + record(control(b'DECLINED')) + record(
        control(b'CHANLLANGE', challenge16)) + record(control(b'DECLINED')) + record(
        control(b'CHANLLANGE', bytes(range(20)))) + record(control(b'AUTHORIZED')) + record(
        control(b'AUTHORIZED'))
    seeds['challenge_stop'] = head + record(control(b'CHANLLANGE', challenge16)) + record(
        b'', ctl=0xC0)
    for total in (26, 27, 75, 76, 283):
        seeds['challenge_len_%d' % total] = head + record(
            control(b'CHANLLANGE', bytes((i * 5) & 0xFF for i in range(total - 12)))) + record(
            control(b'AUTHORIZED'))
    seeds['challenge_foreign_auth'] = head + record(control(b'CHANLLANGE', challenge16)) + record(
        control(b'AUTHORIZED'), ctl=0x02) + record(pkt60) + record(control(b'AUTHORIZED'))
    seeds['challenge_send_errors'] = head + record(control(b'CHANLLANGE', challenge16), ctl=0x0C) \
        + record(control(b'AUTHORIZED'), ctl=0x08)

    # Recovery requests, with and without egress calls open.
    head, _ = datagram_settings(open_calls=True)
    seeds['recovery'] = head + record(b'\x01\x81\x03\x14') + record(b'\x01\x81\x00\x14') + record(
        b'\x01\x81\x05\x80') + record(b'\x01\x81') + record(b'\x01\x81\xff\x02')

    # Frames: full form, then short and long forms of the same call.
    for name, plen in (('nopw', None), ('pw8', 8), ('pw300', 300), ('pw256', 256)):
        head, pw = datagram_settings(password_len=plen)
        frame = full_sub(3, pkt200) + short_sub(3, pkt60[40:]) + long_sub(3, pkt200[40:])
        seeds['frame_full_short_long_' + name] = head + record(password_xor(frame, pw))
        frame2 = short_sub(3, pkt60[40:]) + full_sub(3, pkt60) + long_sub(3, pkt200[40:])
        seeds['frame_recovery_then_full_' + name] = head + record(password_xor(frame2, pw))
        seeds['frame_two_calls_' + name] = head + record(password_xor(
            full_sub(1, pkt60) + full_sub(2, pkt200), pw)) + record(password_xor(
                short_sub(2, pkt60[40:]) + long_sub(1, pkt200[40:]) + short_sub(1, b'\x55\x66'),
                pw))
    head, pw = datagram_settings()
    seeds['frame_invalid_types'] = head + record(full_sub(3, pkt60) + bytes((3, 0x01, 0xAA))) + \
        record(full_sub(4, pkt60) + bytes((4, 0x81)) + short_sub(4, b'ab')) + record(
            full_sub(5, pkt60) + bytes((5, 0xFF)))
    seeds['frame_truncated'] = head + record(full_sub(3, pkt200)[:150]) + record(
        short_sub(3, pkt60[40:])[:10]) + record(bytes((3, 0x80, 0x10))) + record(b'\x07')
    seeds['frame_cid0'] = head + record(b'\x00\x14' + bytes(20)) + record(
        full_sub(3, pkt60) + short_sub(0, bytes(20)))
    seeds['frame_full_short_header'] = head + record(full_sub(6, pkt60[:30]))
    big = rtp_packet(4000)
    seeds['frame_long_large'] = head + record(full_sub(9, pkt60) + long_sub(9, big[40:4000]))
    seeds['foreign_sources'] = head + record(full_sub(3, pkt60), ctl=2) + record(
        control(b'CHANLLANGE', challenge16), ctl=3) + record(short_sub(3, bytes(20)), ctl=2)
    seeds['tun_write_errors'] = head + record(full_sub(3, pkt60) + short_sub(3, bytes(20)),
                                              ctl=0x20) + record(short_sub(3, bytes(20)), ctl=0x30)

    # Non-RTP messages behind the pad.
    for plen in (8, 1, 255):
        head, pw = datagram_settings(password_len=plen)
        pad = bytes((0xA5 ^ i) & 0xFF for i in range(len(pw) & 0xFF))
        sip = udp_packet(300, 5060, 5060)
        seeds['non_rtp_pad%d' % plen] = head + record(non_rtp(sip, pad)) + record(
            non_rtp(icmp_echo(), pad)) + record(b'\x00\x00' + pad[:3])
    head, _ = datagram_settings()
    seeds['non_rtp_nopw'] = head + record(non_rtp(udp_packet(100, 5060, 5060), b''))
    head, _ = datagram_settings(empty_password=True, verbose=True, ipv6=True, mtu_choice=17)
    seeds['empty_password_ipv6_verbose'] = head + record(full_sub(3, pkt60)) + record(
        control(b'DECLINED')) + record(control(b'AUTHORIZED'))
    seeds['empty_datagrams'] = head + record(b'') + record(b'\x00') + record(b'\x00\x81')

    # The ingress filter: forged full forms (TCP, IPv4 options, a UDP length
    # that disagrees) between good ones of the same call, and non-RTP
    # messages that egress would or would not forward.
    tcp = bytearray(pkt60)
    tcp[9] = 6
    options = bytearray(pkt60)
    options[0] = 0x46
    udp_len = bytearray(pkt200)
    udp_len[25] ^= 1
    for name, kw in (('on', dict(ingress_filter=True)),
                     ('ping_sip40000', dict(ingress_filter=True, allow_ping=True,
                                            sip_port_40000=True)),
                     ('all_pw8', dict(ingress_filter=True, allow_all=True, password_len=8))):
        head, pw = datagram_settings(**kw)
        pad = bytes((0x3C ^ i) & 0xFF for i in range(len(pw) & 0xFF))
        frame = full_sub(3, pkt60) + full_sub(3, bytes(tcp)) + short_sub(3, pkt60[40:]) + \
            full_sub(4, bytes(options)) + short_sub(4, pkt60[40:]) + full_sub(5, bytes(udp_len)) + \
            full_sub(5, pkt200) + long_sub(5, pkt200[40:])
        seeds['ingress_filter_' + name] = head + record(password_xor(frame, pw)) + record(
            non_rtp(udp_packet(300, 5060, 40000), pad)) + record(
            non_rtp(udp_packet(300, 40000, 40001), pad)) + record(
            non_rtp(udp_packet(60, 40000, 5060, proto=6), pad)) + record(
            non_rtp(icmp_echo(), pad)) + record(non_rtp(ipv6_packet(), pad)) + record(
            non_rtp(udp_packet(16, 5060, 5060), pad))

    # The registration at start: media and non-RTP messages before the
    # server's answer change nothing; its control messages do.
    head, pw = datagram_settings(password_len=8, registering=True)
    seeds['registering_media_first'] = head + record(password_xor(full_sub(3, pkt60), pw)) + \
        record(non_rtp(udp_packet(100, 5060, 5060), bytes(8))) + record(b'\x01\x81\x03\x14') + \
        record(control(b'REQUEST')) + record(control(b'CHANLLANGE', challenge16)) + record(
            control(b'AUTHORIZED')) + record(password_xor(full_sub(3, pkt60), pw))
    seeds['registering_declined_send_errors'] = head + record(control(b'DECLINED'), ctl=0x08) + \
        record(control(b'CHANLLANGE', challenge16), ctl=0x0C) + record(control(b'AUTHORIZED'))

    # More compressed sub-packets without template than the recovery budget
    # allows, in one frame and the next, with transient send failures.
    head, _ = datagram_settings()
    many = b''.join(short_sub(cid, pkt60[40:]) for cid in range(1, 9))
    seeds['recovery_budget'] = head + record(many) + record(many, ctl=0x08) + record(
        short_sub(2, pkt60[40:]) + short_sub(9, pkt60[40:]), ctl=0x08) + record(many)
    return seeds


# ------------------------------------------------------------ TUN packets --

def tun_settings(mtu_choice=0, max_call_choice=0, password_len=None, allow_all=False,
                 allow_ping=False, fix_lengths=True, verbose=False, sip_40000=False,
                 timeout_choice=0, muxing_choice=0, clock=0x10000000, seed=3):
    s2, s3 = password_setting(password_len)
    s2 |= flag_bits((allow_all, 8), (allow_ping, 16), (fix_lengths, 0x20), (verbose, 0x40),
                    (sip_40000, 0x80))
    return bytes((mtu_choice, max_call_choice, s2, s3, timeout_choice, muxing_choice)) + \
        struct.pack('>I', clock) + bytes((seed,))


def pkt_event(packet, send=0, step=1, shift_index=2):
    """A TUN packet; the clock moves by step << shifts[shift_index]."""
    ctl = 0 | (send << 2) | (shift_index << 4)
    return record(packet, ctl=ctl, aux=step)


def built_event(stream, rtp1, flags, payload_len, step=1, shift_index=2):
    data = bytes((stream, rtp1, flags)) + bytes((i * 3) & 0xFF for i in range(payload_len))
    return record(data, ctl=0x80 | (shift_index << 4), aux=step)


def recovery_event(cid):
    return record(b'', ctl=2, aux=cid)


def idle_pass(step=1, shift_index=5):
    return record(b'', ctl=3 | (shift_index << 4), aux=step)


def tun_seeds():
    seeds = {}
    a200 = [rtp_packet(200, seq=100 + i) for i in range(12)]
    b60 = [rtp_packet(60, sport=4002, seq=500 + i) for i in range(12)]
    head = tun_settings()
    body = b''
    for i in range(12):
        body += pkt_event(a200[i]) + pkt_event(b60[i])
    seeds['two_streams'] = head + body
    seeds['two_streams_pw8'] = tun_settings(password_len=8) + body
    seeds['two_streams_pw256'] = tun_settings(password_len=256) + body
    seeds['pt_change'] = head + pkt_event(a200[0]) + pkt_event(rtp_packet(200, pt=8)) + pkt_event(
        rtp_packet(200, pt=8, marker=1))
    # max_call 2 (choice 3): a third stream waits for an expiry.
    c = rtp_packet(200, sport=4010)
    seeds['max_call_2'] = tun_settings(max_call_choice=3, timeout_choice=3) + pkt_event(a200[0]) + \
        pkt_event(b60[0]) + pkt_event(c) + pkt_event(c) + idle_pass(1, 6) + pkt_event(c) + \
        pkt_event(a200[1])
    seeds['recovery'] = head + pkt_event(a200[0]) + pkt_event(b60[0]) + recovery_event(2) + \
        pkt_event(b60[1]) + recovery_event(1) + recovery_event(200) + pkt_event(a200[1])
    seeds['clock_wrap'] = tun_settings(clock=0xFFFFF000) + pkt_event(a200[0]) + pkt_event(
        a200[1], step=16, shift_index=2) + idle_pass(1, 3) + pkt_event(a200[2])
    seeds['short_packets'] = head + pkt_event(rtp_packet(41)) + pkt_event(rtp_packet(41)) + \
        pkt_event(rtp_packet(40)) + pkt_event(rtp_packet(40, sport=5000)) + pkt_event(
        rtp_packet(200)[:35]) + pkt_event(rtp_packet(200)[:29]) + pkt_event(rtp_packet(167)) + \
        pkt_event(rtp_packet(168)) + pkt_event(rtp_packet(167)) + pkt_event(rtp_packet(168))
    seeds['small_mtu'] = tun_settings(mtu_choice=9) + pkt_event(a200[0]) + pkt_event(b60[0]) + \
        pkt_event(b60[1]) + pkt_event(a200[1])
    seeds['mtu_exact'] = tun_settings(mtu_choice=7) + pkt_event(a200[0]) + pkt_event(a200[1]) + \
        pkt_event(a200[2])
    seeds['mtu_zero'] = tun_settings(mtu_choice=17) + pkt_event(a200[0]) + pkt_event(b60[0])
    seeds['send_errors'] = head + pkt_event(a200[0], send=2) + idle_pass(1, 5) + pkt_event(
        a200[1], send=3) + pkt_event(a200[2])
    sip = udp_packet(400, 5060, 40000)
    seeds['forwarding'] = tun_settings(password_len=8) + pkt_event(sip) + pkt_event(
        udp_packet(400, 40000, 5060)) + pkt_event(udp_packet(200, 5060, 80, proto=6)) + pkt_event(
        icmp_echo()) + pkt_event(udp_packet(20, 5060, 5060)) + pkt_event(
        rtp_packet(200, dport=5060))
    seeds['forwarding_ping'] = tun_settings(password_len=8, allow_ping=True) + pkt_event(
        icmp_echo()) + pkt_event(udp_packet(200, 1, 2, proto=6))
    seeds['forwarding_all'] = tun_settings(allow_all=True) + pkt_event(ipv6_packet()) + pkt_event(
        b'\x45') + pkt_event(b'') + pkt_event(udp_packet(4094, 5060, 5060))
    seeds['forwarding_large_pw8'] = tun_settings(password_len=8, allow_all=True) + pkt_event(
        udp_packet(4086, 5060, 1)) + pkt_event(udp_packet(4087, 5060, 1))
    seeds['sip_port_40000'] = tun_settings(sip_40000=True, password_len=3) + pkt_event(
        udp_packet(300, 40000, 9)) + pkt_event(sip)
    body = b''
    for s in range(8):
        body += built_event(s, 0, 0, 160)
    for s in range(8):
        body += built_event(s, 0x80 | 8, 0, 20, shift_index=0)
    body += built_event(1, 0, 4, 100) + built_event(2, 0, 1, 50) + built_event(3, 0, 2, 10)
    seeds['built_streams'] = tun_settings(verbose=True) + body
    return seeds


# ---------------------------------------------------------- configuration --

def config_seeds():
    seeds = {}
    seeds['minimal'] = b'server=127.0.0.1\n'
    seeds['full'] = (b'# corvex client\nserver=127.0.0.1\nport=42000\npassword=s3cr3t!\n'
                     b'intf=tun7\nmtu=1472\nsip_port=5060\nmax_call=255\nmax_muxing_time=80000\n'
                     b'waiting_time=20000\nrtp_timeout=60000000\nup=/etc/corvex/up.sh\n'
                     b'down=/etc/corvex/down.sh\npidfile=/tmp/c.pid\nlogfile=/tmp/c.log\n'
                     b'allow_all=0\nallow_ping=1\nmax_idle_cycle=100\n')
    seeds['crlf'] = b'server=10.0.0.1\r\nport=5000\r\npassword=a=b=c\r\n'
    seeds['port_zero'] = b'server=h\nport=0\n'
    seeds['port_letters'] = b'server=h\nport=abc\n'
    seeds['port_65536'] = b'server=h\nport=65536\n'
    seeds['mtu_9000'] = b'server=h\nmtu=9000\n'
    seeds['mtu_9001'] = b'server=h\nmtu=9001\n'
    seeds['mtu_negative'] = b'server=h\nmtu=-1\n'
    seeds['mtu_0_1'] = b'server=h\nmtu=1\nmtu=0\n'
    seeds['server_timeout'] = b'server=h\nserver_timeout=30\nserver_timeout=86401\n'
    seeds['server_timeout_negative'] = b'server=h\nserver_timeout=86400\nserver_timeout=-1\n'
    seeds['max_call_0'] = b'server=h\nmax_call=0\n'
    seeds['max_call_256'] = b'server=h\nmax_call=256\n'
    seeds['ingress_filter'] = b'server=h\ningress_filter=1\ningress_filter=2\n'
    seeds['max_call_1'] = b'server=h\nmax_call= +1x\n'
    seeds['empty_key'] = b'=value\nserver=h\n'
    seeds['blank_key'] = b'server = h\n'
    seeds['no_equals'] = b'server=h\njunk\n'
    seeds['comment_blank'] = b'# only comments\n\n #not a comment=1\nserver=h\n'
    seeds['no_final_lf'] = b'server=h\nport=1'
    seeds['line_510'] = b'server=' + b'h' * 503 + b'\n'
    seeds['line_511'] = b'server=' + b'h' * 504 + b'\n'
    seeds['cr_only'] = b'server=h\rport=7\rmtu=100\n'
    seeds['unknown_keys'] = b'SERVER=x\nfoo=bar\nserver=h\nserver=again\n'
    seeds['no_server'] = b'port=1\n'
    seeds['empty'] = b''
    seeds['big_numbers'] = b'server=h\nrtp_timeout=4294967295\nmax_muxing_time=-2147483648\n'
    return seeds


# ------------------------------------------------------------ event loop --

def loop_settings(mtu_choice=0, max_call_choice=0, password_len=None, allow_all=False,
                  allow_ping=False, verbose=False, waiting=False, idle_choice=0,
                  muxing_choice=0, seed=5, blocking_tun=False, status=False, ipv6=False,
                  near_wrap=False, stop_first=False):
    s2, s3 = password_setting(password_len, long_bit=0)
    s2 |= flag_bits((allow_all, 4), (allow_ping, 8), (verbose, 0x10), (waiting, 0x20)) | \
        (idle_choice & 3) << 6
    s4 = (muxing_choice & 7) | flag_bits((blocking_tun, 8), (status, 0x10), (ipv6, 0x20),
                                         (near_wrap, 0x40), (stop_first, 0x80))
    return bytes((mtu_choice, max_call_choice, s2, s3, s4, seed))


def burst(rec, copies):
    """The record with `copies` more copies of its bytes arriving with it."""
    length = struct.unpack('>H', rec[2:4])[0]
    return rec[:2] + struct.pack('>H', length | (copies & 7) << 13) + rec[4:]


def loop_tun(packet, ctl=0):
    return record(packet, ctl=ctl, aux=0)


def loop_sock(datagram, ctl=0):
    return record(datagram, ctl=ctl, aux=1)


def loop_seeds():
    seeds = {}
    auth = record(control(b'AUTHORIZED'))  # answers the handshake at start
    a200 = [rtp_packet(200, seq=100 + i) for i in range(6)]
    pkt60 = rtp_packet(60, sport=4002)
    head = loop_settings()
    body = auth
    for p in a200:
        body += loop_tun(p) + record(b'', aux=3)
    body += loop_sock(full_sub(3, pkt60) + short_sub(3, pkt60[40:])) + record(pkt60, aux=2)
    body += loop_tun(udp_packet(300, 5060, 5060)) + loop_sock(b'\x01\x81\x01\x14')
    body += record(b'', aux=4) + record(b'', aux=5)
    seeds['media_both_ways'] = head + body
    seeds['media_pw8_idle'] = loop_settings(password_len=8, idle_choice=1, waiting=True) + body
    challenge = control(b'CHANLLANGE', bytes(range(0x30, 0x40)))
    seeds['challenge_at_start'] = loop_settings(password_len=8) + record(challenge) + auth + \
        loop_tun(a200[0]) + loop_sock(challenge) + auth + loop_sock(control(b'DECLINED')) + auth + \
        record(b'', aux=3) + record(b'', aux=3)
    seeds['stop_in_handshake'] = head + record(b'', ctl=0xC0)
    seeds['errors'] = head + auth + record(b'', aux=6) + record(b'', aux=0x26) + loop_tun(
        a200[0], ctl=0x0C) + record(b'', aux=3) + loop_sock(full_sub(3, pkt60), ctl=0x30) + \
        record(b'', aux=7)
    seeds['recv_errors'] = head + auth + record(b'', aux=0x11) + record(b'', aux=0x19)
    seeds['small_mtu_verbose'] = loop_settings(mtu_choice=9, verbose=True, allow_all=True) + \
        auth + loop_tun(a200[0]) + loop_tun(a200[1]) + loop_tun(ipv6_packet()) + loop_tun(b'')
    # Bursts read by one drain, signals during the drains, the status file
    # and status requests, a TUN device read once per wake, the loop clock
    # wrapping, and a stop before the start.
    seeds['bursts_signals_status'] = loop_settings(status=True, near_wrap=True, password_len=8) + \
        record(b'', ctl=0xC0) + auth + burst(loop_tun(a200[0]), 7) + burst(
            loop_sock(full_sub(3, pkt60)), 7) + record(b'', aux=3) + burst(
            record(a200[1], ctl=0x80, aux=0x80), 3) + record(b'', aux=5) + burst(record(a200[2], aux=0x40 | 0x80), 2) + \
        record(a200[3], aux=0xC0) + record(b'', aux=3)
    seeds['blocking_tun_ipv6'] = loop_settings(blocking_tun=True, ipv6=True, waiting=True) + \
        auth + burst(loop_tun(a200[0]), 5) + burst(loop_sock(b'\x01\x81\x01\x14'), 3) + \
        record(b'', aux=3) + record(b'', aux=3)
    seeds['stop_first'] = loop_settings(stop_first=True) + auth + loop_tun(a200[0])
    return seeds


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    out = sys.argv[1]
    for target, seeds in (('fuzz_datagram', datagram_seeds()), ('fuzz_tun', tun_seeds()),
                          ('fuzz_config', config_seeds()), ('fuzz_loop', loop_seeds())):
        d = os.path.join(out, target)
        os.makedirs(d, exist_ok=True)
        for name, data in sorted(seeds.items()):
            with open(os.path.join(d, 'seed_' + name), 'wb') as f:
                f.write(data)
        print('%s: %d seeds' % (target, len(seeds)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
