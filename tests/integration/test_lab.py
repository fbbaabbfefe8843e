"""The lab command (lab.py) end to end: a short run with the binary under
test, and an interrupted one."""
import json
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

from netlab import PYTHON, scaled, wait_for

import labpeer  # noqa: E402  (netlab puts lab/ on the path)
import outage  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAB = os.path.join(ROOT, "lab.py")
CALLS, SECONDS = 2, 3
PACKETS_PER_STREAM = SECONDS * 50


@pytest.fixture
def lab_command(netns_available, corvex):
    if shutil.which("nft") is None:
        pytest.skip("the lab counts with nftables: nft is not installed")
    return [PYTHON, LAB, "--corvex", corvex[-1], "--runner", shlex.join(corvex[:-1]), "--no-install"]


def lab_tag(output):
    match = re.search(r"== lab (cvx\d+-\d+):", output)
    assert match, output
    return match.group(1)


def namespaces_left(tag):
    listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return [line.split()[0] for line in listed.splitlines() if line.startswith(tag + "-")]


def summary_row(output, label):
    """The two columns (phones -> host, host -> phones) of a summary row."""
    match = re.search(r"^  %s\s{2,}(\S+(?: \S+)?)\s{2,}(\S+(?: \S+)?)$" % re.escape(label), output,
                      re.MULTILINE)
    assert match, "no %r row in:\n%s" % (label, output)
    return match.group(1), match.group(2)


@pytest.mark.slow
def test_lab_carries_calls_both_ways_without_loss(lab_command, tmp_path):
    figures_path = tmp_path / "figures.json"
    result = subprocess.run(lab_command + ["--calls", str(CALLS), "--seconds", str(SECONDS),
                                           "--json", str(figures_path)],
                            capture_output=True, text=True, timeout=scaled(180))
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    sent = summary_row(out, "RTP packets sent")
    assert sent == summary_row(out, "RTP packets received")
    assert all(int(x.replace(",", "")) == CALLS * PACKETS_PER_STREAM for x in sent), sent
    assert summary_row(out, "lost") == ("0 (0.00%)", "0 (0.00%)")
    assert summary_row(out, "out of order") == ("0", "0")
    assert "OK: every packet arrived, in order" in out
    assert "  the client's counters agree with the lab's" in out, out
    assert namespaces_left(lab_tag(out)) == []

    f = json.loads(figures_path.read_text())
    for d in ("up", "down"):
        x = f[d]
        # Every packet went into the tunnel on one side and out on the other,
        # none around it, and each SIP request or answer crossed as well.
        assert x["plain_rtp_packets"] == x["rebuilt_rtp_packets"] == x["sent"], (d, x)
        assert x["sip_sent"] == x["sip_received"] >= 2 * CALLS, (d, x)
        assert x["corrupt"] == 0 and x["duplicates"] == 0, (d, x)
        # Frames carried them, several packets to a frame, in fewer bytes.
        assert 0 < x["wire_frames_packets"] < x["sent"], (d, x)
        assert 0 < x["wire_frames_bytes"] < x["plain_rtp_bytes"], (d, x)
    assert f["rtp_saving_percent"] > 10
    # The client counted what the lab counted, and its frames are nftables'.
    cc = f["client_counters"]
    assert cc["findings"] == [], cc
    for d in ("up", "down"):
        assert cc[d]["client_rtp_packets"] == f[d]["sent"] and cc[d]["client_drops"] == {}, (d, cc)
        assert cc[d]["frames"] == f[d]["wire_frames_packets"], (d, cc, f[d])
    if f["gstreamer_call"]:
        for d in ("up", "down"):
            g = f["gstreamer"][d]
            assert g["sent"] == g["received"] == PACKETS_PER_STREAM, (d, g)
    # Call quality: every generated stream's packets but the last 5, and the
    # reference call on the direct path, kept out of the counts above.
    generated = CALLS - (1 if f["gstreamer_call"] else 0)
    for d in ("up", "down"):
        q = f["quality"][d]
        assert q["packets"] == generated * (PACKETS_PER_STREAM - 5), (d, q)
        assert q["direct"]["packets"] == PACKETS_PER_STREAM - 5, (d, q)
        assert q["direct"]["delay_mean_ms"] < q["delay_mean_ms"], (d, q)
        assert q["added_mean_ms"] == q["delay_mean_ms"] - q["direct"]["delay_mean_ms"], (d, q)


