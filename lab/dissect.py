"""RTP streams of a capture of the tunnel, through the Wireshark dissector.

rtp_streams(pcap, password) runs tshark with wireshark/corvex.lua on a
capture of the WAN (the UDP association between the client and the server)
and returns the RTP streams of the packets inside it: the full-form packets
and those rebuilt from the compressed sub-packets, as the receiving side
rebuilds them.  Standard library only.

tshark's "-z rtp,streams" tap takes a packet's addresses and ports from the
packet info of the capture frame once the frame is dissected, that is from
the last inner packet of the frame: when a frame carries packets of several
calls, all of them get that one's addresses.  So the streams are counted
here from the fields of each inner packet, keyed by addresses, ports and
SSRC.  tshark's sequence analysis also errs (negative loss) when several
packets of one stream share a frame, so its row is used only where it is
right: a stream that never shares a frame with another, and whose row counts
the packets and losses counted here.
"""
import collections
import os
import re
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ROOT, "wireshark", "corvex.lua")

# One row of tshark's "-z rtp,streams" table (Wireshark 4.0):
#   start end src sport dst dport ssrc payload pkts lost (pct%) min/mean/max delta,
#   min/mean/max jitter (ms), and "X" when tshark saw a problem.
_NUM = r"(-?[0-9.]+)"
_ROW = re.compile(
    r"^\s*" + _NUM + r"\s+" + _NUM + r"\s+(\S+)\s+(\d+)\s+(\S+)\s+(\d+)\s+(0x[0-9A-Fa-f]+)\s+"
    r"(.*?)\s+(\d+)\s+(-?\d+)\s+\(" + _NUM + r"%\)" + (r"\s+" + _NUM) * 6 + r"\s*(X?)\s*$")


# Per inner packet: one value per occurrence, in the order of the frame.
FIELDS = ["frame.time_relative", "corvex.kind", "corvex.form", "corvex.template_frame",
          "ip.src", "ip.dst", "udp.srcport", "udp.dstport",
          "rtp.ssrc", "rtp.seq", "rtp.timestamp", "rtp.p_type"]

# Clock rates of the static audio payload types whose rate is fixed.
CLOCK_RATE = {0: 8000, 3: 8000, 4: 8000, 5: 8000, 7: 8000, 8: 8000, 9: 8000, 12: 8000,
              13: 8000, 15: 8000, 18: 8000}


def tshark_command(pcap_path, password, port, script):
    cmd = ["tshark", "-n", "-r", pcap_path, "-X", "lua_script:" + script,
           "-o", "corvex.port:%d" % port, "-o", "rtp.heuristic_rtp:TRUE"]
    if password:
        cmd += ["-o", "corvex.password:" + password]
    cmd += ["-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,"]
    for field in FIELDS:
        cmd += ["-e", field]
    return cmd + ["-z", "rtp,streams"]


def inner_rtp_packets(text):
    """(frame index, time, src, sport, dst, dport, ssrc, seq, timestamp, payload
    type) of every RTP packet inside the tunnel, from tshark's field lines,
    and how many RTP packets could not be told apart from their frame's
    other inner packets (left out)."""
    packets, unplaced = [], 0
    for index, line in enumerate(text.splitlines()):
        row = dict(zip(FIELDS, (v.split(",") if v else [] for v in line.split("\t"))))
        ssrcs = row.get("rtp.ssrc", [])
        if not ssrcs:
            continue
        # The packets handed to the ip dissector come after the outer
        # headers: a frame's full forms and rebuilt packets, or the one
        # packet of a non-RTP message. Aligned from the end when each of
        # them is RTP.
        kind = row["corvex.kind"]
        if kind == ["frame"]:
            inner = row["corvex.form"].count("full") + len(row["corvex.template_frame"])
        else:
            inner = 1 if kind == ["non-rtp"] else 0
        k = len(ssrcs)
        if (k != inner or len(row["ip.src"]) < k or len(row["udp.srcport"]) < k
                or {len(row[f]) for f in ("rtp.seq", "rtp.timestamp", "rtp.p_type")} != {k}):
            unplaced += k
            continue
        t = float(row["frame.time_relative"][0])
        for i in range(k):
            a, u = len(row["ip.src"]) - k + i, len(row["udp.srcport"]) - k + i
            packets.append((index, t, row["ip.src"][a], int(row["udp.srcport"][u]),
                            row["ip.dst"][a], int(row["udp.dstport"][u]), int(ssrcs[i], 0),
                            int(row["rtp.seq"][i]), int(row["rtp.timestamp"][i]),
                            int(row["rtp.p_type"][i])))
    return packets, unplaced


