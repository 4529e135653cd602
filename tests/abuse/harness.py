"""The real program as a child process, and raw HTTP over 127.0.0.1.

Each Server runs a copy of veltrana-webserver in a temporary folder of its
own (the access log is written beside the program), with its own settings
folder and published directory, headless, on a port that was free a moment
ago. Every wait has a deadline; a test that finds the program too slow fails
rather than hangs.
"""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = None  # set by run()
# The program is an ASan/UBSan build (--sanitized on the command line, read
# here so that the constants below can depend on it): slower, and its RSS
# means little.
SANITIZED = "--sanitized" in sys.argv
# Every time-out of the program is cut to this (VT_MAX_WAIT_MS), so that the
# head time bound, the silence bound and the CGI bounds show within seconds.
# It is also how long a client may stall before the server gives up on it:
# longer for the slower builds, which share the machine with other tests.
MAX_WAIT_MS = 6000 if SANITIZED else 3000


def slack(seconds):
    """A deadline stretched for sanitizer builds."""
    return seconds * (4 if SANITIZED else 1)


def wait_until(predicate, seconds, step=0.02):
    """Polls `predicate` until it gives a true value (returned) or `seconds` pass (None)."""
    deadline = time.monotonic() + slack(seconds)
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)


def free_port():
    """A port that was free a moment ago. Another program may take it before the
    server does; it is used only because the server takes its port as a number
    (in its settings), and the race is rare: the system hands out ports from a
    range of some 28,000, not the one just closed first."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Answer:
    def __init__(self, status_line, headers, body):
        self.status_line = status_line
        parts = status_line.split(" ", 2)
        self.code = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        self.headers = headers
        self.body = body

    def closes(self):
        return self.headers.get("connection", "").lower() == "close"

    def __repr__(self):
        return "<%s, %d body bytes>" % (self.status_line, len(self.body))


class Conn:
    """A blocking client connection with its own read buffer."""

    def __init__(self, port, timeout=10.0, rcvbuf=None, source=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if source:  # another loopback address: another peer to the server
            self.sock.bind((source, 0))
        self.sock.settimeout(slack(timeout))
        self.sock.connect(("127.0.0.1", port))
        self.buf = bytearray()
        self.eof = False

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode("latin-1"))

    def _fill(self):
        if self.eof:
            return False
        try:
            chunk = self.sock.recv(65536)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.eof = True
            return False
        self.buf += chunk
        return True

    def _take(self, n):
        data = bytes(self.buf[:n])
        del self.buf[:n]
        return data

    def _read_line(self):
        while b"\r\n" not in self.buf:
            if not self._fill():
                return None
        return self._take(self.buf.index(b"\r\n") + 2)[:-2]

    def _read_chunks(self):
        """A chunked body, decoded, up to its last chunk or the connection's end."""
        body = b""
        while True:
            line = self._read_line()
            if line is None:
                return body
            size = int(line.split(b";")[0], 16)
            if size == 0:
                self._read_line()  # the empty line after the last chunk (no trailers here)
                return body
            while len(self.buf) < size + 2 and self._fill():
                pass
            body += self._take(size)
            self._take(2)

    def read_answer(self, head=False):
        """One answer; None when the connection ended before a whole head came."""
        while b"\r\n\r\n" not in self.buf:
            if not self._fill():
                return None
        end = self.buf.index(b"\r\n\r\n")
        lines = self._take(end + 4)[:end].decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = headers.get("content-length")
        if head:
            return Answer(lines[0], headers, b"")
        if length is None and headers.get("transfer-encoding", "").lower() == "chunked":
            return Answer(lines[0], headers, self._read_chunks())
        if length is None:
            while self._fill():
                pass
            return Answer(lines[0], headers, self._take(len(self.buf)))
        length = int(length)
        while len(self.buf) < length and self._fill():
            pass
        return Answer(lines[0], headers, self._take(length))

    def closed_by_peer(self, seconds):
        """True when the server ends the connection within `seconds` (anything it sends is dropped)."""
        deadline = time.monotonic() + slack(seconds)
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                if not self._fill():
                    return True
            except (socket.timeout, TimeoutError):
                return False
            self.buf.clear()
        return False

    def close(self):
        self.sock.close()

    def reset(self):
        """Closes with SO_LINGER 0: the server sees a reset, not an orderly end."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def request(method, path, extra="", close=True):
    return "%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s%s\r\n" % (
        method, path, "Connection: close\r\n" if close else "", extra)


class Server:
    """A sandboxed copy of the program. Stop (or cleanup) ends it."""

    def __init__(self, settings="", max_wait_ms=MAX_WAIT_MS):
        self.dir = tempfile.mkdtemp(prefix="vt-abuse-")
        for sub in ("bin", "config", "root"):
            os.mkdir(os.path.join(self.dir, sub))
        self.program = os.path.join(self.dir, "bin", "veltrana-webserver")
        shutil.copy2(PROGRAM, self.program)
        self.root = os.path.join(self.dir, "root")
        self.access_log = os.path.join(self.dir, "bin", "webserver.log")
        self.settings_file = os.path.join(self.dir, "config", "vtWebServer.ini")
        self.stderr_file = os.path.join(self.dir, "stderr.txt")
        self.max_wait_ms = max_wait_ms
        self.proc = None
        self.write_settings(settings)

    def write_settings(self, more="", port=None):
        self.port = port or free_port()
        self.settings_more = more
        with open(self.settings_file, "w") as f:
            f.write("[WebServer]\nPubDir=%s\nPort=%d\n%s" % (self.root, self.port, more))

    def write(self, name, content, mode=None):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode())
        if mode is not None:
            os.chmod(path, mode)
        return path

    def spawn(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env["XDG_CONFIG_HOME"] = os.path.join(self.dir, "config")
        if self.max_wait_ms:
            env["VT_MAX_WAIT_MS"] = str(self.max_wait_ms)
        self.stderr_seen = len(self.stderr())
        with open(self.stderr_file, "ab") as err:
            self.proc = subprocess.Popen([self.program, "--headless"], env=env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)

    def start(self):
        """Starts the program and waits until it listens; retries on another port if this one was taken."""
        for _ in range(3):
            self.spawn()
            active = "Active on port %d" % self.port
            text = wait_until(lambda: self._start_outcome(active), 20)
            if text and active in text:
                return
            self.stop(signal.SIGKILL)
            if not text or "Address in use" not in text:
                raise AssertionError("the program did not start:\n" + self.stderr())
            self.write_settings(self.settings_more)
        raise AssertionError("no free port found")

    def _start_outcome(self, active):
        """What the start came to, or None while it is on its way.

        The server active (`active`), no server (a line beginning "Error: "
        or "Inactive" after the one that names the settings file: complaints
        about the settings come before that line, the start after it), or
        the program's end.
        """
        ended = self.proc.poll() is not None
        text = self.stderr()[self.stderr_seen:]
        if active in text or ended:
            return text or "(ended)"
        settings = re.search(r" Settings: .*\n", text)
        if settings and re.search(r" (Error: |Inactive\n)", text[settings.end():]):
            return text
        return None

    def stderr(self):
        try:
            with open(self.stderr_file, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_stderr(self, pattern, seconds=10):
        """The first match of the regular expression `pattern` in the program's log, or None."""
        return wait_until(lambda: re.search(pattern, self.stderr()), seconds)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, seconds=20):
        """Ends the program; its exit status (negative: the signal that ended it), None when it would not end."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            status = self.proc.wait(slack(seconds))
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
            status = None
        self.proc = None
        return status

    def cleanup(self):
        if self.proc is not None:
            self.stop(signal.SIGKILL)
        for path, _, _ in os.walk(self.dir):
            os.chmod(path, 0o755)
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- What the process holds ---------------------------------------------

    def rss_kb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.proc.pid))

    # --- Requests ------------------------------------------------------------

    def conn(self, **kw):
        return Conn(self.port, **kw)

    def ask(self, raw, head=False, timeout=10.0):
        c = self.conn(timeout=timeout)
        try:
            c.send(raw)
            return c.read_answer(head)
        finally:
            c.close()

    def get(self, path, extra=""):
        return self.ask(request("GET", path, extra))


class ServerCase(unittest.TestCase):
    """Tests against one program shared by the class's tests, which run in name order.

    `recovered()` is the check after each kind of abuse: a normal request is
    answered promptly, and descriptors and memory return near the baseline
    taken after the warm-up. What it saw goes to standard output.
    """

    settings = ""
    files = {"index.html": b"home"}
    max_wait_ms = MAX_WAIT_MS
    # Slack over the baseline. The memory allocator keeps some of what many
    # threads at once needed (an arena per thread, up to 8 per core), so
    # memory gets a few MiB; descriptors get none beyond the listening
    # socket's next accept.
    rss_slack_kb = 12 * 1024
    fd_slack = 1

    @classmethod
    def setUpClass(cls):
        cls.server = Server(cls.settings, cls.max_wait_ms)
        for name, content in cls.files.items():
            cls.server.write(name, content)
        cls.server.start()
        idle_fds = cls.server.fds()
        # Warm-up: a few connections at once, so that the baseline already
        # holds what serving costs once (thread stacks, allocator arenas).
        conns = [cls.server.conn() for _ in range(4)]
        for c in conns:
            c.send(request("GET", "/index.html", close=False))
        for c in conns:
            c.read_answer()
            c.close()
        wait_until(lambda: cls.server.fds() <= idle_fds, 5)
        cls.base_fds = cls.server.fds()
        cls.base_rss = cls.server.rss_kb()
        print("\n[%s] baseline: rss %d KiB, fds %d" % (cls.__name__, cls.base_rss, cls.base_fds), flush=True)

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        log = cls.server.stderr()
        cls.server.cleanup()
        if status != 0:
            raise AssertionError("the program ended with status %s:\n%s" % (status, log[-4000:]))

    def open(self, **kw):
        """A connection to the program, closed at the end of the test at the latest."""
        c = self.server.conn(**kw)
        self.addCleanup(c.close)
        return c

    def recovered(self, what):
        started = time.monotonic()
        answer = self.server.get("/index.html")
        probe_ms = (time.monotonic() - started) * 1000
        self.assertIsNotNone(answer, what + ": no answer to a normal request")
        self.assertEqual((200, b"home"), (answer.code, answer.body), what)
        self.assertLess(probe_ms, slack(1000), what + ": the normal request was slow")
        fds_ok = wait_until(lambda: self.server.fds() <= self.base_fds + self.fd_slack, 10)
        rss_ok = SANITIZED or wait_until(lambda: self.server.rss_kb() <= self.base_rss + self.rss_slack_kb, 10)
        fds, rss = self.server.fds(), self.server.rss_kb()
        print("[%s] after %s: probe %.0f ms; rss %d -> %d KiB; fds %d -> %d; threads %d" % (
            type(self).__name__, what, probe_ms, self.base_rss, rss, self.base_fds, fds,
            self.server.threads()), flush=True)
        self.assertTrue(fds_ok, "%s: %d descriptors, baseline %d" % (what, fds, self.base_fds))
        self.assertTrue(rss_ok, "%s: rss %d KiB, baseline %d KiB" % (what, rss, self.base_rss))


def run():
    """The command line: [--program PATH] [--sanitized] [unittest arguments]."""
    global PROGRAM
    args = sys.argv[1:]
    while args and args[0].startswith("--"):
        if args[0] == "--program":
            PROGRAM = args[1]
            args = args[2:]
        elif args[0] == "--sanitized":  # (read at import)
            args = args[1:]
        else:
            break
    PROGRAM = PROGRAM or os.environ.get("VT_PROGRAM")
    if not PROGRAM:
        sys.exit("usage: %s --program PATH [--sanitized] [test names]" % sys.argv[0])
    unittest.main(module="__main__", argv=[sys.argv[0], "-v"] + args)
