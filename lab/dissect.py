"""RTP streams of a capture of the tunnel, through the Wireshark dissector.

rtp_streams(pcap, password) runs tshark with wireshark/corvex.lua on a
capture of the WAN (the UDP association between the client and the server)
and returns tshark's RTP stream statistics of the packets inside it: the
full-form packets and those rebuilt from the compressed sub-packets, as the
receiving side rebuilds them.  Standard library only.
"""
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


def tshark_command(pcap_path, password, port, script):
    cmd = ["tshark", "-n", "-q", "-r", pcap_path, "-X", "lua_script:" + script,
           "-o", "corvex.port:%d" % port, "-o", "rtp.heuristic_rtp:TRUE"]
    if password:
        cmd += ["-o", "corvex.password:" + password]
    return cmd + ["-z", "rtp,streams"]


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
    """tshark's RTP streams of the tunnel capture at pcap_path, decoded with
    the shared password (None or "" for none) and the server's UDP port.

    Returns a list of dicts (src, src_port, dst, dst_port, ssrc, payload,
    packets, lost, lost_percent, min/mean/max_delta_ms, min/mean/max_jitter_ms,
    problem), or None when tshark or the dissector is not available or tshark
    cannot read the capture."""
    if shutil.which("tshark") is None or not os.path.exists(script):
        return None
    try:
        proc = subprocess.run(tshark_command(pcap_path, password, port, script),
                              capture_output=True, text=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired):
        return None
    # A tshark without Lua does not know the corvex preferences and fails.
    if proc.returncode != 0 or "RTP Streams" not in proc.stdout:
        return None
    return parse_rtp_streams(proc.stdout)
