#!/usr/bin/env python3
"""A folder as one download, from the real program over loopback.

Archives are unpacked by Python's zipfile and tarfile and compared with the
folder byte for byte; an HTTP/1.0 client gets the body close-delimited; a
client that leaves mid-archive frees its worker at once.

    archive_test.py --program build/bin/veltrana-webserver [--sanitized] [Class[.test]]
"""

import io
import os
import random
import socket
import tarfile
import tempfile
import time
import unittest
import zipfile

from harness import SANITIZED, ServerCase, run, slack, wait_until

UNICODE = "h\u00e9llo w\u00f6rld \u65e5\u672c.txt"
HOSTILE = "#?%& '\"<-x.txt"
SHARED_FILES = {
    "shared/a.txt": b"alpha",
    "shared/empty.txt": b"",
    "shared/" + UNICODE: "unicode \u2713".encode(),
    "shared/" + HOSTILE: b"hostile",
    "shared/sub/deep/random.bin": random.Random(3).randbytes(300 * 1024 + 5),
    "shared/.env": b"SECRET=1",
    "shared/.git/config": b"[core]",
}


def fetch(port, path, version="HTTP/1.1", extra="", sink=None, read_limit=None):
    """(status line, headers, body, complete). A chunked body is decoded
    (complete: its last chunk came); any other runs to the close. With
    `sink`, body bytes go there instead (body is then b"")."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=slack(60))
    host = "Host: 127.0.0.1\r\n" if version == "HTTP/1.1" else ""
    sock.sendall(("GET %s %s\r\n%s%sConnection: close\r\n\r\n" % (path, version, host, extra)).encode())
    buf = bytearray()
    eof = False

    def fill():
        nonlocal eof
        chunk = sock.recv(1 << 20)
        if not chunk:
            eof = True
        buf.extend(chunk)
        return bool(chunk)

    while b"\r\n\r\n" not in buf:
        if not fill():
            raise AssertionError("no head: %r" % bytes(buf))
    end = buf.index(b"\r\n\r\n")
    lines = bytes(buf[:end]).decode("latin-1").split("\r\n")
    del buf[:end + 4]
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    body = bytearray()

    def emit(data):
        if sink:
            sink(data)
        else:
            body.extend(data)

    complete = False
    if headers.get("transfer-encoding", "").lower() == "chunked":
        while True:
            while b"\r\n" not in buf:
                if not fill():
                    break
            if b"\r\n" not in buf:
                break
            line_end = buf.index(b"\r\n")
            size = int(bytes(buf[:line_end]).split(b";")[0], 16)
            del buf[:line_end + 2]
            if size == 0:
                complete = True
                break
            while size > 0:
                if not buf and not fill():
                    break
                take = min(size, len(buf))
                emit(bytes(buf[:take]))
                del buf[:take]
                size -= take
            if size > 0:
                break
            while len(buf) < 2 and fill():
                pass
            del buf[:2]
    else:
        got = 0
        while True:
            if buf:
                emit(bytes(buf))
                got += len(buf)
                buf.clear()
            if read_limit and got >= read_limit:
                break
            if not fill():
                break
        complete = "content-length" not in headers
    sock.close()
    return lines[0], headers, bytes(body), complete


class Archives(ServerCase):
    settings = "ListFolders=1\n"
    files = dict({"index.html": b"home"}, **SHARED_FILES)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        root = cls.server.root
        os.makedirs(os.path.join(root, "shared", "emptydir", "inner"))
        # The access log, reached by a hard link inside the folder: never served.
        wait_until(lambda: os.path.exists(cls.server.access_log), 5)
        os.link(cls.server.access_log, os.path.join(root, "shared", "log-copy.txt"))
        os.symlink(".env", os.path.join(root, "shared", "envlink.txt"))

    def expected(self):
        """What the archive must hold: path -> content (None for a folder)."""
        want = {"shared/": None, "shared/sub/": None, "shared/sub/deep/": None,
                "shared/emptydir/": None, "shared/emptydir/inner/": None}
        for name, content in SHARED_FILES.items():
            if "/." not in name:
                want[name] = content
        return want

    def holds(self, folder):
        """Whether the program has a descriptor on `folder` or on something in it."""
        fd_dir = "/proc/%d/fd" % self.server.proc.pid
        for fd in os.listdir(fd_dir):
            try:
                target = os.readlink(os.path.join(fd_dir, fd))
            except OSError:
                continue
            if target == folder or target.startswith(folder + "/"):
                return True
        return False

    def check_framing(self, headers, complete, kind, chunked=True):
        self.assertEqual("chunked" if chunked else None, headers.get("transfer-encoding"))
        self.assertNotIn("content-length", headers)
        self.assertNotIn("content-range", headers)
        self.assertEqual("application/zip" if kind == "zip" else "application/x-tar", headers.get("content-type"))
        self.assertEqual('attachment; filename="shared.%s"' % kind, headers.get("content-disposition"))
        self.assertTrue(complete, "the body ended as its framing says")

    def test_1_zip_unpacks_to_the_folder(self):
        status, headers, body, complete = fetch(self.server.port, "/shared/?download=zip")
        self.assertEqual("HTTP/1.1 200 OK", status)
        self.check_framing(headers, complete, "zip")
        with zipfile.ZipFile(io.BytesIO(body)) as archive:
            self.assertIsNone(archive.testzip())
            got = {}
            for info in archive.infolist():
                got[info.filename] = None if info.is_dir() else archive.read(info)
                # Names that are not ASCII say they are UTF-8.
                if not info.filename.isascii():
                    self.assertTrue(info.flag_bits & 0x800, info.filename)
        self.assertEqual(self.expected(), got)
        print("[Archives] zip: %d bytes, %d entries, %s" % (len(body), len(got), headers.get("transfer-encoding")))

    def test_2_tar_unpacks_to_the_folder(self):
        status, headers, body, complete = fetch(self.server.port, "/shared/?sort=name&download=tar")
        self.assertEqual("HTTP/1.1 200 OK", status)
        self.check_framing(headers, complete, "tar")
        got = {}
        with tarfile.open(fileobj=io.BytesIO(body)) as archive:
            for member in archive.getmembers():
                if member.isdir():
                    got[member.name.rstrip("/") + "/"] = None
                else:
                    got[member.name] = archive.extractfile(member).read()
        self.assertEqual(self.expected(), got)

    def test_3_http10_gets_it_close_delimited(self):
        status, headers, body, complete = fetch(self.server.port, "/shared/?download=tar", version="HTTP/1.0")
        self.assertEqual("HTTP/1.0 200 OK", status)
        self.check_framing(headers, complete, "tar", chunked=False)
        self.assertEqual("close", headers.get("connection"))
        with tarfile.open(fileobj=io.BytesIO(body)) as archive:
            self.assertEqual(len(self.expected()), len(archive.getmembers()))

    def test_4_a_range_is_not_applied(self):
        status, headers, body, complete = fetch(self.server.port, "/shared/?download=zip",
                                                extra="Range: bytes=0-9\r\n")
        self.assertEqual("HTTP/1.1 200 OK", status)
        self.check_framing(headers, complete, "zip")
        self.assertGreater(len(body), 300 * 1024)

    def test_5_other_names_answer_as_before(self):
        # No archive asked for: the folder's own answer, whatever it is.
        self.assertNotIn("content-disposition", self.server.get("/shared/?download=rar").headers)
        cases = [
            ("/missing/?download=zip", 404),
            ("/.git/?download=zip", 404),
            ("/shared/a.txt?download=zip", 200),  # a file is the file
        ]
        for path, code in cases:
            self.assertEqual(code, self.server.get(path).code, path)
        self.assertEqual(b"alpha", self.server.get("/shared/a.txt?download=zip").body)

    def test_6_a_client_that_leaves_stops_the_work(self):
        big = os.path.join(self.server.root, "big")
        os.makedirs(big, exist_ok=True)
        chunk = random.Random(5).randbytes(1 << 20)
        for i in range(4):
            with open(os.path.join(big, "part%d.bin" % i), "wb") as f:
                for _ in range(16):
                    f.write(chunk)
        for kind in ("zip", "tar"):
            c = self.open(rcvbuf=64 * 1024)
            c.send("GET /big/?download=%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % kind)
            while len(c.buf) < 256 * 1024 and c._fill():
                pass
            self.assertGreater(len(c.buf), 1024)
            # Asked before the reset: after it, the worker may let go sooner
            # than this process can look.
            self.assertTrue(self.holds(big), "the archive is on its way while the client stalls")
            c.reset()
            started = time.monotonic()
            freed = wait_until(lambda: not self.holds(big), slack(1))
            print("[Archives] %s: client left; folder let go of after %.3f s" % (kind, time.monotonic() - started))
            self.assertTrue(freed, "the worker let go of the folder and its files at once")
        self.recovered("a client that left mid-archive")


    def test_7_a_file_that_changes_on_the_way_cuts_the_download(self):
        folder = os.path.join(self.server.root, "changing")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "growing.bin")
        with open(path, "wb") as f:
            f.write(random.Random(6).randbytes(32 << 20))
        c = self.open(rcvbuf=64 * 1024)
        c.send("GET /changing/?download=zip HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        while len(c.buf) < 256 * 1024 and c._fill():
            pass
        with open(path, "ab") as f:
            f.write(b"more")
        while c._fill():
            pass
        # A chunked body ends with a last chunk: without it the client knows
        # the download failed.
        self.assertFalse(bytes(c.buf).endswith(b"\r\n0\r\n\r\n"), "the archive was cut")
        self.assertTrue(self.server.wait_stderr(r"changing/growing\.bin changed while it was packed", 5),
                        self.server.stderr()[-2000:])
        self.recovered("a file that changed mid-archive")


class ListingsOff(ServerCase):
    settings = "ListFolders=0\n"
    files = {"index.html": b"home", "shared/a.txt": b"alpha"}

    def test_no_archive_where_folders_are_not_listed(self):
        for path in ("/shared/?download=zip", "/shared/?download=tar"):
            self.assertEqual(404, self.server.get(path).code, path)


def sparse_copy(path):
    """A writer for a download that leaves runs of zeros as holes."""
    out = open(path, "wb")
    zeros = bytes(1 << 16)

    def sink(data):
        for start in range(0, len(data), 1 << 16):
            piece = data[start:start + (1 << 16)]
            if piece == zeros[:len(piece)]:
                out.seek(len(piece), os.SEEK_CUR)
            else:
                out.write(piece)
    return out, sink


@unittest.skipIf(SANITIZED, "gigabytes through a sanitized program take minutes")
class BigArchives(ServerCase):
    """ZIP64: a file over 4 GiB (sparse) and more than 65,535 entries."""
    settings = "ListFolders=1\n"

    def test_1_a_file_over_4_gib(self):
        folder = os.path.join(self.server.root, "huge")
        os.makedirs(folder)
        path = os.path.join(folder, "sparse.bin")
        size = (4 << 30) + 12345
        with open(path, "wb") as f:
            f.write(b"head")
            f.seek(size - 4)
            f.write(b"tail")
        if os.stat(path).st_blocks * 512 > (64 << 20):
            self.skipTest("the file system makes no sparse files")
        with tempfile.TemporaryDirectory() as tmp:
            download = os.path.join(tmp, "huge.zip")
            out, sink = sparse_copy(download)
            started = time.monotonic()
            with out:
                status, headers, _, complete = fetch(self.server.port, "/huge/?download=zip", sink=sink)
                out.truncate()
            took = time.monotonic() - started
            self.assertEqual("HTTP/1.1 200 OK", status)
            self.assertTrue(complete)
            with zipfile.ZipFile(download) as archive, open(path, "rb") as original:
                info = archive.getinfo("huge/sparse.bin")
                self.assertEqual(size, info.file_size)
                with archive.open(info) as packed:  # checks the CRC at the end
                    while True:
                        a = packed.read(1 << 22)
                        b = original.read(1 << 22)
                        self.assertEqual(b, a)
                        if not a:
                            break
            print("[BigArchives] 4 GiB file: %.1f s, %.0f MiB/s" % (took, size / took / (1 << 20)))

    def test_2_more_than_65535_entries(self):
        folder = os.path.join(self.server.root, "many")
        os.makedirs(folder)
        count = 70000
        for i in range(count):
            open(os.path.join(folder, "f%05d" % i), "wb").close()
        status, headers, body, complete = fetch(self.server.port, "/many/?download=zip")
        self.assertTrue(complete)
        with zipfile.ZipFile(io.BytesIO(body)) as archive:
            names = archive.namelist()
        self.assertEqual(count + 1, len(names))
        self.assertEqual(set(["many/"] + ["many/f%05d" % i for i in range(count)]), set(names))


if __name__ == "__main__":
    run()
