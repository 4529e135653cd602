"""The real program's HTTPS, judged by the clients people use: curl and
openssl s_client with the certificate the program made (or a chain the user
gave), the made certificate's names and key file, a refused key, the
redirect, CGI's HTTPS and SERVER_PORT over TLS, and a page in headless
Chromium with the certificate's key pinned (when Chromium is installed).

Usage: https_test.py --program PATH [unittest arguments]
"""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

import harness
from harness import Server, free_port, wait_until


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, **kw)


class HttpsServer(Server):
    """A sandboxed program with HTTPS on a port of its own and its data folder inside the sandbox."""

    def __init__(self, settings=""):
        self.https_port = free_port()
        super().__init__("HTTPS=1\nHTTPSPort=%d\n%s" % (self.https_port, settings))
        self.data = os.path.join(self.dir, "data")
        self.tls = os.path.join(self.data, "veltrana", "tls")

    def spawn(self):
        os.environ["XDG_DATA_HOME"] = self.data
        try:
            super().spawn()
        finally:
            del os.environ["XDG_DATA_HOME"]

    def curl(self, *args):
        return run(["curl", "-sS", "--max-time", "20"] + list(args))

    def https(self, host="localhost", path="/"):
        return "https://%s:%d%s" % (host, self.https_port, path)


def tls_listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class MadeCertificate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = HttpsServer()
        cls.server.write("index.html", "home over tls")
        cls.server.start()
        cls.cert = os.path.join(cls.server.tls, "cert.pem")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.server.cleanup()

    def test_curl_trusts_the_made_certificate_by_name_and_address(self):
        for host in ("localhost", "127.0.0.1"):
            with self.subTest(host=host):
                got = self.server.curl("--cacert", self.cert, self.server.https(host, "/index.html"))
                self.assertEqual(0, got.returncode, got.stderr)
                self.assertEqual("home over tls", got.stdout)
        # Without the certificate curl refuses: it is self-signed.
        self.assertNotEqual(0, self.server.curl(self.server.https()).returncode)
        # The plain port serves beside it.
        plain = self.server.curl("http://127.0.0.1:%d/index.html" % self.server.port)
        self.assertEqual("home over tls", plain.stdout)

    def test_s_client_verifies_and_older_versions_are_refused(self):
        rows = [([], True, "the default"), (["-tls1_2"], True, "TLS 1.2"), (["-tls1_1"], False, "TLS 1.1")]
        for extra, ok, why in rows:
            with self.subTest(why):
                got = run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.server.https_port,
                           "-CAfile", self.cert, "-verify_return_error", "-alpn", "http/1.1",
                           "-servername", "localhost"] + extra, input="")
                if ok:
                    self.assertIn("Verify return code: 0 (ok)", got.stdout)
                    self.assertIn("ALPN protocol: http/1.1", got.stdout)
                else:
                    self.assertIn("Cipher is (NONE)", got.stdout)

    def test_the_made_certificate_names_the_host_and_loopback_and_keeps_its_key_private(self):
        text = run(["openssl", "x509", "-in", self.cert, "-noout", "-text"]).stdout
        for name in ("DNS:localhost", "IP Address:127.0.0.1", "IP Address:0:0:0:0:0:0:0:1",
                     "DNS:" + socket.gethostname(), "prime256v1"):
            self.assertIn(name, text)
        self.assertEqual(0o600, os.stat(os.path.join(self.server.tls, "key.pem")).st_mode & 0o777)
        self.assertEqual(0o700, os.stat(self.server.tls).st_mode & 0o777)

    def test_print_certificate_gives_the_fingerprint_openssl_computes(self):
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.server.dir, "config"),
                   XDG_DATA_HOME=self.server.data)
        got = run([self.server.program, "--print-certificate"], env=env)
        self.assertEqual(0, got.returncode, got.stderr)
        openssl = run(["openssl", "x509", "-in", self.cert, "-noout", "-fingerprint", "-sha256"]).stdout
        self.assertIn(openssl.strip().split("=", 1)[1], got.stdout)
        self.assertIn("-----BEGIN CERTIFICATE-----", got.stdout)
        # The server log said the same fingerprint at its start.
        self.assertIn(openssl.strip().split("=", 1)[1], self.server.stderr())

    def test_a_peer_that_sends_no_tls_is_closed_with_one_line(self):
        for _ in range(3):
            with socket.create_connection(("127.0.0.1", self.server.https_port), timeout=10) as s:
                s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                self.assertEqual(b"", s.recv(100))
        self.assertTrue(self.server.wait_stderr(r"TLS handshake with 127\.0\.0\.1 failed: not TLS"))
        self.assertEqual(1, len(re.findall(r"failed: not TLS", self.server.stderr())))

    def test_headless_chromium_loads_the_page_with_the_key_pinned(self):
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if not chromium:
            self.skipTest("Chromium is not installed")
        pin = re.search(r"Public key pin \(SHA-256, base64\): (\S+)", run(
            [self.server.program, "--print-certificate"],
            env=dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.server.dir, "config"),
                     XDG_DATA_HOME=self.server.data)).stdout).group(1)
        def load(*flags):
            profile = tempfile.mkdtemp(prefix="vt-chromium-")
            try:
                return run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile]
                           + list(flags) + ["--dump-dom", self.server.https("localhost", "/index.html")])
            finally:
                shutil.rmtree(profile, ignore_errors=True)

        got = load("--ignore-certificate-errors-spki-list=" + pin)
        self.assertIn("home over tls", got.stdout, got.stderr[-2000:])
        # Without the pin the certificate is not trusted: the pin is what let it in.
        self.assertNotIn("home over tls", load().stdout)


