"""Control sockets of the lab's helper processes (the lab peer, the WAN link).

A helper takes commands over a Unix stream socket, one JSON object per line,
and answers each with one JSON object per line.  ControlServer is the
helper's side, ControlClient the caller's, and ControlledProcess the
caller's handle on a started helper.  Python 3 standard library only.
"""

import json
import os
import signal
import socket
import subprocess


class ControlServer:
    """The listening socket and its connections.  `handler(request)` answers
    each command with a dict; a command that raises is answered with
    {"ok": false, "error": ...} and the helper goes on."""

    def __init__(self, path, handler, backlog=8):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(path + ".new")
            os.rename(path + ".new", path)
            sock.listen(backlog)
            sock.setblocking(False)
        except OSError:
            sock.close()
            raise
        self.path = path
        self.handler = handler
        self.sock = sock
        self.conns = {}            # connection -> input short of a whole line

    def readers(self):
        """What select() should watch for the control socket."""
        return [self.sock] + list(self.conns)

    def owns(self, obj):
        return obj is self.sock or obj in self.conns

    def serve(self, obj):
        """Handle one of readers() that select() found ready."""
        if obj is self.sock:
            self.accept()
        elif obj in self.conns:
            self.serve_conn(obj)

    def accept(self):
        try:
            conn, _ = self.sock.accept()
        except (BlockingIOError, InterruptedError):
            return
        conn.setblocking(False)
        self.conns[conn] = b""

    def serve_conn(self, conn):
        try:
            data = conn.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            conn.close()
            del self.conns[conn]
            return
        buf = self.conns[conn] + data
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            try:
                reply = self.handler(json.loads(line))
            except Exception as exc:   # a bad command must not end the helper
                reply = {"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}
            conn.setblocking(True)
            try:
                conn.sendall(json.dumps(reply).encode() + b"\n")
            except OSError:
                pass
            conn.setblocking(False)
        if conn in self.conns:
            self.conns[conn] = buf

    def close(self):
        for conn in list(self.conns):
            conn.close()
        self.conns.clear()
        self.sock.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass


class ControlClient:
    """Sends commands to a control socket; call() returns the reply and
    raises RuntimeError when the helper refuses the command."""

    def __init__(self, path, timeout=10.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buf = b""

    def call(self, cmd, **fields):
        fields["cmd"] = cmd
        self.sock.sendall(json.dumps(fields).encode() + b"\n")
        while b"\n" not in self.buf:
            data = self.sock.recv(1 << 20)
            if not data:
                raise ConnectionError("peer closed its control socket")
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        reply = json.loads(line)
        if not reply.get("ok"):
            raise RuntimeError("peer refused %s: %s" % (cmd, reply.get("error")))
        return reply

    def close(self):
        self.sock.close()


def option_args(options):
    """Command-line words for keyword options: some_key=True gives
    --some-key, None or False nothing, any other value --some-key VALUE."""
    argv = []
    for key, value in options.items():
        flag = "--" + key.replace("_", "-")
        if value is True:
            argv.append(flag)
        elif value is not None and value is not False:
            argv += [flag, str(value)]
    return argv


class ControlledProcess:
    """A started helper: `proc` (a Popen), `control_path`, `output_path`
    where its output goes and `output_file` open on it, `client` (None until
    connected).  Poll _connect until it is true; it raises what
    died(returncode, output) makes when the helper exited first."""

    def died(self, returncode, output):
        raise NotImplementedError

    def _connect(self):
        if self.proc.poll() is not None:
            with open(self.output_path) as f:
                raise self.died(self.proc.returncode, f.read())
        if not os.path.exists(self.control_path):
            return False
        try:
            self.client = ControlClient(self.control_path)
        except OSError:
            return False
        return True

    def call(self, cmd, **fields):
        return self.client.call(cmd, **fields)

    def stop(self):
        if self.client is not None:
            try:
                self.client.close()
            except OSError:
                pass
            self.client = None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.output_file.close()