@pytest.mark.slow
def test_interrupted_lab_removes_everything_it_created(lab_command, tmp_path):
    log_path = tmp_path / "lab.out"
    with open(log_path, "w") as log:
        proc = subprocess.Popen(lab_command + ["--calls", "2", "--seconds", "60", "--no-gst"],
                                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        wait_for(lambda: "== calls:" in log_path.read_text() or proc.poll() is not None, 60,
                 "the lab's calls to start")
        out = log_path.read_text()
        tag = lab_tag(out)
        assert proc.poll() is None, out
        assert len(namespaces_left(tag)) == 4
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=scaled(60)) == 130
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    out = log_path.read_text()
    assert "== interrupted" in out and "lab torn down" in out, out
    assert namespaces_left(tag) == []
    # corvex and the lab peer are started with paths in the run's work directory.
    workdir = re.search(r" -c (/\S+)/corvex\.conf", out).group(1)
    pids = subprocess.run(["pgrep", "-f", workdir], capture_output=True, text=True).stdout
    assert pids.strip() == "", "processes of the lab still run: %s" % pids
    assert not os.path.exists(workdir)


@pytest.mark.slow
def test_lab_through_a_lossy_wan_counts_what_the_wan_and_the_tunnel_lost(lab_command, tmp_path):
    figures_path = tmp_path / "figures.json"
    capture = tmp_path / "wan.pcap"
    result = subprocess.run(lab_command + ["--calls", str(CALLS), "--seconds", str(SECONDS),
                                           "--no-gst", "--wan-delay", "20", "--wan-loss", "10",
                                           "--wan-seed", "7", "--capture", str(capture),
                                           "--json", str(figures_path)],
                            capture_output=True, text=True, timeout=scaled(180))
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    assert namespaces_left(lab_tag(out)) == []
    workdir = re.search(r" -c (/\S+)/corvex\.conf", out).group(1)
    pids = subprocess.run(["pgrep", "-f", workdir], capture_output=True, text=True).stdout
    assert pids.strip() == "", "processes of the lab still run: %s" % pids
    assert not os.path.exists(workdir)

    f = json.loads(figures_path.read_text())
    wan = f["wan"]
    assert wan["queued"] == 0
    assert sum(wan[d]["dropped"] for d in ("up", "down")) > 0
    for d in ("up", "down"):
        w, x = wan[d], f[d]
        # Every datagram into the link came out once or was dropped.
        assert w["in"] == w["out"] + w["dropped"] + w["queue_dropped"] + w["nat_dropped"], (d, w)
        assert w["dropped"] == sum(w["dropped_kinds"].values()), (d, w)
        assert w["duplicated"] == w["reordered"] == 0, (d, w)
        # The link sees the frames nftables counted leave the router or
        # arrive at it (those after its losses).
        frames = w["kinds"].get("frame", 0)
        dropped_frames = w["dropped_kinds"].get("frame", 0)
        assert x["wire_frames_packets"] == (frames if d == "up" else frames - dropped_frames), (d, w, x)
        # A dropped frame carried one RTP packet or more, every one of them
        # lost to the calls; what the tunnel lost beyond is its own.
        assert w["dropped_inner"] >= dropped_frames, (d, w)
        assert x["tunnel_lost"] >= w["dropped_inner"], (d, w, x)
        assert x["tunnel_beyond_wan"] == x["lost"] - w["dropped_inner"]
        assert x["lost"] == x["sent"] - x["received"] >= x["tunnel_lost"], (d, x)
    # The capture holds what the router's WAN side saw: raw IPv4 packets.
    data = capture.read_bytes()
    assert struct.unpack_from("<IHHiIII", data, 0)[::6] == (0xA1B2C3D4, 101)
    records, offset = 0, 24
    while offset < len(data):
        length = struct.unpack_from("<IIII", data, offset)[2]
        assert data[offset + 16] >> 4 == 4
        offset += 16 + length
        records += 1
    assert offset == len(data)
    assert records == wan["captured"] == wan["up"]["in"] + wan["down"]["out"]


# -- the server's outages -----------------------------------------------------

def test_outage_splits_a_stream_at_its_first_packet_carried_again():
    # Packet k sent at k * 20 ms, arriving 50 ms later; 3, 4, 5 and 8 never came.
    times = {k: (k * 0.02, k * 0.02 + 0.05) for k in (0, 1, 2, 6, 7, 9)}
    r = outage.stream_recovery(0.0, 10, times, begin=0.05, since=0.05)
    assert r == {"recovered": pytest.approx(0.12), "before": 0, "during": 3, "after": 1}
    # Measured from a later return: packet 6 came back 10 ms after it.
    r = outage.stream_recovery(0.0, 10, times, begin=0.05, since=0.16)
    assert r["recovered"] == pytest.approx(0.01) and r["during"] == 3
    # A packet lost before the outage began is no part of it; one that never
    # came again leaves the stream unrecovered, every later packet lost in it.
    del times[1]
    r = outage.stream_recovery(0.0, 10, {k: v for k, v in times.items() if k < 3}, 0.05, 0.05)
    assert r == {"recovered": None, "before": 1, "during": 7, "after": 0}


