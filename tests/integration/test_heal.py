"""The tunnel heals itself, with the real binary: a server that stops
answering is probed, given up, and looked for again under its name.

corvex runs in the foreground in a mount namespace of its own whose
/etc/hosts is a file of the test, so that the test decides what the server's
name resolves to. The servers are UDP sockets on 127.0.0.1 and 127.0.0.2,
driven by hand.
"""
import os
import shutil
import socket
import subprocess
import time

import pytest

from test_daemon import wait_for

NAME = "corvex-heal-server"
PASSWORD = "heal-test"
AUTHORIZED = b"\x00\x81AUTHORIZED"
REQUEST = b"\x00\x81REQUEST"
CHALLENGE = b"\x00\x81CHANLLANGE" + bytes(range(65, 85))
_counter = [0]


class Heal:
    def __init__(self, corvex, d):
        self.dir = d
        self.hosts = os.path.join(d, "hosts")
        self.resolve_to("127.0.0.1")
        self.old = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.old.bind(("127.0.0.1", 0))
        self.port = self.old.getsockname()[1]
        self.new = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.new.bind(("127.0.0.2", self.port))
        _counter[0] += 1
        self.intf = "cxh%d%d" % (os.getpid() % 100000, _counter[0])
        self.log = os.path.join(d, "corvex.log")
        self.config = os.path.join(d, "corvex.conf")
        self.corvex = corvex
        self.proc = None

    def resolve_to(self, ip):
        # Written in place: the namespace sees this file through a bind mount.
        with open(self.hosts, "w") as f:
            f.write("%s %s\n" % (ip, NAME))

    def start(self, **extra):
        lines = ["server=" + NAME, "port=%d" % self.port, "password=" + PASSWORD,
                 "intf=" + self.intf, "pidfile=" + os.path.join(self.dir, "corvex.pid")]
        lines += ["%s=%s" % kv for kv in extra.items()]
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(self.config, 0o600)
        script = 'mount --bind "$0" /etc/hosts && exec "$@"'
        args = ["unshare", "--mount", "sh", "-c", script, self.hosts] + self.corvex + \
            ["-c", self.config, "-v"]
        self.out = open(self.log, "w")
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)

    def authorize(self, sock):
        """Answers the first REQUEST that comes to `sock` with AUTHORIZED."""
        sock.settimeout(10)
        while True:
            data, client = sock.recvfrom(4096)
            if data == REQUEST:
                sock.sendto(AUTHORIZED, client)
                return client

    def text(self):
        with open(self.log) as f:
            return f.read()

    def cleanup(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc is not None:
            self.out.close()
        self.old.close()
        self.new.close()


def arrivals(sock, seconds):
    """What reaches `sock` within `seconds`: (time, datagram, sender)."""
    got = []
    sock.settimeout(0.05)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            data, addr = sock.recvfrom(4096)
        except socket.timeout:
            continue
        got.append((time.monotonic(), data, addr))
    return got


@pytest.fixture
def heal(corvex, tmp_path):
    if os.geteuid() != 0 or shutil.which("unshare") is None or not os.path.exists("/dev/net/tun"):
        pytest.skip("needs root, unshare and /dev/net/tun")
    h = Heal(corvex, str(tmp_path))
    yield h
    h.cleanup()


# A REQUEST on the quiet line every 0.5 s: the client keeps sending.
KEEPALIVE = {"waiting_time": 250000, "max_idle_cycle": 1}


def test_a_server_that_moves_is_found_at_its_new_address(heal):
    heal.start(server_timeout=1, **KEEPALIVE)
    heal.authorize(heal.old)
    # The server goes quiet at its old address; its name now leads elsewhere.
    heal.resolve_to("127.0.0.2")
    heal.new.settimeout(20)
    data, client = heal.new.recvfrom(4096)
    assert data == REQUEST
    heal.new.sendto(CHALLENGE, client)
    data, _ = heal.new.recvfrom(4096)
    assert data[:8] == b"\x00\x81DIGEST" and len(data) == 24
    heal.new.sendto(AUTHORIZED, client)
    # From now on the client sends to the new address: its keepalive comes there.
    assert any(d == REQUEST for _, d, _ in arrivals(heal.new, 1.5))
    text = heal.text()
    assert "server lost at 127.0.0.1:%d: no answer to 3 probes" % heal.port in text, text
    assert "server found at 127.0.0.2:%d" % heal.port in text, text


def test_a_server_that_never_comes_back_is_asked_ever_more_rarely(heal):
    heal.start(server_timeout=1, **KEEPALIVE)
    heal.authorize(heal.old)
    heal.resolve_to("127.0.0.2")  # which never answers
    got = arrivals(heal.new, 21)
    times = [t for t, d, _ in got if d == REQUEST]
    assert heal.proc.poll() is None
    # Lost after 1 s of sending and three probes 2 s apart; then rounds of one
    # address (2 s each) and pauses of 2, 4, 8 s: asked at about 7.5, 11.5
    # and 17.5 s, next at 27.5 s.
    assert len(times) == 3, times
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert all(b > a for a, b in zip(gaps, gaps[1:])), gaps
    assert heal.text().count("server lost at") == 1


def test_without_server_timeout_a_silent_server_brings_nothing_new(heal):
    heal.start(**KEEPALIVE)
    client = heal.authorize(heal.old)
    heal.resolve_to("127.0.0.2")
    got = arrivals(heal.old, 5)
    # Only the keepalive's REQUESTs, every 0.5 s, from the client's one port.
    assert 8 <= len(got) <= 11, len(got)
    assert all(d == REQUEST and a == client for _, d, a in got)
    assert arrivals(heal.new, 0.5) == []
    assert "server lost" not in heal.text()
