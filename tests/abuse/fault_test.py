#!/usr/bin/env python3
"""Faults around the real program: its files, its CGI programs, its port.

Each fault must be told in the program's log (standard error, headless), the
program must go on serving, and nothing already saved may be lost.

    fault_test.py --program build/bin/veltrana-webserver [--sanitized] [Class[.test]]
"""

import os
import shutil
import signal
import socket
import time
import unittest

from harness import MAX_WAIT_MS, Server, request, run, slack, wait_until


class FaultCase(unittest.TestCase):
    """A program of its own for each test; stopped (status 0 expected) at the end."""

    def sandbox(self, settings=""):
        """The test's program, not started yet, with an index.html."""
        self.server = Server(settings)
        self.addCleanup(self.server.cleanup)
        self.server.write("index.html", "home")
        return self.server

    def start(self, settings="", **files):
        self.sandbox(settings)
        for name, content in files.items():
            self.server.write(name, content)
        self.server.start()
        return self.server

    def serves(self):
        answer = self.server.get("/index.html")
        self.assertEqual((200, b"home"), (answer.code, answer.body))

    def logged(self, pattern, seconds=10):
        match = self.server.wait_stderr(pattern, seconds)
        self.assertIsNotNone(match, "no log line %r in:\n%s" % (pattern, self.server.stderr()[-3000:]))
        print("[%s] %s" % (self.id().split(".")[-1], match.group(0).strip()), flush=True)
        return match

    def stopped_cleanly(self):
        self.assertEqual(0, self.server.stop(), self.server.stderr()[-3000:])


class AccessLog(FaultCase):
    def test_log_on_a_full_device_is_told_once_and_serving_goes_on(self):
        server = self.sandbox()
        os.symlink("/dev/full", server.access_log)
        server.start()
        for _ in range(3):
            self.serves()
        self.logged(r"Access log \S+ cannot be written: .*")
        self.assertEqual(1, server.stderr().count("cannot be written"), "told once, not per request")
        # Back to a writable file: said so, and lines arrive again.
        os.unlink(server.access_log)
        self.serves()
        self.logged(r"Access log \S+ is written again")
        self.assertTrue(wait_until(lambda: os.path.getsize(server.access_log) > 0, 5))
        self.stopped_cleanly()

    def test_a_folder_in_place_of_the_log(self):
        server = self.sandbox()
        os.mkdir(server.access_log)
        server.start()
        self.serves()
        self.logged(r"Access log \S+ cannot be written: .*")
        self.serves()
        self.stopped_cleanly()


class PublishedDirectory(FaultCase):
    def test_removed_while_serving(self):
        body = os.urandom(8 << 20)
        server = self.start(**{"big.bin": body})
        c = server.conn(rcvbuf=4096)
        self.addCleanup(c.close)
        c.send(request("GET", "/big.bin", close=False))
        while len(c.buf) < 65536 and c._fill():
            pass
        shutil.rmtree(server.root)
        # The download under way goes on from the open file...
        answer = c.read_answer()
        self.assertEqual(len(body), len(answer.body), server.stderr()[-2000:])
        self.assertEqual(body, answer.body)
        # ... new requests find nothing, and the log says why, once.
        for _ in range(3):
            self.assertEqual(404, server.get("/index.html").code)
        self.logged(r"Published directory \S+ not found: .*")
        self.assertEqual(1, server.stderr().count("not found: every request"))
        os.mkdir(server.root)
        server.write("index.html", "home")
        self.serves()
        self.logged(r"Published directory \S+ is there again")
        self.stopped_cleanly()


class ChangingFile(FaultCase):
    def download_while(self, change, name):
        server = self.server
        c = server.conn(rcvbuf=4096)
        self.addCleanup(c.close)
        c.send(request("GET", "/" + name, close=False))
        while len(c.buf) < 1 << 20 and c._fill():
            pass
        change(os.path.join(server.root, name))
        started = time.monotonic()
        answer = c.read_answer()
        return answer, c, time.monotonic() - started

    def test_truncated_while_sent(self):
        self.start(**{"big.bin": b"x" * (16 << 20)})
        answer, c, took = self.download_while(lambda path: os.truncate(path, 2 << 20), "big.bin")
        # The client gets less than announced and the close right after it:
        # not a wait for bytes that never come (the kept-alive connection
        # used to sit there until the time-out).
        self.assertEqual(str(16 << 20), answer.headers["content-length"])
        self.assertLess(len(answer.body), 16 << 20)
        self.assertTrue(c.eof)
        self.assertLess(took, slack(MAX_WAIT_MS / 1000 - 1), "the connection waited for its time-out")
        self.logged(r"Response to GET /big.bin cut short: .*")
        self.serves()
        self.stopped_cleanly()

    def test_grown_while_sent(self):
        self.start(**{"big.bin": b"x" * (16 << 20)})

        def grow(path):
            with open(path, "ab") as f:
                f.write(b"Z" * (1 << 20))

        answer, c, _ = self.download_while(grow, "big.bin")
        # Exactly what was announced (the file as it was when opened), and
        # nothing after it that the client could take for its next answer:
        # the connection goes on with a clean next answer.
        self.assertEqual(b"x" * (16 << 20), answer.body)
        c.send(request("GET", "/big.bin", close=True))
        again = c.read_answer()
        self.assertEqual(200, again.code)
        self.assertEqual((17 << 20), len(again.body))
        self.serves()
        self.stopped_cleanly()


