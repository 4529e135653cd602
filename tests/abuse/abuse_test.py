#!/usr/bin/env python3
"""Abusive clients against the real program.

Each class shares one program; after each kind of abuse a normal request
must be answered promptly and the program's descriptors and memory must come
back near the baseline (ServerCase.recovered). What was seen is printed.

    abuse_test.py --program build/bin/veltrana-webserver [--sanitized] [Class[.test]]
"""

import os
import random
import select
import socket
import threading
import time

from harness import MAX_WAIT_MS, Conn, ServerCase, request, run, slack, wait_until

BIG = 16 << 20  # a response far larger than every buffer on its way


def big_file():
    return random.Random(7).randbytes(BIG)


class SlowClients(ServerCase):
    files = {"index.html": b"home", "big.bin": big_file()}

    def test_1_trickled_head_is_cut_by_the_head_time_bound(self):
        # One byte a second: never silent for the (capped) TimeOut, so only
        # the bound on the whole head can end it.
        head = request("GET", "/index.html", "X-Slow: " + "z" * 64 + "\r\n").encode()
        conns = [self.open() for _ in range(4)]
        started = next_byte = time.monotonic()
        answers = [None] * len(conns)
        sent = 0
        probe = None
        while None in answers and time.monotonic() - started < slack(MAX_WAIT_MS / 1000 + 10):
            waiting = [c for i, c in enumerate(conns) if answers[i] is None]
            if time.monotonic() >= next_byte and sent < len(head):
                for c in waiting:
                    c.send(head[sent:sent + 1])
                sent += 1
                next_byte += 1.0
                if sent == 2:
                    probe = self.server.get("/index.html")
            readable, _, _ = select.select([c.sock for c in waiting], [], [],
                                           max(0.0, next_byte - time.monotonic()))
            for i, c in enumerate(conns):
                if c.sock in readable:
                    answers[i] = (c.read_answer(), time.monotonic() - started)
        self.assertIsNotNone(probe, "a normal request beside the trickles")
        self.assertEqual(200, probe.code)
        for answer, took in answers:
            self.assertEqual(408, answer.code, answer)
            self.assertTrue(answer.closes())
            self.assertGreaterEqual(took, MAX_WAIT_MS / 1000 - 0.5)
        self.assertLess(sent, len(head), "cut before the head was complete")
        print("[SlowClients] trickle: 408 after %.1f s (%d bytes sent)" % (answers[0][1], sent))
        self.assertIsNotNone(self.server.wait_stderr(r"Request refused: 408 "))
        for c in conns:
            c.close()
        self.recovered("trickled heads")

    def test_2_silent_connections_are_closed_after_the_time_out(self):
        conns = [self.open() for _ in range(32)]
        probe = self.server.get("/index.html")
        self.assertEqual((200, b"home"), (probe.code, probe.body), "served beside 32 silent connections")
        started = time.monotonic()
        for c in conns:
            self.assertTrue(c.closed_by_peer(MAX_WAIT_MS / 1000 + 5), "a silent connection stays open")
            c.close()
        print("[SlowClients] 32 silent connections closed by the server after %.1f s" %
              (time.monotonic() - started))
        self.recovered("silent connections")

    def test_3_clients_that_stop_reading_a_large_response(self):
        rss_before = self.server.rss_kb()
        conns = [self.open(rcvbuf=4096) for _ in range(4)]
        for c in conns:
            c.send(request("GET", "/big.bin", close=False))
        # The server fills what the sockets take, then waits; it must not
        # read the rest of the file into memory meanwhile.
        time.sleep(0.5)  # (only lets the copies reach their wait; nothing depends on it)
        grown = self.server.rss_kb() - rss_before
        probe = self.server.get("/index.html")
        self.assertEqual(200, probe.code, "served beside stalled downloads")
        print("[SlowClients] 4 stalled 16 MiB downloads: rss +%d KiB" % grown)
        self.assertLess(grown, 4 * 2048 + 4096, "a stalled response was buffered")
        # Taking nothing for TimeOut ends the response: the server lets go of
        # the connection while the client still holds its end.
        fds_closed = wait_until(lambda: self.server.fds() <= self.base_fds, MAX_WAIT_MS / 1000 + 5)
        self.assertTrue(fds_closed, "stalled connections still held: %d fds" % self.server.fds())
        for c in conns:
            c.close()
        self.recovered("stalled downloads")


