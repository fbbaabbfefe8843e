"""The packages: the OpenWrt package's scripts (its init script, the rendering
of UCI into corvex's configuration file, the import of an old configuration
and the firewall zone), run under a stand-in of OpenWrt's shell API
(tests/openwrt), and the systemd unit's sandbox (checked with systemd-analyze
where it is installed)."""
import json
import os
import re
import shutil
import stat
import subprocess

import pytest

import importlib.machinery
import importlib.util

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPENWRT = os.path.join(ROOT, "packaging", "openwrt")
FILES = os.path.join(OPENWRT, "files")
STANDIN = os.path.join(ROOT, "tests", "openwrt")
SAMPLE = os.path.join(ROOT, "packaging", "corvex.conf.sample")
UNIT = os.path.join(ROOT, "packaging", "systemd", "corvex.service")
# OpenWrt's shell is busybox's ash: the scripts run under it where it is
# installed (run-tests installs it), else under /bin/sh.
SHELL = ["busybox", "sh"] if shutil.which("busybox") else ["/bin/sh"]
# The stand-in's reader of UCI files.
_loader = importlib.machinery.SourceFileLoader("uci_standin", os.path.join(STANDIN, "uci"))
UCI = importlib.util.module_from_spec(importlib.util.spec_from_loader("uci_standin", _loader))
_loader.exec_module(UCI)

# The closed zone, as every first install sets it up (the device aside).
ZONE = {"type": "zone", "name": "corvex", "input": "REJECT", "output": "ACCEPT",
        "forward": "REJECT", "masq": "0", "mtu_fix": "0"}

# Answers "-s status" as the test expects it asked.
FAKE_CORVEX = """#!/bin/sh
echo "corvex $*"
"""


def settings(text):
    """The key=value lines of a configuration, as corvex reads them."""
    found = {}
    for line in text.splitlines():
        line = line.split("\r", 1)[0]
        if line and not line.startswith("#"):
            key, _, value = line.partition("=")
            found[key] = value
    return found


def uci_options(text, commented):
    """{key: value} of the option lines of a UCI file (or of its commented-out ones)."""
    pattern = r"^\s*#option (\w+) '([^']*)'$" if commented else r"^\s*option (\w+) '([^']*)'$"
    return dict(re.findall(pattern, text, re.M))


