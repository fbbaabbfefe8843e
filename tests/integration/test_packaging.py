"""The packages' security defaults: the OpenWrt firewall zone set up on first
install (run against a stand-in for uci, which this machine lacks), the
configuration file's mode, and the systemd unit's sandbox (checked with
systemd-analyze where it is installed)."""
import os
import re
import shutil
import stat
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPENWRT = os.path.join(ROOT, "packaging", "openwrt")
UCI_DEFAULTS = os.path.join(OPENWRT, "files", "corvex.uci-defaults")
UNIT = os.path.join(ROOT, "packaging", "systemd", "corvex.service")

# Records what the script asks of uci: "get" answers as FIREWALL_HAS_CORVEX
# says, "batch" keeps its standard input.
FAKE_UCI = """#!/bin/sh
echo "$*" >> "$UCI_LOG"
[ "$1" = -q ] && shift
case "$1" in
  get) [ "$FIREWALL_HAS_CORVEX" = 1 ] && { echo zone; exit 0; }; exit 1 ;;
  batch) cat > "$UCI_BATCH" ;;
  *) exit 2 ;;
esac
"""

LINE = re.compile(r"^(set|add_list) firewall\.(\w+)(?:\.(\w+))?=(?:'([^']*)'|(\w+))$")


def run_uci_defaults(tmp_path, conf_text=None, has_corvex=False):
    """Runs the script with /bin/sh; returns (exit status, uci calls, sections)."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "uci").write_text(FAKE_UCI)
    (bin_dir / "uci").chmod(0o755)
    conf = tmp_path / "corvex.conf"
    if conf_text is not None:
        conf.write_text(conf_text)
    # The script's fixed paths, pointed into the test's directory.
    script = open(UCI_DEFAULTS).read()
    assert "/etc/corvex.conf" in script
    script = script.replace("/etc/corvex.conf", str(conf)).replace("/var/run/", str(tmp_path) + "/")
    (tmp_path / "script").write_text(script)
    env = dict(os.environ, PATH="%s:%s" % (bin_dir, os.environ.get("PATH", "")),
               UCI_LOG=str(tmp_path / "uci.log"), UCI_BATCH=str(tmp_path / "batch"),
               FIREWALL_HAS_CORVEX="1" if has_corvex else "0")
    rc = subprocess.run(["/bin/sh", str(tmp_path / "script")], env=env).returncode
    calls = (tmp_path / "uci.log").read_text().splitlines()
    sections = {}
    batch = tmp_path / "batch"
    lines = batch.read_text().splitlines() if batch.exists() else []
    if lines:
        assert lines[-1] == "commit firewall"
    for line in lines[:-1]:
        m = LINE.match(line)
        assert m, "not a uci batch line: %r" % line
        op, name, option, quoted, bare = m.groups()
        if option is None:
            assert op == "set" and bare is not None
            sections[name] = {"type": bare}
        elif op == "set":
            sections[name][option] = quoted
        else:
            sections[name].setdefault(option, []).append(quoted)
    return rc, calls, sections


@pytest.mark.parametrize("conf_text, device", [
    ("server=s\n", "tun0"),
    ("server=s\nintf=voice7\nintf=voice9\n", "voice9"),
    ("server=s\nintf=\n", "tun0"),
    (None, "tun0"),
])
def test_openwrt_firewall_zone_is_closed_but_lets_calls_in(tmp_path, conf_text, device):
    rc, calls, sections = run_uci_defaults(tmp_path, conf_text)
    assert rc == 0
    assert calls == ["-q get firewall.corvex", "-q batch"]
    zone = sections["corvex"]
    assert zone == {"type": "zone", "name": "corvex", "device": [device], "input": "REJECT",
                    "output": "ACCEPT", "forward": "REJECT", "masq": "0", "mtu_fix": "0"}
    zones = {s["name"] for s in sections.values() if s["type"] == "zone"}
    assert zones == {"corvex"}
    # From the tunnel: only UDP into the LAN, by a rule; nothing by a forwarding.
    from_tunnel = [s for s in sections.values() if s.get("src") == "corvex"]
    assert from_tunnel == [{"type": "rule", "name": "corvex-udp-to-lan", "src": "corvex",
                            "dest": "lan", "proto": "udp", "target": "ACCEPT"}]
    assert [s for s in sections.values() if s["type"] == "forwarding"] == [
        {"type": "forwarding", "src": "lan", "dest": "corvex"}]


def test_openwrt_firewall_zone_of_the_operator_is_left_alone(tmp_path):
    rc, calls, sections = run_uci_defaults(tmp_path, "server=s\n", has_corvex=True)
    assert rc == 0
    assert calls == ["-q get firewall.corvex"]
    assert sections == {}


def test_openwrt_package_installs_the_defaults_and_a_private_config():
    makefile = open(os.path.join(OPENWRT, "Makefile")).read()
    # INSTALL_CONF installs with mode 0600 (OpenWrt's rules.mk).
    assert re.search(r"^\s*\$\(INSTALL_CONF\) \S*corvex\.conf\.sample \$\(1\)/etc/corvex\.conf$",
                     makefile, re.M)
    assert re.search(r"^\s*\$\(INSTALL_\w+\) \./files/corvex\.uci-defaults "
                     r"\$\(1\)/etc/uci-defaults/\S+$", makefile, re.M)


def test_systemd_unit_verifies_and_keeps_only_network_capabilities(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        pytest.skip("systemd-analyze is not installed")
    text = open(UNIT).read()
    options = dict(re.findall(r"^(\w+)=(.*)$", text, re.M))
    assert options["CapabilityBoundingSet"].split() == ["CAP_NET_ADMIN", "CAP_NET_RAW"]
    assert options["NoNewPrivileges"] == "yes"
    assert options["PrivateTmp"] == "yes"
    assert options["ProtectHome"] == "yes"
    assert options["ProtectSystem"] in ("full", "strict")
    assert options["DeviceAllow"] == "/dev/net/tun rw"
    # verify wants the program to exist: point the unit at the built one.
    binary = os.path.join(ROOT, "build", "corvex")
    if not os.access(binary, os.X_OK):
        pytest.skip("corvex binary not built: %s" % binary)
    unit = tmp_path / "corvex.service"
    unit.write_text(text.replace("/usr/sbin/corvex", binary))
    result = subprocess.run([analyze, "verify", "--man=no", str(unit)], capture_output=True,
                            text=True)
    assert result.returncode == 0 and result.stderr.strip() == "", result.stderr
    # The threshold counts tenths: at most 5.0 of 10 (the unit without its
    # sandbox is rated 9.6).
    result = subprocess.run([analyze, "security", "--offline=true", "--threshold=50", str(unit)],
                            capture_output=True, text=True)
    if "unrecognized option" in result.stderr:
        pytest.skip("this systemd-analyze cannot rate a unit file offline")
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr
