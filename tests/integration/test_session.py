"""Where the features meet, with the real binary: status requests and the
status file beside the registration and the keepalive.

The server is a UDP socket on 127.0.0.1 driven by the test; SIGUSR1 comes
from the test as a poller of `-s status` would send it.
"""
import os
import signal
import socket
import time

from test_daemon import alive, env, wait_for  # noqa: F401  (env is a fixture)

AUTHORIZED = b"\x00\x81AUTHORIZED"
REQUEST = b"\x00\x81REQUEST"


def requests_during(server, seconds, during=None, every=0.3):
    """Arrival times of the REQUESTs the server gets over `seconds`, calling
    `during()` every `every` seconds meanwhile."""
    times = []
    server.settimeout(0.02)
    end = time.monotonic() + seconds
    next_call = time.monotonic()
    while time.monotonic() < end:
        if during is not None and time.monotonic() >= next_call:
            during()
            next_call += every
        try:
            data, _ = server.recvfrom(4096)
        except socket.timeout:
            continue
        if data == REQUEST:
            times.append(time.monotonic())
    return times


def gaps(times):
    return [round(b - a, 2) for a, b in zip(times, times[1:])]


def test_status_requests_during_the_registration_change_nothing_and_end_nothing(env):
    env.write_config(status_file=os.path.join(env.dir, "corvex.prom"), status_interval=1)
    _, pid = env.start()
    # Its first REQUEST has come; a poller asks every 0.3 s, and once a burst.
    for _ in range(20):
        os.kill(pid, signal.SIGUSR1)
    times = requests_during(env.server, 6.5, lambda: os.kill(pid, signal.SIGUSR1))
    assert alive(pid), env.log()
    assert len(times) == 3, gaps(times)
    assert all(abs(g - 2.0) < 0.3 for g in gaps(times)), gaps(times)


def test_the_status_file_is_rewritten_while_the_server_never_answers(env):
    prom = os.path.join(env.dir, "corvex.prom")
    env.write_config(status_file=prom, status_interval=1)
    env.start()
    written = set()
    deadline = time.monotonic() + 4.5
    while time.monotonic() < deadline:
        try:
            written.add(os.stat(prom).st_mtime_ns)
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    assert len(written) >= 4, written
    with open(prom) as f:
        assert "\ncorvex_registered 0\n" in f.read()


def test_the_keepalive_keeps_its_pace_beside_status_writes_and_requests(env):
    # A REQUEST after 5 quiet periods of 0.2 s: one a second.
    env.write_config(status_file=os.path.join(env.dir, "corvex.prom"), status_interval=1,
                     waiting_time=200000, max_idle_cycle=4)
    _, pid = env.start()
    # Authorize the daemon from the address its REQUESTs came to.
    env.server.settimeout(5)
    while True:
        data, addr = env.server.recvfrom(4096)
        if data == REQUEST:
            break
    env.server.sendto(AUTHORIZED, addr)
    time.sleep(0.1)
    times = requests_during(env.server, 5.5, lambda: os.kill(pid, signal.SIGUSR1))
    assert alive(pid), env.log()
    assert len(times) >= 4, gaps(times)
    assert all(abs(g - 1.0) < 0.15 for g in gaps(times)), gaps(times)


def test_one_forged_frame_yields_a_few_recovery_requests_only(env):
    env.write_config()
    env.start()
    env.server.settimeout(5)
    while True:
        data, client = env.server.recvfrom(4096)
        if data == REQUEST:
            break
    env.server.sendto(AUTHORIZED, client)
    time.sleep(0.2)
    # One frame with a compressed packet of every call id, none of which has
    # a template (bytes 2 onward XORed with the password, as frames travel).
    password = b"daemon-test"
    frame = bytearray()
    for call_id in range(1, 256):
        frame += bytes([call_id, 0x02, 1, 2])
    wire = bytes(frame[:2]) + bytes(b ^ password[i % len(password)] for i, b in enumerate(frame[2:]))
    env.server.sendto(wire, client)
    env.server.settimeout(0.5)
    asked = []
    try:
        while True:
            data, _ = env.server.recvfrom(4096)
            if data[:2] == b"\x01\x81":
                asked.append(data[2])
    except socket.timeout:
        pass
    assert 1 <= len(asked) <= 4, asked