class Limits(ServerCase):
    def test_1_heads_and_bodies_past_the_limits(self):
        chunk = "%x\r\n%s\r\n" % (65536, "b" * 65536)
        cases = [
            ("header line of 9000 bytes", request("GET", "/", "X-Long: " + "a" * 9000 + "\r\n"), 400),
            ("101 header lines", request("GET", "/", "".join("X-%d: 1\r\n" % i for i in range(101))), 400),
            ("head of 72 KB in 80 lines", request("GET", "/", "".join(
                "X-%d: %s\r\n" % (i, "h" * 900) for i in range(80))), 400),
            ("Content-Length 2 MB", request("GET", "/", "Content-Length: 2000000\r\n"), 413),
            ("Content-Length 2 MB, 100-continue", request(
                "GET", "/", "Content-Length: 2000000\r\nExpect: 100-continue\r\n"), 413),
            ("chunked body of 2 MB", request("GET", "/", "Transfer-Encoding: chunked\r\n") + chunk * 32, 413),
            ("Content-Length not a number", request("GET", "/", "Content-Length: 12x\r\n"), 400),
            ("request line of 6000 bytes", request("GET", "/index.html?" + "q" * 6000), 414),
            ("Content-Length and chunked", request("POST", "/", "Content-Length: 5\r\n"
                                                   "Transfer-Encoding: chunked\r\n") + "0\r\n\r\n", 400),
            ("chunk size z", request("POST", "/", "Transfer-Encoding: chunked\r\n") + "z\r\n\r\n", 400),
        ]
        seen = []
        for name, raw, code in cases:
            c = self.open()
            try:
                c.send(raw)
            except (BrokenPipeError, ConnectionResetError):
                pass  # refused before all of it went out: the answer is still there to read
            answer = c.read_answer()
            closed = c.closed_by_peer(5)
            c.close()
            seen.append("%s: %s" % (name, answer.status_line if answer else "no answer"))
            self.assertIsNotNone(answer, name)
            self.assertEqual(code, answer.code, name)
            self.assertTrue(closed, name + ": the connection stays open")
        print("[Limits] " + "; ".join(seen))
        # A client gone before the interim answer: a closed connection, not
        # a failure of the server.
        for _ in range(20):
            c = self.open()
            c.send(request("POST", "/", "Expect: 100-continue\r\nContent-Length: 5\r\n"))
            c.reset()
        self.recovered("heads and bodies past the limits")
        self.assertNotIn("Exception:", self.server.stderr())


class ReadOneWay(ServerCase):
    """A control byte around a framing value, read as a blank by one reader
    and kept by another, frames the body two ways: refused with the close,
    and the request behind it never answered. (The head's other rules are
    tested where they are checked, in the HTTP tests.)"""

    files = {"index.html": b"home", "small.txt": b"0123456789abcdefghij"}

    def test_1_framing_values_with_control_bytes_are_refused(self):
        follow = request("GET", "/index.html", close=False)
        post = "POST /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        cases = [post + "Transfer-Encoding: %cchunked\r\n\r\n0\r\n\r\n" % b for b in (0, 1, 0x0b, 0x0c, 0x1f)]
        cases += [post + "Transfer-Encoding: chunked\x7f\r\n\r\n0\r\n\r\n",
                  post + "Content-Length: \x0b3\r\n\r\nabc"]
        for raw in cases:
            c = self.open()
            c.send(raw + follow)
            answer = c.read_answer()
            extra = c.read_answer() if answer else None
            c.close()
            self.assertIsNotNone(answer, repr(raw))
            self.assertEqual(400, answer.code, repr(raw))
            self.assertTrue(answer.closes(), repr(raw))
            self.assertIsNone(extra, repr(raw) + ": a second answer")
        self.recovered("framing values with control bytes")

    def test_2_a_range_that_does_not_parse_gets_the_whole_file(self):
        for value, code, body in [("bytes=,0-4", 206, b"01234"),  # an empty list element
                                  ("bytes=0x1-4", 200, b"0123456789abcdefghij"),
                                  ("bytes=0 - 4", 200, b"0123456789abcdefghij")]:
            answer = self.server.get("/small.txt", "Range: %s\r\n" % value)
            self.assertEqual((code, body), (answer.code, answer.body), value)


