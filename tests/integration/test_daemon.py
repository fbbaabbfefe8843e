"""Daemon control with the real binary: start, stop and restart through the
pid file, the start-up handshake, and the log file.

A running daemon here has a silent server: `server` is a UDP socket on
127.0.0.1 that the test binds and never answers, so the daemon stays in
registration until it is stopped. Each test uses its own TUN interface name,
pid file and log file in a temporary directory.

The machine's init process may not reap orphans, and a zombie still answers
kill(pid, 0): the test process therefore makes itself a child subreaper, so
that the daemon (orphaned when the start command exits) becomes its child,
and reaps it, which also yields the daemon's exit status.
"""
import ctypes
import errno
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

PR_SET_CHILD_SUBREAPER = 36
STAMP = r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4} "
_counter = [0]


def _set_subreaper(on):
    libc = ctypes.CDLL(None, use_errno=True)
    return libc.prctl(PR_SET_CHILD_SUBREAPER, 1 if on else 0, 0, 0, 0) == 0


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    pytest.fail("timed out waiting for " + what)


def process_state(pid):
    """The state letter of /proc/PID/stat, or None when there is no such process."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return None


def alive(pid):
    return process_state(pid) not in (None, "Z", "X")


def udp_ports(pid):
    """Local UDP ports of the sockets that process PID holds."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[8:-1])
    ports = set()
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except FileNotFoundError:
            continue
        for row in rows:
            cols = row.split()
            if cols[9] in inodes:
                ports.add(int(cols[1].rsplit(":", 1)[1], 16))
    return ports


class Reaper:
    """Waits for daemons that were re-parented to this process."""

    def __init__(self):
        self.status = {}
        self.threads = {}

    def watch(self, pid):
        if pid in self.threads:
            return

        def run():
            try:
                _, status = os.waitpid(pid, 0)
                self.status[pid] = os.waitstatus_to_exitcode(status)
            except ChildProcessError:
                self.status[pid] = None

        t = threading.Thread(target=run, daemon=True)
        self.threads[pid] = t
        t.start()

    def exit_code(self, pid, timeout=5):
        t = self.threads[pid]
        t.join(timeout)
        return self.status.get(pid, "still running")


class Env:
    def __init__(self, corvex, d):
        self.corvex = corvex
        self.dir = d
        _counter[0] += 1
        self.intf = "cxd%d%d" % (os.getpid() % 1000000, _counter[0])
        self.pidfile = os.path.join(d, "corvex.pid")
        self.logfile = os.path.join(d, "corvex.log")
        self.down_marker = os.path.join(d, "down.ran")
        self.server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.server.bind(("127.0.0.1", 0))
        self.reaper = Reaper()
        self.started = []
        down = os.path.join(d, "down.sh")
        with open(down, "w") as f:
            f.write('echo "down script ran on $intf"\n'
                    'echo "down script stderr" >&2\n'
                    'echo ran >> "%s"\n' % self.down_marker)
        self.config = os.path.join(d, "corvex.conf")
        self.write_config(down=down)

    def write_config(self, pidfile=None, **extra):
        lines = [
            "server=127.0.0.1",
            "port=%d" % self.server.getsockname()[1],
            "password=daemon-test",
            "intf=" + self.intf,
            "pidfile=" + (pidfile or self.pidfile),
            "logfile=" + self.logfile,
        ] + ["%s=%s" % kv for kv in extra.items()]
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(self.config, 0o600)  # it holds a password: private, as the packages install it

    def run(self, command, verbose=True, prefix=(), timeout=30):
        args = list(prefix) + self.corvex + ["-c", self.config, "-s", command]
        if verbose:
            args.append("-v")
        t0 = time.monotonic()
        r = subprocess.run(args, capture_output=True, text=True, timeout=timeout,
                           stdin=subprocess.DEVNULL)
        r.elapsed = time.monotonic() - t0
        return r

    def read_pid(self):
        with open(self.pidfile) as f:
            return int(f.read())

    def daemon_up(self, pid):
        """Waits until the daemon named by the pid file runs its event loop:
        its TUN device exists and its first REQUEST has reached the server."""
        self.reaper.watch(pid)
        self.started.append(pid)
        self.server.settimeout(0.05)

        def up():
            if not alive(pid):
                pytest.fail("daemon %d ended: exit %r, log:\n%s"
                            % (pid, self.reaper.exit_code(pid), self.log()))
            try:
                _, (_, port) = self.server.recvfrom(4096)
            except socket.timeout:
                return False
            # Datagrams of an earlier daemon may still be queued: only one
            # from this daemon's own socket counts.
            return port in udp_ports(pid) and os.path.exists("/sys/class/net/" + self.intf)

        wait_for(up, 15, "the first REQUEST of daemon %d" % pid)

    def start(self):
        r = self.run("start")
        assert r.returncode == 0, r.stdout
        pid = wait_for(lambda: self._pid_or_none(), 5, "the pid file")
        self.daemon_up(pid)
        return r, pid

    def _pid_or_none(self):
        try:
            return self.read_pid()
        except (FileNotFoundError, ValueError):
            return None

    def log(self):
        try:
            with open(self.logfile) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def own_processes(self):
        """Processes started with this test's configuration file (its path is
        unique to the test), whether or not the test learnt their pids."""
        pids = []
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % name, "rb") as f:
                    args = f.read().split(b"\0")
            except OSError:
                continue
            if self.config.encode() in args:
                pids.append(int(name))
        return pids

    def cleanup(self):
        for pid in set(self.started) | set(self.own_processes()):
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
            self.reaper.watch(pid)
            self.reaper.exit_code(pid, timeout=5)
        self.server.close()


