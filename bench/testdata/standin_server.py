#!/usr/bin/env python3
"""A stand-in for veltrana-webserver in the harness's own test: it is driven
exactly as the harness drives our program (--headless, settings from
$XDG_CONFIG_HOME/vtWebServer.ini, access log webserver.log next to itself,
*.exe run as CGI, a per-connection send limit, stop on SIGTERM), so the test
checks the harness's side of that contract. It is no benchmark contestant."""

import configparser
import os
import signal
import subprocess
import sys
import threading
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer


def main():
    if sys.argv[1:] == ["--version"]:
        return print("stand-in 1.0")
    if sys.argv[1:] != ["--headless"]:
        sys.exit("usage: standin_server.py --headless")
    ini = configparser.ConfigParser()
    ini.read(os.path.join(os.environ["XDG_CONFIG_HOME"], "vtWebServer.ini"))
    cfg = ini["WebServer"]
    root, rate = cfg["PubDir"], cfg.getint("ThrottleRate") if cfg.getboolean("Throttle") else 0
    log = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "webserver.log"), "a")
    log_lock = threading.Lock()

    class Handler(SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=root, **kwargs)

        def do_GET(self):
            if self.path.endswith(".exe"):
                out = subprocess.run([os.path.join(root, self.path.lstrip("/"))], capture_output=True).stdout
                head, _, body = out.partition(b"\r\n\r\n")
                self.send_response(200)
                for line in head.decode("latin-1").splitlines():
                    name, _, value = line.partition(":")
                    self.send_header(name, value.strip())
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            else:
                super().do_GET()

        def copyfile(self, source, outputfile):
            if not rate:
                return super().copyfile(source, outputfile)
            while chunk := source.read(rate // 20):
                outputfile.write(chunk)
                time.sleep(0.05)

        def log_message(self, fmt, *args):
            with log_lock:
                log.write(fmt % args + "\r\n")

    server = ThreadingHTTPServer(("127.0.0.1", cfg.getint("Port")), Handler)
    server.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    server.serve_forever()
    log.close()


if __name__ == "__main__":
    main()
