"""The command line of the real binary: the usage text and when it appears,
the exit statuses of the runs that end before any endpoint is opened, the log
lines of a failed configuration under -v and the silence without it.

No test here means the binary to get as far as opening a TUN device or a
socket: every run either prints the usage text, fails on its configuration,
or is a stop command with no daemon behind its pid file. Should a fault let a
run go further, the interface name of GUARD makes the TUN set-up fail at once.
"""
import os
import re
import subprocess
import time

import pytest

USAGE = [
    "usage: corvex -c config_file [-s start/stop/restart] [-d]",
    "",
    "  -h, --help            show this help message and exit",
    "  -s start/stop/restart control multiplexer process. if omitted, will run",
    "                        in foreground",
    "  -c config_file        path to config file",
    "  -v                    verbose logging",
    "",
]

STAMP = re.compile(r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
                   r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                   r"[ 123]\d [012]\d:[0-5]\d:[0-6]\d \d{4} ")


# Not a valid interface name: the kernel refuses it.
GUARD = "intf=no/such/tun\n"


def run(cmd, *args):
    return subprocess.run(cmd + list(args), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=30)


def log_messages(stdout):
    """The messages of stamped log lines; fails on a line without a stamp."""
    assert stdout.endswith("\n"), repr(stdout)
    messages = []
    for line in stdout[:-1].split("\n"):
        m = STAMP.match(line)
        assert m, "not a log line: %r" % line
        messages.append(line[m.end():])
    return messages


def assert_usage(result):
    assert result.returncode == 1
    lines = result.stdout.split("\n")
    # Eight fixed lines, a ninth of the help address, each ending in a line
    # feed (hence the empty tenth piece).
    assert lines[:8] == USAGE
    assert len(lines) == 10 and lines[8].strip() and lines[9] == "", result.stdout


@pytest.fixture
def conf(tmp_path):
    """Writes a configuration file and returns its path."""
    def write(text, name="corvex.conf"):
        path = tmp_path / name
        path.write_bytes(text.encode())
        return str(path)
    return write


@pytest.fixture
def no_server(conf):
    # Parses, but fails at the end: a run that goes past option parsing
    # ends there with status 1 instead of opening anything.
    return conf("port=42000\nmtu=1400\n")


class TestUsage:
    @pytest.mark.parametrize("args", [
        [],
        ["-v"],
        ["-h"],
        ["-q", "x"],
        ["-s", "stop", "-v"],
    ], ids=["no-arguments", "only-v", "h", "q-with-argument", "stop-without-c"])
    def test_usage_without_diagnostic(self, corvex, args):
        result = run(corvex, *args)
        assert_usage(result)
        assert result.stderr == ""

    @pytest.mark.parametrize("args", [
        ["-d"],
        ["--help"],
        ["-c"],
        ["-s"],
        ["-q"],
        ["-x", "-v"],
    ], ids=["d", "double-dash-help", "c-without-path", "s-without-word",
            "q-without-argument", "unknown-option"])
    def test_getopt_diagnostic_then_usage(self, corvex, args):
        result = run(corvex, *args)
        assert_usage(result)
        assert result.stderr != ""

    def test_help_options_win_over_a_valid_c(self, corvex, no_server):
        for args in (["-c", no_server, "-h"], ["-c", no_server, "-d", "-v"],
                     ["-c", no_server, "--help"], ["-c", no_server, "-q", "x"]):
            assert_usage(run(corvex, *args))

    @pytest.mark.parametrize("word", ["begin", "Start", "STOP", "", "start "])
    def test_s_with_another_word(self, corvex, no_server, word):
        result = run(corvex, "-c", no_server, "-v", "-s", word)
        assert_usage(result)
        assert result.stderr == ""

    def test_operand_before_c_ends_option_parsing(self, corvex, no_server):
        # -c and -v come after the stray word and are never seen.
        result = run(corvex, "stray", "-c", no_server, "-v")
        assert_usage(result)

    def test_operands_after_options_are_ignored(self, corvex, no_server):
        result = run(corvex, "-c", no_server, "stray", "-h", "-q", "x")
        assert result.returncode == 1
        assert result.stdout == ""


class TestConfigurationFailures:
    CASES = {
        "no-server": ("port=42000\n", ["server not set in config file"]),
        "port-zero": ("server=127.0.0.1\nport=0\n", ["port not set in config file"]),
        "mtu": ("server=127.0.0.1\nmtu=9001\n", ["MTU 9001 is too large"]),
        "max-call": ("server=127.0.0.1\nmax_call=256\n", ["max_call 256 is illegal"]),
        "empty-key": ("server=127.0.0.1\n=x\n", ["setenv"]),
        "no-equals": ("server=127.0.0.1\nport\n", ["{path}:3: \"=\" is not found in this line: port"]),
        "no-line-feed": ("# last line\nserver=127.0.0.1", ["line 3 too long in {path}"]),
    }

    @pytest.mark.parametrize("case", sorted(CASES))
    def test_messages_with_v_after_c(self, corvex, conf, case):
        text, expected = self.CASES[case]
        path = conf(GUARD + text)
        result = run(corvex, "-c", path, "-v")
        assert result.returncode == 1
        assert log_messages(result.stdout) == \
            [m.format(path=path) for m in expected] + ["error when parsing args"]
        assert result.stderr == ""

    @pytest.mark.parametrize("case", sorted(CASES))
    def test_silent_without_v(self, corvex, conf, case):
        result = run(corvex, "-c", conf(GUARD + self.CASES[case][0]))
        assert (result.returncode, result.stdout, result.stderr) == (1, "", "")

    def test_missing_file(self, corvex, tmp_path):
        path = str(tmp_path / "absent.conf")
        result = run(corvex, "-v", "-c", path)
        assert result.returncode == 1
        assert log_messages(result.stdout) == \
            ["fopen", "Can't open config file: " + path, "error when parsing args"]
        quiet = run(corvex, "-c", path)
        assert (quiet.returncode, quiet.stdout, quiet.stderr) == (1, "", "")

    def test_later_c_replaces_earlier(self, corvex, conf, tmp_path):
        bad = conf("port=42000\n")
        result = run(corvex, "-v", "-c", str(tmp_path / "absent.conf"), "-c", bad)
        assert result.returncode == 1
        assert log_messages(result.stdout) == ["server not set in config file", "error when parsing args"]

    def test_stop_checks_the_configuration_first(self, corvex, no_server):
        for command in ("stop", "restart"):
            result = run(corvex, "-s", command, "-c", no_server, "-v")
            assert result.returncode == 1
            assert log_messages(result.stdout) == ["server not set in config file", "error when parsing args"]

    def test_log_line_is_local_ctime_blank_message(self, corvex, tmp_path):
        path = str(tmp_path / "absent.conf")
        before = int(time.time())
        result = run(corvex, "-c", path, "-v")
        after = int(time.time())
        lines = result.stdout.split("\n")
        assert len(lines) == 4 and lines[3] == "", result.stdout
        stamps = {time.ctime(t) for t in range(before, after + 1)}
        for line in lines[:3]:
            assert line[:24] in stamps and line[24] == " " and line[25] != " ", line


class TestStatus:
    def test_stop_without_a_daemon_is_silent_success(self, corvex, conf, tmp_path):
        path = conf(GUARD + "server=127.0.0.1\npidfile=%s\nlogfile=%s\n"
                    % (tmp_path / "corvex.pid", tmp_path / "corvex.log"))
        result = run(corvex, "-c", path, "-s", "stop")
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
        assert not os.path.exists(tmp_path / "corvex.pid")
