#!/usr/bin/env python3
"""A folder listing in a real browser: starts the program (the normal build)
on a sample folder with listings on, loads the listing in headless Chromium,
follows every link of the page it rendered (each must answer 200), and saves
a screenshot of the page (docs/screenshots/folder-listing.png unless a path
is given).

    scripts/listing_browser.py [SCREENSHOT.png]

Needs Debian's `chromium`; scripts/listing_browser.sh installs it.
"""
import html.parser
import http.client
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The program to run: VT_PROGRAM_FILE (a test's build), else the normal build's.
PROGRAM = os.environ.get("VT_PROGRAM_FILE") or os.path.join(ROOT, "build", "bin", "veltrana-webserver")
# The exit status of a run that could not check anything (no browser).
SKIPPED = 77


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.hrefs = []

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.hrefs += [value for name, value in attrs if name == "href"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_sample(folder):
    def write(name, size, age_days):
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.truncate(size)
        stamp = time.time() - age_days * 86400
        os.utime(path, (stamp, stamp))

    write("Holiday 2024/beach.jpg", 2_400_000, 30)
    write("Holiday 2024/sunset.jpg", 3_100_000, 30)
    write("Music/song.flac", 28_000_000, 200)
    write("Documents/notes.txt", 2_300, 2)
    write("photo of the cat.png", 845_000, 5)
    write("report #3 (final).pdf", 120_000, 1)
    write("caf\u00e9 menu.md", 900, 12)
    write("film.mkv", 1_400_000_000, 60)
    write("backup.tar.gz", 52_000_000, 90)
    write("-draft.txt", 12, 0)
    write(".hidden-notes.txt", 10, 0)


def main():
    shot = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "screenshots", "folder-listing.png")
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("chromium is not installed: nothing checked", file=sys.stderr)
        sys.exit(SKIPPED)
    with tempfile.TemporaryDirectory() as tmp:
        site = os.path.join(tmp, "Public")
        os.makedirs(os.path.join(tmp, "config"))
        make_sample(site)
        port = free_port()
        with open(os.path.join(tmp, "config", "vtWebServer.ini"), "w") as f:
            f.write(f"[WebServer]\nActive=1\nPubDir={site}\nPort={port}\nListenOn=local\nListFolders=1\n")
        shutil.copy(PROGRAM, tmp)
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(tmp, "config"))
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        server = subprocess.Popen([os.path.join(tmp, "veltrana-webserver"), "--headless"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", port), 0.1).close()
                    break
                except OSError:
                    time.sleep(0.1)
            url = f"http://127.0.0.1:{port}/"
            flags = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                     f"--user-data-dir={tmp}/chromium"]
            dom = subprocess.run(flags + ["--dump-dom", url], capture_output=True, text=True, timeout=120).stdout
            links = Links()
            links.feed(dom)
            followed = [h for h in links.hrefs if "download=" not in h]
            if len(followed) < 10:
                sys.exit(f"the rendered page has {len(followed)} links:\n{dom[:2000]}")
            bad = []
            for href in followed:
                target = href if href.startswith("/") else "/" + href
                if href.startswith("?"):
                    target = "/" + href
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                connection.request("GET", target)
                status = connection.getresponse().status
                connection.close()
                if status != 200:
                    bad.append((href, status))
            if ".hidden-notes" in dom:
                bad.append((".hidden-notes.txt", "listed"))
            if bad:
                sys.exit(f"links that fail: {bad}")
            print(f"{len(followed)} links of the rendered listing followed, each 200")
            os.makedirs(os.path.dirname(shot), exist_ok=True)
            subprocess.run(flags + [f"--screenshot={shot}", "--window-size=900,720", url],
                           capture_output=True, timeout=120, check=True)
            print(f"screenshot: {shot}")
        finally:
            server.terminate()
            server.wait(10)


if __name__ == "__main__":
    main()