class Policies(unittest.TestCase):
    def tearDown(self):
        self.server.stop()
        self.server.cleanup()

    def test_plain_http_is_redirected_to_the_https_address(self):
        self.server = HttpsServer("RedirectToHTTPS=1\n")
        self.server.write("a b.txt", "x")
        self.server.start()
        raw = "GET /a%%20b.txt?q=1 HTTP/1.1\r\nHost: localhost:%d\r\nConnection: close\r\n\r\n" % self.server.port
        answer = self.server.ask(raw)
        self.assertEqual("HTTP/1.1 308 Permanent Redirect", answer.status_line)
        self.assertEqual("https://localhost:%d/a%%20b.txt?q=1" % self.server.https_port, answer.headers.get("location"))
        # curl follows it to the same file over TLS.
        got = self.server.curl("-L", "--cacert", os.path.join(self.server.tls, "cert.pem"),
                               "http://localhost:%d/a%%20b.txt" % self.server.port)
        self.assertEqual("x", got.stdout, got.stderr)

    def test_cgi_over_tls_is_told_https_and_its_port(self):
        self.server = HttpsServer("ExecEXEAsCGI=1\n")
        self.server.write("env.exe", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                          "echo HTTPS=$HTTPS\necho SERVER_PORT=$SERVER_PORT\n", 0o755)
        self.server.start()
        got = self.server.curl("--cacert", os.path.join(self.server.tls, "cert.pem"),
                               self.server.https("localhost", "/env.exe"))
        self.assertIn("SERVER_PORT=%d" % self.server.https_port, got.stdout)
        self.assertIn("HTTPS=on", got.stdout)
        plain = self.server.curl("http://127.0.0.1:%d/env.exe" % self.server.port)
        self.assertIn("SERVER_PORT=%d" % self.server.port, plain.stdout)
        self.assertIn("HTTPS=\n", plain.stdout)

    def test_a_given_chain_serves_and_a_key_of_another_certificate_is_refused(self):
        self.server = HttpsServer()
        work = os.path.join(self.server.dir, "pki")
        os.mkdir(work)

        def openssl(*args):
            got = run(["openssl"] + list(args), cwd=work)
            self.assertEqual(0, got.returncode, got.stderr)

        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "30",
                "-subj", "/CN=Test CA", "-keyout", "ca.key", "-out", "ca.pem")
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=localhost",
                "-keyout", "leaf.key", "-out", "leaf.csr")
        with open(os.path.join(work, "ext.cnf"), "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        openssl("x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-days", "20", "-extfile", "ext.cnf", "-out", "leaf.pem")
        with open(os.path.join(work, "chain.pem"), "w") as chain:
            for part in ("leaf.pem", "ca.pem"):
                with open(os.path.join(work, part)) as f:
                    chain.write(f.read())
        rows = [("leaf.key", True), ("ca.key", False)]
        for key, serves in rows:
            with self.subTest(key=key):
                self.server.write_settings("HTTPS=1\nHTTPSPort=%d\nCertificateFile=%s\nKeyFile=%s\n" % (
                    self.server.https_port, os.path.join(work, "chain.pem"), os.path.join(work, key)))
                self.server.start()
                if serves:
                    got = self.server.curl("--cacert", os.path.join(work, "ca.pem"), self.server.https())
                    self.assertEqual(0, got.returncode, got.stderr)
                else:
                    self.assertTrue(self.server.wait_stderr(r"does not belong to the certificate"))
                    self.assertFalse(tls_listening(self.server.https_port))
                # The plain port serves either way.
                self.assertEqual(0, self.server.curl("http://127.0.0.1:%d/" % self.server.port).returncode)
                self.server.stop()


if __name__ == "__main__":
    harness.run()
