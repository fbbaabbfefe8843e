"""Shared fixtures of the integration tests.

CORVEX_BIN names the binary under test (default: build/corvex of the
checkout); CORVEX_RUNNER is an optional command prefix, for instance
"qemu-mips -L /usr/mips-linux-gnu" to run a cross-built binary.
"""
import os
import shlex
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def corvex_command():
    binary = os.environ.get("CORVEX_BIN", os.path.join(ROOT, "build", "corvex"))
    runner = shlex.split(os.environ.get("CORVEX_RUNNER", ""))
    return runner + [binary]


@pytest.fixture
def corvex():
    """The command prefix that starts the binary under test."""
    cmd = corvex_command()
    if not os.path.exists(cmd[-1]):
        pytest.skip("corvex binary not built: %s" % cmd[-1])
    return cmd


def have_netns():
    if os.geteuid() != 0 or shutil.which("ip") is None or not os.path.exists("/dev/net/tun"):
        return False
    probe = "corvexprobe%d" % os.getpid()
    ok = subprocess.run(["ip", "netns", "add", probe], capture_output=True).returncode == 0
    if ok:
        subprocess.run(["ip", "netns", "del", probe], capture_output=True)
    return ok


@pytest.fixture(scope="session")
def netns_available():
    if not have_netns():
        pytest.skip("needs root, /dev/net/tun and network namespaces")
    return True


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes ten seconds or more; deselect with -m 'not slow'")


@pytest.fixture
def lab(netns_available, tmp_path):
    """Namespaces, processes and sockets of one test, all undone afterwards."""
    import netlab
    lab = netlab.Lab(tmp_path)
    yield lab
    lab.close()


@pytest.fixture(scope="module")
def media_lab(netns_available, tmp_path_factory, request):
    """The four-host media lab (phones, client, server peer, host behind),
    shared by the tests of one module; each test starts its own client."""
    import netlab
    lab = netlab.MediaLab(tmp_path_factory.mktemp(request.module.__name__.rsplit(".", 1)[-1]))
    yield lab
    lab.close()


@pytest.fixture
def net(media_lab, corvex):
    """The media lab with the binary under test; the client and the peer are
    stopped after the test."""
    media_lab.command = corvex
    yield media_lab
    media_lab.stop()