class CGIPrograms(FaultCase):
    programs = {
        "abort.exe": "#!/bin/sh\nkill -ABRT $$\n",
        "crash_midway.exe": "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\npart'\nkill -SEGV $$\n",
        "silent.exe": "#!/bin/sh\nexit 0\n",
        "endless.exe": "#!/bin/sh\nexec sleep 1000\n",
        "endless_after_header.exe": "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nexec sleep 1000\n",
        "fine.exe": "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nfine'\n",
    }

    def children(self):
        pid = str(self.server.proc.pid)
        found = 0
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/stat" % entry) as f:
                        found += f.read().rsplit(")", 1)[1].split()[1] == pid
                except (FileNotFoundError, ProcessLookupError, IndexError):
                    pass
        return found

    def test_crashing_silent_and_endless_programs(self):
        server = self.start()
        for name, script in self.programs.items():
            server.write(name, script, mode=0o755)
        expect = [
            ("abort.exe", r"ended by signal 6 \(exit code 134\)"),
            ("crash_midway.exe", r"ended by signal 11"),
            ("endless.exe", r"ran longer than %d ms" % MAX_WAIT_MS),
        ]
        for name, reason in expect:
            answer = server.get("/" + name)
            self.assertEqual(500, answer.code, name)
            self.logged(r"CGI run of \S+/%s failed: ECGIRun: .*%s.*" % (name.replace(".", r"\."), reason))
            self.serves()
        # A program that has begun its answer streams it: ended, its answer
        # is cut and the connection closed.
        # The client stays to the end: one that left would end the program
        # before its time did.
        c = server.conn(timeout=30)
        try:
            c.send(request("GET", "/endless_after_header.exe"))
            answer = c.read_answer(head=True)
            self.assertEqual(200, answer.code)
            self.assertTrue(c.closed_by_peer(MAX_WAIT_MS / 1000 + 10), "the cut answer ends the connection")
        finally:
            c.close()
        self.logged(r"Response to GET /endless_after_header\.exe failed: .*(ran longer than|was silent "
                    r"for) %d ms.*" % MAX_WAIT_MS)
        self.serves()
        # A program that writes nothing gets its empty answer, and a line.
        answer = server.get("/silent.exe")
        self.assertEqual((200, b""), (answer.code, answer.body))
        self.logged(r"CGI program \S+/silent\.exe wrote nothing \(exit code 0\)")
        answer = server.get("/fine.exe")
        self.assertEqual((200, b"fine"), (answer.code, answer.body))
        self.assertTrue(wait_until(lambda: self.children() == 0, 5), "CGI programs left behind")
        self.stopped_cleanly()


class Settings(FaultCase):
    def test_garbage_and_bad_values_are_kept_and_told(self):
        server = self.sandbox()
        garbage = b"\x00\xff\xfe garbage \x01\x02\n[Other]\nkeep=me\n\xc3\x28\n"
        with open(server.settings_file, "ab") as f:
            f.write(b"ThrottleRate=lots\n" + garbage)
        server.start()
        self.serves()
        self.logged(r"The settings file \S+ has values that are no numbers: ThrottleRate=lots.*")
        self.stopped_cleanly()
        with open(server.settings_file, "rb") as f:
            saved = f.read()
        self.assertIn(garbage, saved, "lines this program does not know are kept byte for byte")
        self.assertIn(b"PubDir=" + server.root.encode(), saved)

    def test_unreadable_file_is_left_alone_and_nothing_starts_on_defaults(self):
        server = self.sandbox()
        os.unlink(server.settings_file)
        os.mkdir(server.settings_file)  # a folder in its place: reading it fails even for root
        server.spawn()
        self.logged(r"Error: The settings file \S+ could not be read: .*")
        self.assertIsNotNone(server.wait_stderr(r"\bInactive\b"), "started on the defaults")
        self.assertNotIn("Active on port", server.stderr())
        self.assertEqual(1, server.stop(), "the settings could not be saved: said by the exit status")
        self.assertTrue(os.path.isdir(server.settings_file), "left as it was")

    def test_port_taken_at_start(self):
        # The port is taken first and the settings name it: a port found free
        # and bound a moment later may meanwhile be another test's.
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("", 0))
        taken.listen(1)
        server = self.sandbox()
        server.write_settings(server.settings_more, port=taken.getsockname()[1])
        with open(server.settings_file, "rb") as f:
            before = f.read()
        server.spawn()
        self.logged(r"Error: Port \d+ is used by another program \(pid \d+, python3\): choose another port "
                    r".*\(Error creating server socket: Socket bind failed: Address in use\)")
        # Nothing is served and nobody can press Start: it ends by itself,
        # and its exit status says so.
        server.proc.wait(20)
        self.assertEqual(3, server.stop(), "the exit status of a server that could not start")
        self.assertIn("Nothing is served: exiting", server.stderr())
        with open(server.settings_file, "rb") as f:
            after = f.read()
        for line in before.splitlines():
            self.assertIn(line, after.splitlines(), "a saved setting was lost")


if __name__ == "__main__":
    run()