class Garbage(ServerCase):
    """10 000 requests of random bytes over four connections at a time."""

    def test_1_ten_thousand_garbage_requests(self):
        # Line-end bytes (CR, LF and ^Z, which also ends a line here) are kept
        # out of the request lines, so that each request is one head and gets
        # at most one answer; the raw variety goes on connections of its own.
        counts = {}
        lock = threading.Lock()
        failures = []
        plain = bytes(b for b in range(256) if b not in (10, 13, 26, 32))

        def word(rng, n):
            return bytes(rng.choice(plain) for _ in range(rng.randint(1, n)))

        def garbage_head(rng):
            method = rng.choice([b"GET", b"HEAD", b"POST", word(rng, 12)])
            uri = rng.choice([b"/", b"/index.html", b"/" + word(rng, 60), word(rng, 30)])
            version = rng.choice([b"HTTP/1.1", b"HTTP/1.0", b"HTTP/9.9", word(rng, 10)])
            lines = [method + b" " + uri + b" " + version]
            for _ in range(rng.randint(0, 6)):
                lines.append(word(rng, 20) + b":" + rng.choice([b" ", b""]) + word(rng, 80))
            return b"\r\n".join(lines) + b"\r\n\r\n", method.upper() == b"HEAD"

        def count(key):
            with lock:
                counts[key] = counts.get(key, 0) + 1

        def worker(stream, n):
            rng = random.Random(stream)
            c = None
            try:
                for _ in range(n):
                    if rng.random() < 0.05:
                        # Raw bytes, then the end of our side: the server must
                        # answer or close, never wait.
                        raw = Conn(self.server.port, timeout=5)
                        raw.send(rng.randbytes(rng.randint(1, 3000)))
                        raw.sock.shutdown(socket.SHUT_WR)
                        count("raw: closed" if raw.closed_by_peer(5) else "raw: HUNG")
                        raw.close()
                        continue
                    if c is None:
                        c = Conn(self.server.port, timeout=5)
                    raw, head = garbage_head(rng)
                    c.send(raw)
                    answer = c.read_answer(head)
                    count(answer.code if answer else "closed")
                    if answer is None or answer.closes():
                        c.close()
                        c = None
            except Exception as error:  # reported by the main thread
                failures.append(repr(error))
            finally:
                if c:
                    c.close()

        started = time.monotonic()
        threads = [threading.Thread(target=worker, args=(stream, 2500)) for stream in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(slack(120))
        took = time.monotonic() - started
        print("[Garbage] 10000 requests in %.1f s: %s" % (
            took, ", ".join("%s x%d" % (k, v) for k, v in sorted(counts.items(), key=str))))
        self.assertEqual([], failures)
        self.assertEqual(10000, sum(counts.values()))
        self.assertNotIn("raw: HUNG", counts)
        self.assertNotIn(500, counts, "garbage is the client's fault")
        self.recovered("10000 garbage requests")


class Pipeline(ServerCase):
    files = dict([("index.html", b"home")] +
                 [("p%d.txt" % i, ("page %d " % i).encode() * (1 + i * 37)) for i in range(100)])

    def test_1_hundred_pipelined_requests_answered_in_order(self):
        for rcvbuf in (None, 4096):  # read at once, and read slowly behind a small window
            c = self.open(rcvbuf=rcvbuf)
            raw = "".join(request("HEAD" if i % 10 == 9 else "GET", "/p%d.txt" % i, close=False)
                          for i in range(99))
            c.send(raw + request("GET", "/missing.txt"))
            for i in range(99):
                answer = c.read_answer(head=(i % 10 == 9))
                self.assertIsNotNone(answer, "answer %d" % i)
                self.assertEqual(200, answer.code, i)
                self.assertEqual(str(len(self.files["p%d.txt" % i])), answer.headers["content-length"])
                if i % 10 != 9:
                    self.assertEqual(self.files["p%d.txt" % i], answer.body, "answer %d in order" % i)
            last = c.read_answer()
            self.assertEqual(404, last.code)
            self.assertTrue(c.closed_by_peer(5), "closed after the last, which asked for it")
            c.close()
        print("[Pipeline] 2 x 100 pipelined requests answered in order")
        self.recovered("pipelines of 100 requests")


class Resets(ServerCase):
    files = {"index.html": b"home", "big.bin": big_file()}

    def test_1_resets_in_the_middle_of_responses(self):
        # One after the other, at different points of the body...
        for i in range(10):
            c = self.open()
            c.send(request("GET", "/big.bin", close=False))
            got = 0
            while got < 1000 * (1 << i) and c._fill():
                got += len(c.buf)
                c.buf.clear()
            c.reset()
        # ... many at once, after the request, before or with the answer...
        conns = [self.open() for _ in range(32)]
        for c in conns:
            c.send(request("GET", "/big.bin", close=False))
        for c in conns:
            c.reset()
        # ... and in the middle of a pipeline.
        c = self.open()
        c.send("".join(request("GET", "/big.bin" if i % 3 == 0 else "/index.html", close=False)
                       for i in range(30)))
        c.read_answer()
        c.reset()
        self.recovered("resets in the middle of responses")


class IdleClientsGiveWay(ServerCase):
    """MaxClients is 64: idle connections give way to new ones, requests in progress never."""

    max_clients = 64
    max_wait_ms = 30000  # no idle connection ends by its time-out here

    def fill(self, first=None):
        conns = []
        for _ in range(self.max_clients):
            c = self.open()
            if first:
                c.send(first)
                self.assertEqual(200, c.read_answer().code)
            conns.append(c)
        return conns

    def served_despite(self, conns, label):
        started = time.monotonic()
        answer = self.server.get("/index.html")
        took = time.monotonic() - started
        self.assertEqual(200, answer.code)
        gone = sum(1 for c in conns if c.closed_by_peer(0.05))
        print("[IdleClientsGiveWay] %s: a new client served after %.2f s; %d of %d gave way" % (
            label, took, gone, len(conns)))
        return took, gone

    def test_1_idle_keep_alive_connections_give_way(self):
        conns = self.fill(request("GET", "/index.html", close=False))
        time.sleep(2.2)  # past the time a connection must have been idle before it gives way
        took, gone = self.served_despite(conns, "64 idle keep-alive connections")
        self.assertLess(took, slack(1.5))
        self.assertGreaterEqual(gone, 1)
        # The others keep working.
        kept = [c for c in conns if not c.eof]
        kept[0].send(request("GET", "/index.html", close=False))
        self.assertEqual(200, kept[0].read_answer().code)
        for c in conns:
            c.close()
        self.recovered("64 idle keep-alive connections")

    def test_2_silent_connections_give_way(self):
        conns = self.fill()
        time.sleep(2.2)
        took, gone = self.served_despite(conns, "64 silent connections")
        self.assertLess(took, slack(1.5))
        self.assertGreaterEqual(gone, 1)
        for c in conns:
            c.close()
        self.recovered("64 silent connections")

    def test_3_requests_in_progress_give_way_only_when_slow(self):
        conns = self.fill()
        for c in conns:
            c.send("GET /index.html HTTP/1.1\r\nX-Slow: ")  # a head begun
        probe = Conn(self.server.port, timeout=5)
        probe.send(request("GET", "/index.html"))
        # 1000 bytes a second each, above the minimum of 500: nobody makes way.
        started = time.monotonic()
        sent = 0
        while time.monotonic() < started + 3.0:
            due = int((time.monotonic() - started) * 1000) - sent
            for c in conns:
                c.send("a" * due)
            sent += due
            readable, _, _ = select.select([probe.sock], [], [], 0.05)
            self.assertEqual([], readable, "a request that keeps its rate was dropped to make way")
        # Stalled: the slowest makes way once its average falls below the
        # minimum (in about 3 s).
        started = time.monotonic()
        self.assertEqual(200, probe.read_answer().code)
        took = time.monotonic() - started
        print("[IdleClientsGiveWay] 64 heads at 1000 B/s kept their places for 3 s; stalled, one made way "
              "after %.2f s" % took)
        self.assertLess(took, 6.0)
        self.assertIsNotNone(self.server.wait_stderr(r"closed to make way for a new one: its request came at"))
        for c in conns:
            c.close()
        probe.close()
        self.recovered("64 heads in progress")


class Attacker(threading.Thread):
    """Keeps `count` connections from 127.0.0.2 open: each sends `first`, then
    `trickle` once a second; one the server closes is replaced."""

    def __init__(self, port, first, trickle, rcvbuf=None, count=80):
        super().__init__(daemon=True)
        self.port, self.first, self.trickle, self.rcvbuf, self.count = port, first, trickle, rcvbuf, count
        self.stopping = threading.Event()
        self.held = 0
        self.replaced = 0

    def run(self):
        conns = []
        next_tick = time.monotonic()
        while not self.stopping.is_set():
            while len(conns) < self.count:
                try:
                    c = Conn(self.port, timeout=2, rcvbuf=self.rcvbuf, source="127.0.0.2")
                    c.send(self.first)
                except OSError:
                    break
                conns.append(c)
            self.held = len(conns)
            if time.monotonic() >= next_tick:
                next_tick = time.monotonic() + 1.0
                alive = []
                for c in conns:
                    try:
                        readable, _, _ = select.select([c.sock], [], [], 0)
                        # An answer, or the close, ends a trickle (a reader
                        # that never reads learns it from a failed send).
                        if readable and self.rcvbuf is None:
                            raise ConnectionResetError
                        c.sock.send(self.trickle)
                        alive.append(c)
                    except OSError:
                        c.close()
                        self.replaced += 1
                conns = alive
            time.sleep(0.05)
        for c in conns:
            c.close()


class ConnectionSlots(ServerCase):
    """MaxClients is 64, all of them taken by one address (127.0.0.2), 16
    more of its connections waiting: a client from another address
    (127.0.0.3) is served within 5 s, every time."""

    files = {"index.html": b"home", "big.bin": big_file()}
    max_wait_ms = 30000  # no time limit of a request ends the attack here

    def served_despite(self, label, first, trickle, rcvbuf=None):
        attacker = Attacker(self.server.port, first, trickle, rcvbuf)
        attacker.start()
        try:
            took = []
            for _ in range(5):
                self.assertTrue(wait_until(lambda: attacker.held >= 80, 10), "the attack holds its places")
                time.sleep(0.5)
                started = time.monotonic()
                victim = Conn(self.server.port, timeout=10, source="127.0.0.3")
                victim.send(request("GET", "/index.html"))
                answer = victim.read_answer()
                took.append(time.monotonic() - started)
                victim.close()
                self.assertIsNotNone(answer, label)
                self.assertEqual((200, b"home"), (answer.code, answer.body), label)
                self.assertLess(took[-1], 5.0, label)
            print("[ConnectionSlots] %s: served in %s s; %d attacking connections replaced" % (
                label, ", ".join("%.2f" % t for t in took), attacker.replaced))
        finally:
            attacker.stopping.set()
            attacker.join(10)
        self.assertIsNotNone(self.server.wait_stderr(
            r"Connection from 127\.0\.0\.2 closed to make way for one from 127\.0\.0\.3"))
        self.recovered(label)

    def test_1_trickled_heads(self):
        self.served_despite("64 trickled heads", "GET /index.html HTTP/1.1\r\nX-Slow: ", b"z")

    def test_2_trickled_bodies(self):
        self.served_despite("64 trickled bodies",
                            "POST /index.html HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n\r\n", b"z")

    def test_3_large_answers_never_read(self):
        self.served_despite("64 large answers never read", request("GET", "/big.bin", close=False), b"z",
                            rcvbuf=4096)


class SteadyReaders(ServerCase):
    """MaxClients is 64: 62 addresses each hold a place with a large answer
    never read, and 127.0.0.3 holds two with downloads read at 100 KB/s. A
    newcomer from 127.0.0.4 gets a place from one of the non-readers (once it
    has taken no byte for 10 s), never from a steady reader, though that
    address holds the most places."""

    files = {"index.html": b"home", "big.bin": big_file()}
    max_wait_ms = 30000  # no time limit of a request ends a stalled client here

    class Reader(threading.Thread):
        def __init__(self, port, rate):
            super().__init__(daemon=True)
            self.conn = Conn(port, timeout=30, source="127.0.0.3")
            self.conn.send(request("GET", "/big.bin"))
            self.rate, self.got, self.cut = rate, 0, False
            self.stopping = threading.Event()

        def run(self):
            started = time.monotonic()
            while not self.stopping.is_set():
                ahead = self.got - (time.monotonic() - started) * self.rate
                if ahead > 0:
                    time.sleep(ahead / self.rate)
                    continue
                try:
                    chunk = self.conn.sock.recv(8192)
                except OSError:
                    chunk = b""
                if not chunk:
                    self.cut = True
                    return
                self.got += len(chunk)

    def test_1_a_newcomer_takes_a_non_readers_place(self):
        stalled = [self.open(rcvbuf=4096, source="127.0.0.%d" % (10 + i)) for i in range(62)]
        for c in stalled:
            c.send(request("GET", "/big.bin", close=False))
        readers = [self.Reader(self.server.port, 100000) for _ in range(2)]
        for reader in readers:
            self.addCleanup(reader.conn.close)
            reader.start()
        try:
            time.sleep(1.0)
            started = time.monotonic()
            newcomer = Conn(self.server.port, timeout=20, source="127.0.0.4")
            newcomer.send(request("GET", "/index.html"))
            answer = newcomer.read_answer()
            took = time.monotonic() - started
            newcomer.close()
            self.assertIsNotNone(answer, "the newcomer was never served")
            self.assertEqual((200, b"home"), (answer.code, answer.body))
            self.assertLess(took, slack(14.0))
            time.sleep(1.0)  # the readers go on reading
            got = [reader.got for reader in readers]
            print("[SteadyReaders] the newcomer served after %.2f s; the readers took %s bytes" % (took, got))
            self.assertIsNotNone(self.server.wait_stderr(r"closed to make way"))
            self.assertNotIn("Connection from 127.0.0.3 closed", self.server.stderr(), "a steady reader was cut")
            self.assertIsNotNone(self.server.wait_stderr(
                r"Connection from 127\.0\.0\.(1\d|[2-7]\d) closed to make way for a new one: it took no byte"))
            self.assertEqual([False, False], [reader.cut for reader in readers], "a steady reader was cut")
        finally:
            for reader in readers:
                reader.stopping.set()
                reader.join(5)
        for c in stalled:
            c.close()
        for reader in readers:
            reader.conn.close()
        self.recovered("62 non-readers and 2 steady readers")


class SwappedLink(ServerCase):
    """A name swapped between a plain file and a link to the settings file
    while requests for it run: no answer may carry the settings."""

    files = {"index.html": b"home", "race.txt": b"plain"}
    # VT_RACE_SECONDS=60 for a longer run by hand.
    seconds = float(os.environ.get("VT_RACE_SECONDS", "3"))

    def test_settings_never_sent_through_a_swapped_name(self):
        root = self.server.root
        name = os.path.join(root, "race.txt")
        stop = threading.Event()
        swaps = [0]

        def swapper():
            # Each swap is a rename over the name, as an attacker with write
            # access to the folder would make it: the name is always there.
            while not stop.is_set():
                with open(os.path.join(root, "race.plain"), "wb") as f:
                    f.write(b"plain")
                os.rename(os.path.join(root, "race.plain"), name)
                os.symlink(self.server.settings_file, os.path.join(root, "race.link"))
                os.rename(os.path.join(root, "race.link"), name)
                swaps[0] += 2

        thread = threading.Thread(target=swapper, daemon=True)
        thread.start()
        counts = {"plain": 0, "leaked": 0, "refused": 0, "other": 0}
        batch = request("GET", "/race.txt", close=False).encode() * 32
        deadline = time.monotonic() + self.seconds
        try:
            c = self.open()
            while time.monotonic() < deadline:
                c.send(batch)
                for _ in range(32):
                    answer = c.read_answer()
                    if answer.code == 200 and answer.body == b"plain":
                        counts["plain"] += 1
                    elif b"PubDir=" in answer.body:
                        counts["leaked"] += 1
                    elif answer.code == 404:
                        counts["refused"] += 1
                    else:
                        counts["other"] += 1
        finally:
            stop.set()
            thread.join()
        print("[SwappedLink] %.0f s, %d swaps: %s" % (self.seconds, swaps[0], counts), flush=True)
        self.assertEqual(0, counts["leaked"], counts)
        self.assertEqual(0, counts["other"], counts)
        self.assertGreater(counts["plain"], 0, "the plain file was served too")
        self.assertGreater(counts["refused"], 0, "the link was met")
        self.recovered("a swapped name")


if __name__ == "__main__":
    run()