class Router:
    """A file system root with the package's files installed, as on a router."""

    def __init__(self, tmp_path):
        self.root = tmp_path / "root"
        self.bin = tmp_path / "bin"
        self.bin.mkdir()
        for tool in ("uci", "logger"):
            os.symlink(os.path.join(STANDIN, tool), self.bin / tool)
        self.install("corvex.init", "etc/init.d/corvex")
        self.install("corvex.uci-defaults", "etc/uci-defaults/90-corvex")
        self.install("corvex.sh", "lib/functions/corvex.sh")
        self.install("corvex.config", "etc/config/corvex")
        self.write("usr/sbin/corvex", FAKE_CORVEX, 0o755)
        self.write("etc/config/firewall", "config zone 'lan'\n\toption name 'lan'\n")
        self.env = dict(os.environ, PATH="%s:%s" % (self.bin, os.environ["PATH"]),
                        OPENWRT_ROOT=str(self.root), LC_ALL="C")

    def path(self, name):
        return self.root / name

    def write(self, name, text, mode=0o644):
        path = self.path(name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        path.chmod(mode)

    def install(self, source, name):
        # The scripts' absolute paths, pointed into the root.
        text = open(os.path.join(FILES, source)).read()
        text = re.sub(r"(?<![\w./-])/(etc|var|lib|usr|tmp)/", str(self.root) + r"/\1/", text)
        self.write(name, text, 0o755)

    def uci(self, *args):
        r = subprocess.run(["uci"] + list(args), env=self.env, capture_output=True, text=True)
        return r.stdout.rstrip("\n") if r.returncode == 0 else None

    def init(self, action):
        return subprocess.run(SHELL + [os.path.join(STANDIN, "rc.common"),
                               str(self.path("etc/init.d/corvex")), action],
                              env=self.env, capture_output=True, text=True)

    def uci_defaults(self):
        return subprocess.run(SHELL + [str(self.path("etc/uci-defaults/90-corvex"))],
                              env=self.env, capture_output=True, text=True).returncode

    def procd(self):
        return json.loads(self.path("procd/corvex.json").read_text())

    def rendered(self):
        path = self.path("var/etc/corvex.conf")
        return path.read_text() if path.exists() else None

    def syslog(self):
        path = self.path("syslog")
        return path.read_text() if path.exists() else ""

    def firewall(self, name):
        """The section NAME of the firewall: {"type": ..., option: value or [items]}."""
        for section in UCI.parse(self.uci("export", "firewall")):
            if section["name"] == name:
                return dict(section["options"], type=section["type"])
        return {}


@pytest.fixture
def router(tmp_path):
    return Router(tmp_path)


def test_openwrt_uci_file_holds_every_key_of_the_sample(router):
    text = open(os.path.join(FILES, "corvex.config")).read()
    sample = open(SAMPLE).read()
    assert uci_options(text, commented=False) == dict(
        settings(sample), enabled="0", verbose="0")
    commented = dict(re.findall(r"^#(\w+)=(.*)$", sample, re.M))
    assert uci_options(text, commented=True) == commented


def test_openwrt_disabled_section_starts_nothing(router):
    r = router.init("start")
    assert r.returncode == 0, r.stderr
    message = router.procd()
    assert message["instances"] == {}
    assert router.rendered() is None


def test_openwrt_shipped_uci_file_renders_the_sample_settings(router):
    router.uci("set", "corvex.main.enabled=1")
    router.uci("commit", "corvex")
    router.uci_defaults()
    r = router.init("start")
    assert r.returncode == 0, r.stderr
    rendered = router.rendered()
    assert rendered.endswith("\n")
    assert settings(rendered) == settings(open(SAMPLE).read())
    assert len(rendered.splitlines()) == len(settings(rendered))
    assert stat.S_IMODE(os.stat(router.path("var/etc/corvex.conf")).st_mode) == 0o600
    conf = str(router.path("var/etc/corvex.conf"))
    assert router.procd() == {
        "name": "corvex", "script": str(router.path("etc/init.d/corvex")),
        "instances": {"instance1": {
            "command": [str(router.path("usr/sbin/corvex")), "-c", conf],
            "respawn": ["3600", "5", "0"], "stdout": True, "stderr": True, "file": [conf],
            "pidfile": str(router.path("var/run/larkspan.pid"))}},
        "triggers": [["config.change", ["if", ["eq", "package", "corvex"],
                                        ["run_script", "/etc/init.d/corvex", "reload"]], 1000]]}
    assert router.syslog() == ""  # tun0 is in the zone
    r = router.init("status")
    assert r.stdout == "corvex -c %s -s status\n" % conf


def test_openwrt_values_render_as_given(router):
    values = {"password": "it's a \"pass\" word ", "up": "/etc/corvex/up.sh lan 'a b'",
              "lan_net": "192.0.2.0/24", "pidfile": "/tmp/corvex.pid"}
    for key, value in values.items():
        router.uci("set", "corvex.main.%s=%s" % (key, value))
    router.uci("set", "corvex.main.enabled=yes")
    router.uci("set", "corvex.main.verbose=1")
    router.uci("commit", "corvex")
    r = router.init("start")
    assert r.returncode == 0, r.stderr
    rendered = settings(router.rendered())
    for key, value in values.items():
        assert rendered[key] == value
    assert "enabled" not in rendered and "verbose" not in rendered
    instance = router.procd()["instances"]["instance1"]
    assert instance["command"][1:] == ["-c", str(router.path("var/etc/corvex.conf")), "-v"]
    assert instance["pidfile"] == "/tmp/corvex.pid"


@pytest.mark.parametrize("key, value, complaint", [
    ("password", "one\ntwo", "option password holds a line break"),
    ("server", "", "no server set"),
    ("up", "x" * 508, "option up is too long"),
])
def test_openwrt_unwritable_configuration_is_not_started(router, key, value, complaint):
    router.uci("set", "corvex.main.enabled=1")
    router.uci("set", "corvex.main.%s=%s" % (key, value))
    router.uci("commit", "corvex")
    r = router.init("start")
    assert r.returncode != 0
    assert router.procd()["instances"] == {}
    assert router.rendered() is None
    assert complaint in router.syslog()


@pytest.mark.parametrize("intf, zone_device, in_zone", [
    (None, "tun0", True),
    ("voice0", "tun0", False),  # changed after the first install
    ("voice0", "voice+", True),
    ("abcdefghijklmnopqrst", "abcdefghijklmno", True),  # the kernel keeps 15 characters
])
def test_openwrt_start_says_when_the_interface_is_not_in_the_zone(router, intf, zone_device,
                                                                  in_zone):
    router.uci("set", "corvex.main.enabled=1")
    if intf:
        router.uci("set", "corvex.main.intf=%s" % intf)
    router.uci("commit", "corvex")
    router.write("etc/config/firewall", "config zone 'corvex'\n\toption name 'corvex'\n"
                 "\tlist device '%s'\n" % zone_device)
    assert router.init("start").returncode == 0
    assert router.procd()["instances"]
    complaint = "interface %s is not in the firewall zone corvex" % (intf or "tun0")[:15]
    assert (complaint in router.syslog()) == (not in_zone), router.syslog()


def test_openwrt_zone_through_a_network_counts(router):
    router.uci("set", "corvex.main.enabled=1")
    router.uci("set", "corvex.main.intf=voice0")
    router.uci("commit", "corvex")
    router.write("etc/config/firewall", "config zone\n\toption name 'corvex'\n"
                 "\tlist network 'vox'\n")
    router.write("etc/config/network", "config interface 'vox'\n\toption device 'voice0'\n")
    assert router.init("start").returncode == 0
    assert router.syslog() == ""


@pytest.mark.parametrize("intf, device", [
    (None, ["tun0"]),
    ("voice7", ["voice7"]),
    ("abcdefghijklmnopq", ["abcdefghijklmno"]),
    ("a'b", ["a'b"]),
])
def test_openwrt_firewall_zone_is_closed_but_lets_calls_in(router, intf, device):
    if intf:
        router.uci("set", "corvex.main.intf=%s" % intf)
        router.uci("commit", "corvex")
    assert router.uci_defaults() == 0
    assert router.firewall("corvex") == dict(ZONE, device=device)
    # From the tunnel: only UDP into the LAN, by a rule; into it everything.
    assert router.firewall("corvex_udp_to_lan") == {
        "type": "rule", "name": "corvex-udp-to-lan", "src": "corvex", "dest": "lan",
        "proto": "udp", "target": "ACCEPT"}
    assert router.firewall("corvex_lan_out") == {"type": "forwarding", "src": "lan",
                                                 "dest": "corvex"}
    assert router.firewall("lan") == {"type": "zone", "name": "lan"}
    # Committed: the file holds it.
    assert not router.path("tmp/.uci/firewall.json").exists()
    assert "config zone 'corvex'" in router.path("etc/config/firewall").read_text()


def test_openwrt_firewall_zone_of_the_operator_is_left_alone(router):
    router.write("etc/config/firewall", "config zone 'corvex'\n\toption name 'corvex'\n"
                 "\tlist device 'mine0'\n")
    assert router.uci_defaults() == 0
    assert router.firewall("corvex") == {"type": "zone", "name": "corvex", "device": ["mine0"]}
    assert router.firewall("corvex_udp_to_lan") == {}


OLD_CONF = (
    "# from an earlier install\r\n"
    "server=voice.example.org\r\n"
    "password=it's \"secret\" \r\n"
    "intf=voice-trunk-number-7\r\n"
    "waiting_time=1000000\n"
    "up=/etc/corvex/up.sh lan\n"
    "lan_net=192.0.2.0/24\n"
    "max_call=32\n"
    "max_call=64\n"
)


def test_openwrt_old_configuration_is_imported_once(router):
    router.write("etc/corvex.conf", OLD_CONF, 0o600)
    assert router.uci_defaults() == 0
    assert router.uci("get", "corvex.main.enabled") == "1"
    assert "imported" in router.syslog()
    # The zone holds the interface corvex creates: 15 characters, no CR.
    assert router.firewall("corvex")["device"] == ["voice-trunk-num"]
    assert router.init("start").returncode == 0
    assert settings(router.rendered()) == settings(OLD_CONF)
    assert "not in the firewall zone" not in router.syslog()
    # Once only: the operator's later settings stay, the old file too.
    router.uci("set", "corvex.main.max_call=8")
    router.uci("commit", "corvex")
    router.path("etc/uci-defaults/90-corvex").chmod(0o755)
    assert router.uci_defaults() == 0
    assert router.uci("get", "corvex.main.max_call") == "8"
    assert router.path("etc/corvex.conf").read_bytes() == OLD_CONF.encode()


def test_openwrt_package_installs_the_uci_file_private_and_the_scripts():
    makefile = open(os.path.join(OPENWRT, "Makefile")).read()
    # INSTALL_CONF installs with mode 0600 (OpenWrt's rules.mk): the file
    # holds the password.
    assert re.search(r"^\s*\$\(INSTALL_CONF\) \./files/corvex\.config \$\(1\)/etc/config/corvex$",
                     makefile, re.M)
    for source, target in (("corvex.init", "/etc/init.d/corvex"),
                           ("corvex.uci-defaults", "/etc/uci-defaults/\\S+"),
                           ("corvex.sh", "/lib/functions/corvex.sh")):
        assert re.search(r"^\s*\$\(INSTALL_\w+\) \./files/%s \$\(1\)%s$"
                         % (re.escape(source), target), makefile, re.M), source
    assert re.search(r"^/etc/config/corvex$", makefile, re.M)  # a conffile


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
