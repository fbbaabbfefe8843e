"""Status on demand with the real binary: `-s status` against a running
daemon (registered, not registered, gone) and the status file it keeps.

The server is a UDP socket on 127.0.0.1 that the test drives by hand: it
authorizes the daemon, sends it a recovery request and a compressed
sub-packet of a call it has no template for, and finally declines it. The
daemon's TUN device is never brought up and nothing is written to it.
"""
import os
import re
import socket
import subprocess
import sys
import time

import pytest

from test_daemon import env, wait_for  # noqa: F401  (env is a fixture)

AUTHORIZED = b"\x00\x81AUTHORIZED"
DECLINED = b"\x00\x81DECLINED"
REQUEST = b"\x00\x81REQUEST"

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABEL = r'[a-zA-Z_][a-zA-Z0-9_]*="[^"\\\n]*"'
SAMPLE = re.compile(r"(%s)(\{%s(,%s)*\})? -?[0-9]+$" % (NAME, LABEL, LABEL))
COMMENT = re.compile(r"# (HELP|TYPE) (%s) \S.*$" % NAME)


def check_exposition(text):
    """Every line a comment or `name{labels} value`, each sample's family
    announced by HELP and TYPE lines before it; returns the samples."""
    assert text.endswith("\n")
    typed, helped, samples = set(), set(), {}
    for line in text[:-1].split("\n"):
        c = COMMENT.match(line)
        if c:
            (typed if c.group(1) == "TYPE" else helped).add(c.group(2))
            continue
        s = SAMPLE.match(line)
        assert s, "not a sample: %r" % line
        assert s.group(1) in typed and s.group(1) in helped, line
        samples[line.rsplit(" ", 1)[0]] = int(line.rsplit(" ", 1)[1])
    return samples


def read_samples(path):
    try:
        with open(path) as f:
            return check_exposition(f.read())
    except FileNotFoundError:
        return {}


def test_status_command_and_status_file_of_a_daemon(env):
    prom = os.path.join(env.dir, "corvex.prom")
    env.write_config(status_file=prom, status_interval=1)
    # Directories where the files' temporary names used to be foreseeable
    # stop neither the status file nor the report.
    os.mkdir(prom + ".tmp")
    os.mkdir(env.pidfile + ".status.tmp")
    _, pid = env.start()
    # The file is there before the registration ends.
    samples = wait_for(lambda: read_samples(prom), 5, "the status file")
    assert samples["corvex_registered"] == 0
    assert samples["corvex_start_time_seconds"] > 0

    # Authorize the daemon (its first REQUEST came from this address).
    env.server.settimeout(5)
    data, client = env.server.recvfrom(4096)
    while data != REQUEST:
        data, client = env.server.recvfrom(4096)
    env.server.sendto(AUTHORIZED, client)
    wait_for(lambda: read_samples(prom).get("corvex_registered") == 1, 5,
             "corvex_registered 1 in the status file")

    r = env.run("status", verbose=False)
    assert r.returncode == 0, r.stdout
    out = r.stdout
    assert "corvex pid %d" % pid in out
    assert "server 127.0.0.1, address 127.0.0.1 port %d" % env.server.getsockname()[1] in out
    assert re.search(r"^registered, authorized \d+ s ago", out, re.M), out
    assert "\n0 live calls\n" in out and "\n0 ingress templates\n" in out
    assert out.endswith("no drops\n"), out
    assert not os.path.exists(env.pidfile + ".status")

    # The server asks for a full header; it sends a packet of a call the
    # client has no template for (answered with a recovery request); a
    # stranger sends a datagram.
    env.server.sendto(b"\x01\x81\x05\x14", client)
    env.server.sendto(b"\x07\x14" + bytes(20), client)
    assert env.server.recvfrom(4096)[0] == b"\x01\x81\x07\x14"
    stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stranger.sendto(b"\x07\x14" + bytes(20), client)
    stranger.close()
    want = {'corvex_recovery_requests_total{direction="ingress"}': 1,
            'corvex_recovery_requests_total{direction="egress"}': 1,
            'corvex_drops_total{direction="ingress",reason="no_template"}': 1,
            'corvex_drops_total{direction="ingress",reason="foreign_source"}': 1,
            'corvex_frames_total{direction="ingress"}': 1}
    wait_for(lambda: all(read_samples(prom).get(k) == v for k, v in want.items()), 5,
             "the counters of the exchange in the status file")
    r = env.run("status", verbose=False)
    assert r.returncode == 0, r.stdout
    assert "recovery requests: 1 sent, 1 received" in r.stdout
    assert "drops:\n  ingress foreign source: 1\n  ingress compressed without template: 1\n" \
        in r.stdout, r.stdout

    # Declined: the daemon registers again and the silent server leaves it
    # there; the status request is served during the registration.
    env.server.sendto(DECLINED, client)
    wait_for(lambda: env.server.recvfrom(4096)[0] == REQUEST, 5, "a REQUEST after DECLINED")
    r = env.run("status", verbose=False)
    assert r.returncode == 3, r.stdout
    assert re.search(r"^not registered, authorized \d+ s ago", r.stdout, re.M), r.stdout
    samples = read_samples(prom)
    assert samples["corvex_registered"] == 0
    assert samples['corvex_registrations_total{result="declined"}'] == 1

    assert env.run("stop").returncode == 0
    r = env.run("status", verbose=False)
    assert r.returncode == 1
    assert r.stdout == "corvex is not running (pid file %s)\n" % env.pidfile


