"""The running client: up and down scripts, stop signals, the idle REQUEST,
re-registration inside the loop, and setup failures."""
import os
import shlex
import signal
import time

import pytest

from netlab import RegLab, labpeer, scaled, wait_for, write_script

REQUEST_MSG = b"\x00\x81REQUEST"


@pytest.fixture
def reg(lab, corvex):
    return RegLab(lab, corvex)


def requests_in(received):
    return [t for t, data, _ in received if data == REQUEST_MSG]


def test_up_script_sees_settings_but_no_password_and_its_arguments(reg, lab):
    env_path = lab.path("up.env")
    args_path = lab.path("up.args")
    tun_path = lab.path("up.tun")
    script = write_script(lab.path("dump.sh"), (
        "env > %s\n"
        'for a in "$@"; do echo "$a"; done > %s\n'
        # Written aside and renamed: the test waits for the file to appear.
        'ip link show "$intf" > /dev/null 2>&1 && echo present > %s.new && mv %s.new %s\n'
        % (shlex.quote(env_path), shlex.quote(args_path), shlex.quote(tun_path),
           shlex.quote(tun_path), shlex.quote(tun_path))))
    peer = reg.start_peer(mode="authorize")
    client = reg.start_client(scripts=False, items=[
        ("intf", "cvxt7"), ("mtu", 1400), ("lab_note", "a=b c"),
        ("up", script + " first second")])
    wait_for(lambda: os.path.exists(tun_path) or not client.alive(), 10, "the up script")
    assert client.alive(), client.log()
    with open(env_path) as f:
        env = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
    assert env["server"] == "127.0.0.1"
    assert env["port"] == "42000"
    assert env["intf"] == "cvxt7"
    assert env["mtu"] == "1400"
    assert env["lab_note"] == "a=b c"
    assert env["up"] == script + " first second"
    assert "password" not in env
    # Settings the file leaves at their defaults are not exported.
    for key in ("sip_port", "max_call", "waiting_time", "down"):
        assert key not in env
    with open(args_path) as f:
        assert f.read().split("\n")[:2] == ["first", "second"]
    # The TUN interface exists while the up script runs.
    with open(tun_path) as f:
        assert f.read().strip() == "present"
    assert peer.received()[0][1] == REQUEST_MSG


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_in_the_loop_runs_down_script_and_exits_255(reg, lab, signum):
    tun_path = lab.path("down.tun")
    down = write_script(lab.path("down-check.sh"), (
        "echo down >> %s\n"
        'ip link show "$intf" > /dev/null 2>&1 && echo present > %s\n'
        % (shlex.quote(reg.events_path), shlex.quote(tun_path))))
    reg.start_peer(mode="authorize")
    client = reg.start_client(scripts=False, items=[
        ("intf", "cvxt8"), ("up", reg.up_script), ("down", down)])
    reg.wait_up(client)
    reg.wait_loop()
    client.signal(signum)
    assert client.wait() == 255
    assert reg.script_events() == ["up", "down"]
    # The TUN device was still there for the down script, and is gone now.
    with open(tun_path) as f:
        assert f.read().strip() == "present"
    assert reg.ns.ip("link", "show", "cvxt8", check=False).returncode != 0


def test_failing_up_script_is_logged_and_the_tunnel_comes_up_anyway(reg, lab):
    script = write_script(lab.path("fail.sh"), "echo up >> %s\nexit 3\n"
                          % shlex.quote(reg.events_path))
    peer = reg.start_peer(mode="authorize")
    client = reg.start_client(scripts=False, items=[("up", script)])
    reg.wait_up(client)
    wait_for(lambda: "returned non-zero return code: 768" in client.log(), 5, "the log line")
    assert "script %s returned non-zero return code: 768" % script in client.log()
    # Still running: a challenge inside the loop is answered.
    mark = peer.mark()
    peer.call("challenge")
    _, reply, _ = peer.wait_received(1, since=mark, what="DIGEST")[0]
    assert reply.startswith(b"\x00\x81DIGEST")
    assert client.alive()


def test_no_up_script_configured_is_a_warning(reg):
    peer = reg.start_peer(mode="authorize")
    client = reg.start_client(scripts=False)
    peer.wait_received(1, what="REQUEST")
    wait_for(lambda: "warning: script not set" in client.log(), 10, "the warning")
    client.signal(signal.SIGTERM)
    assert client.wait() == 255
    assert client.log().count("warning: script not set") == 2   # up, then down