def count_streams(packets):
    """One dict per stream of (src, sport, dst, dport, ssrc), in order of
    first appearance: packets, lost by sequence number (extended across the
    wrap, so duplicates make it negative as in tshark), delta between
    capture times and RFC 3550 jitter in ms (None where the clock rate is
    not known), and whether the stream shares a frame with another."""
    by_key = collections.OrderedDict()
    frames = collections.defaultdict(set)
    for p in packets:
        by_key.setdefault(p[2:7], []).append(p)
        frames[p[0]].add(p[2:7])
    mixed = set()
    for keys in frames.values():
        if len(keys) > 1:
            mixed |= keys
    streams = []
    for key, ps in by_key.items():
        ext, last, cycles, problem = [], None, 0, False
        for p in ps:
            seq = p[7]
            if last is not None:
                step = (seq - last) % 65536
                if step >= 32768:
                    step -= 65536
                problem |= step != 1
                if step < 0 and seq > last:
                    cycles -= 65536
                elif step > 0 and seq < last:
                    cycles += 65536
            ext.append(cycles + seq)
            last = seq
        expected = max(ext) - min(ext) + 1
        rate = CLOCK_RATE.get(ps[0][9])
        jitter = (None, None, None)
        if rate is not None:
            j, js = 0.0, [0.0]
            for a, b in zip(ps, ps[1:]):
                d = (b[1] - a[1]) * rate - ((b[8] - a[8] + 2 ** 31) % 2 ** 32 - 2 ** 31)
                j += (abs(d) - j) / 16.0
                js.append(1000.0 * j / rate)
            jitter = (min(js), sum(js) / len(js), max(js))
        deltas = [1000.0 * (b[1] - a[1]) for a, b in zip(ps, ps[1:])] or [0.0]
        lost = expected - len(ps)
        streams.append({
            "src": key[0], "src_port": key[1], "dst": key[2], "dst_port": key[3],
            "ssrc": key[4], "payload": "PT %d" % ps[0][9], "packets": len(ps), "lost": lost,
            "lost_percent": round(100.0 * lost / expected, 1),
            "min_delta_ms": min(deltas), "mean_delta_ms": sum(deltas) / len(deltas),
            "max_delta_ms": max(deltas), "min_jitter_ms": jitter[0], "mean_jitter_ms": jitter[1],
            "max_jitter_ms": jitter[2],
            "problem": problem, "shares_frames": key in mixed,
        })
    return streams


def parse_rtp_streams(text):
    """The rows of tshark's RTP stream table as dicts."""
    streams = []
    for line in text.splitlines():
        m = _ROW.match(line)
        if m is None:
            continue
        g = m.groups()
        streams.append({
            "src": g[2], "src_port": int(g[3]), "dst": g[4], "dst_port": int(g[5]),
            "ssrc": int(g[6], 16), "payload": g[7], "packets": int(g[8]), "lost": int(g[9]),
            "lost_percent": float(g[10]),
            "min_delta_ms": float(g[11]), "mean_delta_ms": float(g[12]),
            "max_delta_ms": float(g[13]),
            "min_jitter_ms": float(g[14]), "mean_jitter_ms": float(g[15]),
            "max_jitter_ms": float(g[16]),
            "problem": g[17] == "X",
        })
    return streams


def rtp_streams(pcap_path, password, port=42000, script=SCRIPT, timeout=600):
    """The RTP streams inside the tunnel capture at pcap_path, decoded with
    the shared password (None or "" for none) and the server's UDP port.

    Returns a list of dicts (src, src_port, dst, dst_port, ssrc, payload,
    packets, lost, lost_percent, min/mean/max_delta_ms, min/mean/max_jitter_ms,
    problem, shares_frames), or None when tshark or the dissector is not
    available or tshark cannot read the capture.  A stream that never shares
    a frame with another has tshark's figures; the others are counted here."""
    if shutil.which("tshark") is None or not os.path.exists(script):
        return None
    try:
        proc = subprocess.run(tshark_command(pcap_path, password, port, script),
                              capture_output=True, text=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired):
        return None
    # A tshark without Lua does not know the corvex preferences and fails.
    marker = proc.stdout.find("=== RTP Streams ===")
    if proc.returncode != 0 or marker < 0:
        return None
    fields = proc.stdout[:proc.stdout.rfind("\n", 0, marker) + 1]
    packets, _ = inner_rtp_packets(fields)
    streams = count_streams(packets)
    rows = parse_rtp_streams(proc.stdout[marker:])
    names = {r["ssrc"]: r["payload"] for r in rows}
    tshark = {(r["src"], r["src_port"], r["dst"], r["dst_port"], r["ssrc"]): r for r in rows}
    for st in streams:
        st["payload"] = names.get(st["ssrc"], st["payload"])
        row = tshark.get((st["src"], st["src_port"], st["dst"], st["dst_port"], st["ssrc"]))
        if (not st["shares_frames"] and row is not None
                and (row["packets"], row["lost"]) == (st["packets"], st["lost"])):
            st.update(row)
    return streams
