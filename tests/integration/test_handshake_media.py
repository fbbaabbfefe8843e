"""Media and the registration on a line with a long round trip: the lab peer
holds its replies to control messages back, as a server behind a WAN does.
The client runs with its defaults (no waiting_time, no max_idle_cycle)."""
import time

from netlab import MediaLab, UdpSink, labpeer
from test_media import Stream, check_rtp, client_frames

REQUEST_MSG = b"\x00\x81REQUEST"


def digests(peer, since):
    return [d for _, d, _ in peer.received(since) if labpeer.control_keyword(d) == labpeer.DIGEST]


def paced(streams, count, interval=0.02):
    """One packet per stream every `interval` seconds, as phones send."""
    for _ in range(count):
        for s in streams:
            s.send()
        time.sleep(interval)


def test_no_request_while_a_stream_flows_with_the_defaults(net):
    net.start(net.command, password="wan", peer_options={"control_delay": 100})
    m = MediaLab
    up = Stream(net, net.lan, m.LAN, 42000, m.HOST, 52000, 0, 200, 0xA001)
    down = Stream(net, net.host, m.HOST, 52010, m.LAN, 42010, 0, 200, 0xA002)
    sinks = [UdpSink(net.lab, net.host, m.HOST, 52000), UdpSink(net.lab, net.lan, m.LAN, 42010)]
    mark = net.peer.mark()
    count = 60
    paced([up, down], count)
    for stream, sink in zip((up, down), sinks):
        check_rtp(stream, sink.wait(count, what="RTP packets of " + stream.flow())[:count])
    # Frames left by age, between the packets: none of those wakes is an
    # idle one, so the client sent no REQUEST (the server asked for none).
    assert len(client_frames(net.peer, mark)) >= count // 8
    requests = [d for _, d, _ in net.peer.received(mark) if d == REQUEST_MSG]
    assert requests == []


def test_media_crosses_both_ways_while_a_handshake_of_the_run_waits(net):
    net.start(net.command, password="wan")
    m = MediaLab
    up = Stream(net, net.lan, m.LAN, 42020, m.HOST, 52020, 18, 60, 0xB001)
    down = Stream(net, net.host, m.HOST, 52030, m.LAN, 42030, 18, 60, 0xB002)
    sinks = [UdpSink(net.lab, net.host, m.HOST, 52020), UdpSink(net.lab, net.lan, m.LAN, 42030)]
    # The server challenges the running client and holds its decision back.
    net.peer.call("set", control_delay=4000)
    mark = net.peer.mark()
    net.peer.call("challenge")
    net.peer.wait_received(1, since=mark, what="the DIGEST",
                           match=lambda d: labpeer.control_keyword(d) == labpeer.DIGEST)
    count = 20
    paced([up, down], count)
    for stream, sink in zip((up, down), sinks):
        check_rtp(stream, sink.wait(count, what="RTP packets of " + stream.flow())[:count])
    # All of it crossed before the server sent AUTHORIZED.
    entries = net.peer.journal()[mark:]
    authorized = [e["i"] for e in entries if e["kind"] == "tx" and
                  labpeer.control_keyword(bytes.fromhex(e["hex"])) == labpeer.AUTHORIZED]
    first_authorized = authorized[0] if authorized else len(net.peer.journal())
    carried = [e for e in net.peer.events(mark, "sub") if e.get("flow") == up.flow()]
    assert len(carried) == count
    assert max(e["i"] for e in carried) < first_authorized
    # The server's frames drew no DIGEST: it went once, and again only after
    # 2 s of silence from the server, always the same bytes.
    sent = digests(net.peer, mark)
    assert 1 <= len(sent) <= 3
    assert len(set(sent)) == 1