def test_challenge_and_decline_in_the_loop_start_the_exchange_again(reg):
    peer = reg.start_peer(mode="authorize")
    client = reg.start_client()
    reg.wait_up(client)
    peer.call("set", mode="normal")

    # CHANLLANGE in the loop: DIGEST at once, and the exchange completes.
    mark = peer.mark()
    challenge = bytes.fromhex(peer.call("challenge")["hex"])[12:]
    peer.wait_events(1, "authorized", since=mark)
    first = peer.received(mark)[0]
    assert first[1] == b"\x00\x81DIGEST" + labpeer.registration_digest(challenge, b"secret")

    # DECLINED in the loop: REQUEST at once, then the whole exchange again.
    mark = peer.mark()
    peer.call("send", hex=b"\x00\x81DECLINED".hex())
    peer.wait_events(1, "authorized", since=mark)
    kinds = [labpeer.control_keyword(d) for _, d, _ in peer.received(mark)][:2]
    assert kinds == [b"REQUEST", b"DIGEST"]
    # The scripts ran once only.
    assert reg.script_events() == ["up"]
    assert client.alive()


def test_idle_request_cadence_with_nonzero_waiting_time(reg):
    # 100 ms waits, a REQUEST at every third empty one: every 300 ms.
    peer = reg.start_peer(mode="authorize")
    client = reg.start_client(items=[("waiting_time", 100000), ("max_idle_cycle", 2)])
    reg.wait_up(client)
    peer.call("set", mode="silent")
    mark = peer.mark()
    got = peer.wait_received(5, since=mark, timeout=10, what="idle REQUESTs",
                             match=lambda d: d == REQUEST_MSG)
    times = [t for t, _, _ in got][:5]
    gaps = [b - a for a, b in zip(times, times[1:])]
    # Three waits of 100 ms each; two or four would be 200 or 400 ms.
    assert 0.27 <= (times[-1] - times[0]) / 4 <= 0.36, gaps
    for gap in gaps:
        assert 0.2 <= gap <= 0.7, gaps
    # Nothing but REQUESTs went out meanwhile.
    assert all(d == REQUEST_MSG for _, d, _ in peer.received(mark))


def test_idle_request_every_empty_wait_with_max_idle_cycle_zero(reg):
    peer = reg.start_peer(mode="authorize")
    client = reg.start_client(items=[("waiting_time", 200000)])
    reg.wait_up(client)
    peer.call("set", mode="silent")
    mark = peer.mark()
    got = peer.wait_received(4, since=mark, timeout=10, what="idle REQUESTs")
    times = [t for t, _, _ in got][:4]
    assert 0.18 <= (times[-1] - times[0]) / 3 <= 0.27, times
    for gap in [b - a for a, b in zip(times, times[1:])]:
        assert 0.12 <= gap <= 0.5, times


def test_idle_client_with_default_settings_uses_no_cpu_and_sends_no_flood(reg):
    peer = reg.start_peer(mode="authorize")
    client = reg.start_client()
    reg.wait_up(client)
    peer.call("set", mode="silent")
    # Let the start-up settle: the CPU spent starting (qemu, sanitizers)
    # is not what is measured.
    mark = peer.mark()
    cpu_before = client.cpu_seconds()
    started = time.monotonic()
    window = 1.0
    while time.monotonic() - started < window:   # a measurement window, not a readiness wait
        time.sleep(0.1)
    cpu = client.cpu_seconds() - cpu_before
    elapsed = time.monotonic() - started
    requests = requests_in(peer.received(mark))
    assert cpu <= 0.1 * elapsed, "idle client used %.2f s of CPU in %.2f s" % (cpu, elapsed)
    assert len(requests) <= 2, "%d REQUESTs in %.2f s" % (len(requests), elapsed)
    assert client.alive()


# A setup failure ends the process at once, without freeing the settings
# read from the file: a sanitizer's leak report is expected there.

def test_setup_fails_on_a_server_name_that_does_not_resolve(reg):
    client = reg.start_client(items=[("server", "no-such-host.invalid")], allow_leaks=True)
    assert client.wait() == 1
    log = client.log()
    assert "getaddrinfo: " in log, log
    assert reg.script_events() == []


def test_setup_fails_on_an_unusable_interface_before_resolving(reg):
    # "lo" exists and is no TUN device: TUNSETIFF refuses it.  The bad
    # server name is never looked at, since the TUN device comes first.
    client = reg.start_client(items=[("intf", "lo"), ("server", "no-such-host.invalid")],
                              allow_leaks=True)
    assert client.wait() == 1
    log = client.log()
    assert "can not setup tun device: lo" in log, log
    assert "getaddrinfo" not in log
    assert reg.script_events() == []


def test_setup_failure_without_verbose_prints_nothing(reg, lab, corvex):
    from netlab import Corvex
    client = Corvex(lab, reg.ns, corvex, [("server", "127.0.0.1"), ("intf", "lo")],
                    name="quiet", verbose=False, allow_leaks=True)
    assert client.wait() == 1
    assert client.log() == ""