def test_lab_counters_read_the_file_and_name_the_disagreements():
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "lab"))
    import counters
    text = "\n".join([
        "# HELP corvex_packets_total x", "# TYPE corvex_packets_total counter",
        'corvex_packets_total{direction="egress",kind="rtp_full"} 2',
        'corvex_packets_total{direction="egress",kind="rtp_short"} 95',
        'corvex_packets_total{direction="egress",kind="non_rtp"} 7',
        'corvex_packets_total{direction="ingress",kind="rtp_short"} 100',
        'corvex_drops_total{direction="egress",reason="no_slot"} 3',
        'corvex_drops_total{direction="ingress",reason="runt"} 0',
        'corvex_wire_bytes_total{direction="egress"} 600',
        'corvex_unmultiplexed_bytes_total{direction="egress"} 1000', ""])
    c = counters.parse(text)
    assert c.rtp_packets("egress") == 97 and c.drops("egress") == {"no_slot": 3}
    assert c.drops("ingress") == {} and c.saving_percent("egress") == 40.0
    r = counters.compare(c, up_sent=100, up_received=96, down_sent=100, down_received=99)
    assert r["findings"] == [
        "up: the client dropped 3: no_slot 3",
        "up: 1 packets the client sent were lost beyond it (wire, server, host)",
        "down: 1 packets the client wrote to its TUN device never reached the LAN"]
    try:
        counters.parse("corvex_registered one\n")
        assert False, "a malformed line was accepted"
    except ValueError:
        pass


# A stand-in for an instance under a supervisor: a process with the
# program's command name that answers SIGUSR1 by putting REPORT (bytes) at
# the report's path, then giving it to OWNER.
FAKE_INSTANCE = r"""
import ctypes, os, signal, sys, time
ctypes.CDLL(None).prctl(15, sys.argv[1].encode(), 0, 0, 0)   # PR_SET_NAME
report, body, owner = sys.argv[2], bytes.fromhex(sys.argv[3]), int(sys.argv[4])
def answer(*_):
    with open(report + ".new", "wb") as f:
        f.write(body)
    os.chmod(report + ".new", 0o600)
    if owner >= 0:
        os.chown(report + ".new", owner, -1)
    os.rename(report + ".new", report)
signal.signal(signal.SIGUSR1, answer)
print("ready", flush=True)
time.sleep(30)
"""


class fake_instance:
    def __init__(self, env, body, owner=-1):
        if len(env.corvex) > 1:
            # Under an emulator the client reads a host process's signal mask
            # by the target's signal numbers (SIGUSR1 is 16 on MIPS, 10 here).
            pytest.skip("the stand-in instance is a host process")
        name = os.path.basename(env.corvex[0])[:15]
        self.p = subprocess.Popen([sys.executable, "-c", FAKE_INSTANCE, name,
                                   env.pidfile + ".status", body.hex(), str(owner)],
                                  stdout=subprocess.PIPE, text=True)
        assert self.p.stdout.readline() == "ready\n"
        with open(env.pidfile, "w") as f:
            f.write("%d\n" % self.p.pid)

    def __enter__(self):
        return self.p

    def __exit__(self, *exc):
        self.p.kill()
        self.p.wait()


def test_status_prints_no_control_characters(env):
    body = b"registered\ncorvex pid 1\n\x1b]2;owned\x07\x1b[2J\tcalls \x9b31m\x00x\n"
    with fake_instance(env, body):
        r = subprocess.run(env.corvex + ["-c", env.config, "-s", "status"],
                           capture_output=True, timeout=10)
    assert r.returncode == 0, r.stdout
    assert r.stdout == b"corvex pid 1\n?]2;owned??[2J\tcalls ?31m?x\n"


def test_status_refuses_a_report_of_another_user(env):
    if os.geteuid() != 0:
        pytest.skip("needs root to give a file away")
    with fake_instance(env, b"registered\nforged\n", owner=65534):
        r = subprocess.run(env.corvex + ["-c", env.config, "-s", "status"],
                           capture_output=True, text=True, timeout=10)
    assert r.returncode == 1
    assert r.stdout == "refusing %s.status: owned by another user\n" % env.pidfile


def test_status_neither_hangs_on_a_fifo_nor_trusts_a_shared_pid_file(env):
    os.mkfifo(env.pidfile)
    t0 = time.monotonic()
    r = subprocess.run(env.corvex + ["-c", env.config, "-s", "status"],
                       capture_output=True, text=True, timeout=10)
    assert time.monotonic() - t0 < 4, "the command waited on the FIFO"
    assert (r.returncode, r.stdout) == (1, "refusing %s: not a regular file\n" % env.pidfile)
    os.unlink(env.pidfile)
    with open(env.pidfile, "w") as f:
        f.write("1\n")
    os.chmod(env.pidfile, 0o666)
    r = subprocess.run(env.corvex + ["-c", env.config, "-s", "status"],
                       capture_output=True, text=True, timeout=10)
    assert (r.returncode, r.stdout) == (1, "refusing %s: writable by group or others\n"
                                        % env.pidfile)