@pytest.fixture
def env(corvex, tmp_path):
    if not os.path.exists("/dev/net/tun"):
        pytest.skip("needs /dev/net/tun")
    if not _set_subreaper(True):
        pytest.skip("cannot become a child subreaper")
    e = Env(corvex, str(tmp_path))
    try:
        yield e
    finally:
        e.cleanup()
        _set_subreaper(False)


def lines(text):
    """The messages of log lines, without their time stamps."""
    out = []
    for line in text.splitlines():
        assert re.match(STAMP, line), "unstamped line: %r" % line
        out.append(line[25:])
    return out


F_OFD_SETLK = 37


class held_lock:
    """The pid file, written with `content` and locked by this process (as a
    daemon in the middle of its start would hold it). With `ofd`, an open file
    description lock, whose holder the system does not name."""

    def __init__(self, path, content, ofd=False):
        self.path, self.content, self.ofd = path, content, ofd

    def __enter__(self):
        self.f = open(self.path, "w+")
        self.f.write(self.content)
        self.f.flush()
        if self.ofd:
            fcntl.fcntl(self.f, F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
        else:
            fcntl.lockf(self.f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return self.f

    def __exit__(self, *exc):
        self.f.close()


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


# --- start -----------------------------------------------------------------

def test_start_runs_daemon_holding_locked_pid_file(env):
    # A longer number than any pid: the file must be emptied, not overwritten.
    with open(env.pidfile, "w") as f:
        f.write("123456789012345\n")
    r, pid = env.start()
    assert r.stdout == ""
    assert r.elapsed < 4, "start waited for the time-out instead of the child's signal"

    with open(env.pidfile) as f:
        assert f.read() == "%d\n" % pid

    # Detached into its own session, SIGHUP ignored, output on the log file.
    assert os.getsid(pid) == pid
    with open("/proc/%d/status" % pid) as f:
        sigign = int(re.search(r"SigIgn:\s*([0-9a-f]+)", f.read()).group(1), 16)
    assert sigign & (1 << (signal.SIGHUP - 1))
    assert os.readlink("/proc/%d/fd/1" % pid) == env.logfile
    assert os.readlink("/proc/%d/fd/2" % pid) == env.logfile

    # The pid file stays open, close-on-exec, with the lock held.
    pid_fds = [fd for fd in os.listdir("/proc/%d/fd" % pid)
               if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == env.pidfile]
    assert len(pid_fds) == 1
    with open("/proc/%d/fdinfo/%s" % (pid, pid_fds[0])) as f:
        flags = int(re.search(r"flags:\s*([0-7]+)", f.read()).group(1), 8)
    assert flags & os.O_CLOEXEC
    # The lock covers the whole file, whatever its length: its first byte and
    # a byte far beyond its end are both taken.
    with open(env.pidfile, "r+") as f:
        for start in (0, 1 << 20):
            with pytest.raises(OSError) as e:
                fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, start)
            assert e.value.errno in (errno.EAGAIN, errno.EACCES)

    stop = env.run("stop")
    assert stop.returncode == 0, stop.stdout
    assert not os.path.exists(env.pidfile)
    assert env.reaper.exit_code(pid) == 255


def test_start_while_daemon_runs_reports_its_pid(env):
    _, pid = env.start()
    mask = os.umask(0)
    os.umask(mask)
    assert os.stat(env.pidfile).st_mode & 0o777 == 0o600 & ~mask  # created owner-only
    r = env.run("start")
    assert r.returncode == 0
    assert "already started at pid %d" % pid in lines(r.stdout)
    assert alive(pid)
    with open(env.pidfile) as f:
        assert f.read() == "%d\n" % pid
    assert env.run("stop").returncode == 0


@pytest.mark.parametrize("content, message", [
    ("4242\n", "already started at pid 4242"),
    ("", "already started"),
])
def test_start_refused_while_lock_is_held(env, content, message):
    with open(env.pidfile, "w+") as holder:
        holder.write(content)
        holder.flush()
        fcntl.lockf(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        r = env.run("start")
        assert r.returncode == 0
        assert r.elapsed < 4
        # The refused child reports the failure itself, on the command's output.
        assert lines(r.stdout) == [message, "can not start daemon"]
        with open(env.pidfile) as f:
            assert f.read() == content
    assert not os.path.exists("/sys/class/net/" + env.intf)


def test_start_with_unwritable_pid_directory(env):
    locked = os.path.join(env.dir, "ro")
    os.mkdir(locked)
    pidfile = os.path.join(locked, "corvex.pid")
    env.write_config(pidfile=pidfile)
    if os.geteuid() == 0:
        # Root writes through permission bits: use a read-only bind mount in
        # a private mount namespace instead.
        if shutil.which("unshare") is None:
            pytest.skip("needs unshare to make a read-only directory as root")
        prefix = ["unshare", "-m", "sh", "-c",
                  'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && exec "$@"',
                  locked]
        probe = subprocess.run(prefix + ["true"], capture_output=True)
        if probe.returncode != 0:
            pytest.skip("cannot make a read-only mount: %s" % probe.stderr)
    else:
        os.chmod(locked, 0o555)
        prefix = []
    r = env.run("start", prefix=prefix)
    assert r.returncode == 0
    assert r.elapsed < 4
    assert lines(r.stdout) == ["can not open %s" % pidfile, "open", "can not start daemon"]
    assert not os.path.exists(pidfile)
    assert env.log() == ""


def test_start_refuses_a_pid_file_that_is_a_symlink_or_no_regular_file(env):
    # In a world-writable directory anyone may plant a symlink where the pid
    # file goes: the file it points to must stay untouched.
    victim = os.path.join(env.dir, "victim")
    with open(victim, "w") as f:
        f.write("precious\n")
    link = os.path.join(env.dir, "link.pid")
    os.symlink(victim, link)
    fifo = os.path.join(env.dir, "fifo")
    os.mkfifo(fifo)
    for path in (link, fifo):
        env.write_config(pidfile=path)
        r = env.run("start")
        assert r.returncode == 0
        assert lines(r.stdout) == ["can not open %s" % path, "open", "can not start daemon"]
    with open(victim) as f:
        assert f.read() == "precious\n"
    assert not os.path.exists("/sys/class/net/" + env.intf)


def test_new_pid_and_log_files_get_their_modes_whatever_the_umask(env):
    mask = os.umask(0)
    try:
        _, pid = env.start()
    finally:
        os.umask(mask)
    assert os.stat(env.pidfile).st_mode & 0o777 == 0o600
    assert os.stat(env.logfile).st_mode & 0o777 == 0o640
    assert env.run("stop").returncode == 0
    assert env.reaper.exit_code(pid) == 255


def test_log_file_symlink_is_refused_and_dev_null_works(env):
    victim = os.path.join(env.dir, "victim")
    with open(victim, "w") as f:
        f.write("precious\n")
    env.logfile = os.path.join(env.dir, "link.log")
    os.symlink(victim, env.logfile)
    env.write_config()
    r = env.run("start")
    assert (r.returncode, r.stdout) == (0, "")
    pid = wait_for(env._pid_or_none, 5, "the pid file")
    env.reaper.watch(pid)
    assert env.reaper.exit_code(pid) == 1
    with open(victim) as f:
        assert f.read() == "precious\n"
    assert env.run("stop").returncode == 0  # its pid file is stale: removed
    assert not os.path.exists(env.pidfile)

    env.logfile = "/dev/null"
    env.write_config()
    _, pid = env.start()
    assert os.readlink("/proc/%d/fd/1" % pid) == "/dev/null"
    assert env.run("stop").returncode == 0
    assert env.reaper.exit_code(pid) == 255


def test_start_fails_after_detaching_when_log_file_cannot_be_opened(env):
    # The parent is already released when the log file is opened: the start
    # command succeeds, and the child ends with status 1 after writing its pid.
    env.logfile = os.path.join(env.dir, "missing", "corvex.log")
    env.write_config()
    r = env.run("start")
    assert (r.returncode, r.stdout) == (0, "")
    pid = wait_for(env._pid_or_none, 5, "the pid file")
    env.reaper.watch(pid)
    assert env.reaper.exit_code(pid) == 1
    assert not os.path.exists("/sys/class/net/" + env.intf)


# --- stop ------------------------------------------------------------------

def test_stop_without_pid_file_is_silent_success(env):
    r = env.run("stop")
    assert (r.returncode, r.stdout) == (0, "")


def test_stop_with_empty_pid_file(env):
    # Locked but empty: a daemon that has not written its pid yet.
    with held_lock(env.pidfile, ""):
        r = env.run("stop")
        assert r.returncode == 0
        assert lines(r.stdout) == ["fgets"]
        assert os.path.exists(env.pidfile)


@pytest.mark.parametrize("content, value", [("daemon\n", 0), ("-12\n", -12), ("0\n", 0)])
def test_stop_refuses_pid_below_one(env, content, value):
    with held_lock(env.pidfile, content):
        r = env.run("stop")
        assert r.returncode == 1
        assert lines(r.stdout) == ["pid is not positive: %d" % value, "can not stop daemon"]
        assert os.path.exists(env.pidfile)


@pytest.mark.parametrize("beyond", [False, True])
def test_stop_refuses_a_lock_whose_holder_is_unnamed(env, beyond):
    # An open-file-description lock names no holder, and anyone who can open
    # the file can take one: the number in the file proves nothing then, be
    # it a live process's pid or 2^32 + pid (which would narrow to the pid).
    victim = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
    try:
        named = ((1 << 32) if beyond else 0) + victim.pid
        with held_lock(env.pidfile, "%d\n" % named, ofd=True):
            r = env.run("stop")
            assert r.returncode == 1
            assert lines(r.stdout) == [
                "pid file %s is locked by a process the system does not name: not signalling "
                "pid %d" % (env.pidfile, named), "can not stop daemon"]
            assert os.path.exists(env.pidfile)
        time.sleep(0.2)
        assert victim.poll() is None
    finally:
        victim.kill()
        victim.wait()


def test_stop_leaves_a_supervisors_instance_and_its_pid_file(env):
    # A foreground instance whose pid a supervisor keeps in an unlocked file.
    fg = subprocess.Popen(env.corvex + ["-c", env.config], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL)
    try:
        ours = os.path.basename(env.corvex[0])[:15]
        wait_for(lambda: open("/proc/%d/comm" % fg.pid).read().strip() == ours, 5,
                 "the foreground instance's exec")
        with open(env.pidfile, "w") as f:
            f.write("%d\n" % fg.pid)
        for command in ("stop", "restart"):
            r = env.run(command)
            assert r.returncode == 1
            assert lines(r.stdout) == [
                "pid %d in %s is run by a supervisor: stop it with /etc/init.d/corvex stop or "
                "systemctl stop corvex" % (fg.pid, env.pidfile), "can not stop daemon"]
            with open(env.pidfile) as f:
                assert f.read() == "%d\n" % fg.pid
            assert fg.poll() is None
    finally:
        fg.terminate()
        fg.wait(10)


def _foreign(path):
    os.chown(path, 65534, -1, follow_symlinks=False)


@pytest.mark.parametrize("which", ["pidfile", "logfile"])
@pytest.mark.parametrize("defect, message", [
    ("hard link", "refusing %s: it has 2 hard links"),
    ("mode 0620", "refusing %s: writable by group or others (mode 620)"),
    ("foreign owner", "refusing %s: owned by uid 65534, not by uid 0"),
])
def test_start_refuses_pid_and_log_files_others_could_write(env, which, defect, message):
    if os.geteuid() != 0 and defect == "foreign owner":
        pytest.skip("needs root to give a file away")
    victim = os.path.join(env.dir, "victim")
    with open(victim, "w") as f:
        f.write("precious\n")
    path = getattr(env, which)
    if defect == "hard link":
        # Where fs.protected_hardlinks is 0, anyone may link root's files.
        os.link(victim, path)
    else:
        with open(path, "w") as f:
            f.write("precious\n")
        if defect == "foreign owner":
            _foreign(path)
        else:
            os.chmod(path, 0o620)
    if os.geteuid() != 0:
        message = message.replace("uid 0", "uid %d" % os.geteuid())
    r = env.run("start")
    assert r.returncode == 1
    assert lines(r.stdout) == [message % path, "can not start daemon"]
    with open(path) as f:
        assert f.read() == "precious\n"
    assert not os.path.exists("/sys/class/net/" + env.intf)
    if which == "pidfile":
        # Nor does a stop trust such a file.
        r = env.run("stop")
        assert (r.returncode, lines(r.stdout)) == (1, [message % path, "can not stop daemon"])
        assert os.path.exists(path)


@pytest.mark.parametrize("key", ["pidfile", "logfile", "status_file"])
def test_start_refuses_files_in_a_directory_others_can_write(env, key):
    # A sticky world-writable directory (/tmp) included: there, another user
    # can take the names first.
    shared = os.path.join(env.dir, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    path = os.path.join(shared, "corvex." + key)
    if key == "pidfile":
        env.write_config(pidfile=path)
    elif key == "logfile":
        env.logfile = path
        env.write_config()
    else:
        env.write_config(status_file=path)
    r = env.run("start")
    assert r.returncode == 1
    assert lines(r.stdout) == ["unsafe directory %s for %s: writable by group or others "
                               "(mode 1777)" % (shared, path), "can not start daemon"]
    assert os.listdir(shared) == []
    if key == "pidfile":
        assert env.run("stop").returncode == 0  # no pid file: nothing to judge
        with open(path, "w") as f:
            f.write("1\n")
        r = env.run("stop")
        assert r.returncode == 1
        assert lines(r.stdout)[0].startswith("unsafe directory %s" % shared)


def test_stop_stale_pid_then_start_takes_over(env):
    stale = "%d\n" % dead_pid()
    with open(env.pidfile, "w") as f:
        f.write(stale)
    r = env.run("stop")
    assert (r.returncode, r.stdout) == (0, "")
    assert not os.path.exists(env.pidfile)  # unlocked: stale, removed
    with open(env.pidfile, "w") as f:
        f.write(stale)

    _, pid = env.start()
    assert "%d\n" % pid != stale
    assert env.run("stop").returncode == 0


def test_stop_ends_daemon_runs_down_script_and_logs(env):
    with open(env.logfile, "w") as f:
        f.write("an earlier run\n")
    _, pid = env.start()
    r = env.run("stop")
    assert (r.returncode, r.stdout) == (0, "")
    assert not os.path.exists(env.pidfile)
    assert not alive(pid)
    assert env.reaper.exit_code(pid) == 255
    with open(env.down_marker) as f:
        assert f.read() == "ran\n"

    log = env.log().splitlines()
    assert log[0] == "an earlier run"  # appended, not truncated
    # The daemon's own lines (no up script configured) and both output
    # streams of the down script land in the log file.
    assert any(re.fullmatch(STAMP + "warning: script not set", l) for l in log)
    assert "down script ran on %s" % env.intf in log
    assert "down script stderr" in log


def test_scripts_inherit_neither_tun_socket_nor_pipe_and_read_dev_null(env):
    # The up script runs when the stop ends the registration; it lists its
    # descriptors. Only standard input (/dev/null), output and error (the log
    # file) and what the shell opens itself may be there.
    dump = os.path.join(env.dir, "fds")
    up = os.path.join(env.dir, "up.sh")
    with open(up, "w") as f:
        f.write('ls -l /proc/$$/fd > %s\n' % dump)
    env.write_config(up=up)
    _, pid = env.start()
    assert env.run("stop").returncode == 0
    assert env.reaper.exit_code(pid) == 255
    with open(dump) as f:
        fds = dict(line.split(" -> ")[0].split()[-1:] + line.split(" -> ")[1:]
                   for line in f.read().splitlines() if " -> " in line)
    assert fds["0"] == "/dev/null", fds
    assert fds["2"] == env.logfile, fds
    leaked = [t for t in fds.values() if "tun" in t or t.startswith(("socket:", "pipe:"))]
    assert leaked == [], fds


def test_stop_right_after_start_is_not_lost(env):
    # The stop may reach the daemon while it is still setting up: the request
    # is kept and the run ends as soon as its loop starts.
    for _ in range(3):
        r = env.run("start")
        assert r.returncode == 0, r.stdout
        pid = wait_for(lambda: env._pid_or_none(), 5, "the pid file")
        env.reaper.watch(pid)
        env.started.append(pid)
        r = env.run("stop")
        assert (r.returncode, r.stdout) == (0, ""), env.log()
        assert not alive(pid)
        assert not os.path.exists(env.pidfile)


@pytest.mark.slow
def test_stop_times_out_on_process_ignoring_sigterm(env):
    stubborn = subprocess.Popen(
        [sys.executable, "-c",
         "import fcntl, os, signal, sys, time\n"
         "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
         "f = open(sys.argv[1], 'w+')\n"
         "f.write('%d\\n' % os.getpid()); f.flush()\n"
         "fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
         "print('ready', flush=True)\n"
         "time.sleep(60)\n", env.pidfile],
        stdout=subprocess.PIPE, text=True)
    try:
        assert stubborn.stdout.readline() == "ready\n"
        r = env.run("stop")
        assert r.returncode == 1
        assert lines(r.stdout) == ["timed out when stopping pid %d" % stubborn.pid,
                                   "can not stop daemon"]
        assert 9.5 <= r.elapsed < 20
        assert stubborn.poll() is None
        assert os.path.exists(env.pidfile)
    finally:
        stubborn.kill()
        stubborn.wait()


def test_stop_signals_only_the_holder_of_the_pid_files_lock(env):
    # An unrelated process whose pid a stale (unlocked) file names, or that a
    # locked file names while another process holds the lock, is left alone.
    victim = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
    try:
        with open(env.pidfile, "w") as f:
            f.write("%d\n" % victim.pid)
        r = env.run("stop")
        assert (r.returncode, r.stdout) == (0, "")
        assert not os.path.exists(env.pidfile)
        with held_lock(env.pidfile, "%d\n" % victim.pid):
            r = env.run("stop")
            assert r.returncode == 1
            assert lines(r.stdout) == ["pid file %s is locked by pid %d, not by %d"
                                       % (env.pidfile, os.getpid(), victim.pid),
                                       "can not stop daemon"]
        time.sleep(0.2)
        assert victim.poll() is None
    finally:
        victim.kill()
        victim.wait()


def test_daemon_ending_by_itself_removes_its_pid_file(env):
    _, pid = env.start()
    os.kill(pid, signal.SIGTERM)
    assert env.reaper.exit_code(pid) == 255
    assert not os.path.exists(env.pidfile)
    r = env.run("stop")
    assert (r.returncode, r.stdout) == (0, "")


# --- restart ---------------------------------------------------------------

def test_restart_starts_when_nothing_runs_and_replaces_a_running_daemon(env):
    r = env.run("restart")
    assert (r.returncode, r.stdout) == (0, "")
    first = wait_for(env._pid_or_none, 5, "the pid file")
    env.daemon_up(first)

    r = env.run("restart")
    assert (r.returncode, r.stdout) == (0, "")
    assert env.reaper.exit_code(first) == 255
    with open(env.down_marker) as f:
        assert f.read() == "ran\n"
    second = wait_for(env._pid_or_none, 5, "the new pid file")
    assert second != first
    env.daemon_up(second)
    assert env.run("stop").returncode == 0
    assert env.reaper.exit_code(second) == 255


# --- shipped configuration and documentation ------------------------------------

PACKAGING = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "packaging")
KEYS = {"server", "port", "password", "intf", "mtu", "sip_port", "max_call", "max_muxing_time",
        "waiting_time", "rtp_timeout", "up", "down", "pidfile", "logfile", "allow_all",
        "allow_ping", "max_idle_cycle", "ingress_filter", "status_file", "status_interval",
        "server_timeout"}


def sample_settings():
    """(key, value, commented) of every setting line of the sample file."""
    with open(os.path.join(PACKAGING, "corvex.conf.sample")) as f:
        text = f.read()
    assert text.endswith("\n")
    out = []
    for line in text.splitlines():
        m = re.fullmatch(r"(#?)([a-z_]+)=(.*)", line)
        if m:
            out.append((m.group(2), m.group(3), m.group(1) == "#"))
    return out


def test_sample_configuration_covers_every_key_and_is_accepted(env):
    settings = sample_settings()
    assert {k for k, _, _ in settings} == KEYS
    # Every value shown in the sample, commented or not, is one the program
    # accepts; the daemon paths are moved into the test's directory.
    with open(os.path.join(PACKAGING, "corvex.conf.sample")) as f:
        text = f.read()
    text = re.sub(r"(?m)^#([a-z_]+=)", r"\1", text)
    text = re.sub(r"(?m)^pidfile=.*$", "pidfile=" + env.pidfile, text)
    text = re.sub(r"(?m)^logfile=.*$", "logfile=" + env.logfile, text)
    text = re.sub(r"(?m)^status_file=.*$", "status_file=" + env.dir + "/corvex.prom", text)
    assert not re.search(r"(?m)^[a-z_]+=/var/", text)
    with open(env.config, "w") as f:
        f.write(text)
    # It holds a password: readable by others, it is warned about at start.
    os.chmod(env.config, 0o644)
    r = env.run("stop")
    assert r.returncode == 0
    assert r.stdout[25:] == ("warning: config file %s holds the password and is readable "
                             "by group and others (mode 644)\n" % env.config)
    os.chmod(env.config, 0o600)
    r = env.run("stop")
    assert (r.returncode, r.stdout) == (0, "")


def test_manual_page_describes_every_key():
    with open(os.path.join(PACKAGING, "corvex.8")) as f:
        page = f.read()
    described = set(re.findall(r"(?m)^\.B[IR] ([a-z_]+)=", page))
    assert described == KEYS