def test_outage_sums_a_direction_and_waits_for_every_stream():
    a = {k: (k * 0.02, k * 0.02 + 0.05) for k in (0, 1, 5, 6)}
    b = {k: (0.01 + k * 0.02, 0.06 + k * 0.02) for k in (0, 1, 6)}
    r = outage.recovery([(0.0, 7, a), (0.01, 7, b)], begin=0.05, since=0.05)
    assert r["streams"] == r["recovered_streams"] == 2
    assert r["first_s"] == pytest.approx(0.10) and r["all_s"] == pytest.approx(0.13)
    assert (r["lost_before"], r["lost_during"], r["lost_after"]) == (1, 6, 0)
    r = outage.recovery([(0.0, 7, a), (0.01, 7, {0: b[0]})], 0.05, 0.05)
    assert r["recovered_streams"] == 1 and r["all_s"] is None
    assert r["first_s"] == pytest.approx(0.10)


def test_arrival_stats_keep_the_first_arrival_and_the_server_down_argument():
    s = outage.ArrivalStats()
    s.on_counter(3, 0.25)
    first = s.times[3]
    s.on_counter(3, 0.01)
    assert s.times == {3: first} and s.duplicates == 1 and s.received == 1
    assert first[1] - first[0] == pytest.approx(0.25)
    assert outage.parse_down("10:20") == (10.0, 20.0)
    for bad in ("10", "10:0", "-1:5", "a:b"):
        with pytest.raises(ValueError):
            outage.parse_down(bad)


@pytest.mark.slow
def test_lab_moves_the_server_and_the_client_finds_it(lab_command, tmp_path):
    figures_path = tmp_path / "figures.json"
    result = subprocess.run(lab_command + ["--calls", str(CALLS), "--seconds", "12", "--no-gst",
                                           "--server-move-at", "2", "--set", "server_timeout=1",
                                           "--json", str(figures_path)],
                            capture_output=True, text=True, timeout=scaled(180))
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    tag = lab_tag(out)
    assert namespaces_left(tag) == []
    assert not os.path.exists("/etc/netns/%s-router" % tag)
    o = json.loads(figures_path.read_text())["outage"]
    assert o["kind"] == "move" and o["server_timeout"] == "1"
    # Found under its name at the new address, and every call flows again
    # both ways without a packet lost after that.
    assert o["client_server_lost"] == 1
    assert o["client_server_state"] == "registered at 10.77.2.3:42000"
    for d in ("up", "down"):
        assert o[d]["recovered_streams"] == o[d]["streams"] == CALLS, (d, o)
        assert o[d]["lost_during"] > 0 and o[d]["lost_after"] == 0, (d, o)


def test_peer_moved_or_silenced_answers_only_where_and_when_it_serves():
    peer = labpeer.LabPeer("127.0.0.1:0", password="x", challenge_unknown=True)
    peer.open()
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.settimeout(0)
    request = labpeer.control_message(labpeer.REQUEST)

    def answer(to, wait=0.3):
        client.sendto(request, to)
        end = time.monotonic() + wait
        while time.monotonic() < end:
            peer.run_once(0.05)
        try:
            return client.recvfrom(4096)
        except BlockingIOError:
            return None

    try:
        old = peer.sockets["main"].getsockname()
        peer.command({"cmd": "silence", "seconds": 1.0})
        assert answer(old) is None
        time.sleep(0.8)
        data, src = answer(old)
        assert labpeer.control_keyword(data) == labpeer.CHALLENGE and src == old
        peer.command({"cmd": "move", "to": "127.0.0.2:%d" % old[1]})
        assert answer(old) is None
        data, src = answer(("127.0.0.2", old[1]))
        assert labpeer.control_keyword(data) == labpeer.CHALLENGE and src == ("127.0.0.2", old[1])
        c = peer.counters
        assert c["dropped:silenced"] == 1 and c["dropped:moved-from"] == 1
        assert c["ev:restarted"] == 1
    finally:
        client.close()
        peer.close()
