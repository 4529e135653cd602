"""Uploads a file through the upload form in headless Chromium.

Usage: upload_browser_check.py CHROMIUM PAGE_URL FILE

Opens PAGE_URL (a page holding the upload form), sets the form's file input
to FILE through the DevTools protocol (over --remote-debugging-pipe, so no
extra Python package is needed), and sends the form twice: once as a form
without script (form.submit(), which the page's script does not see), which
must show the "Stored" page, and once through the page's script
(requestSubmit()), whose list must say "stored". Prints OK, or what failed.
"""

import json
import os
import subprocess
import sys
import tempfile
import time


class DevTools:
    def __init__(self, chromium, profile):
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()

        def fds():
            os.dup2(to_chrome_r, 3)
            os.dup2(from_chrome_w, 4)

        self.process = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             f"--user-data-dir={profile}", "about:blank"],
            preexec_fn=fds, pass_fds=(3, 4), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        self.session = None

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("Chromium did not answer in time")
            chunk = os.read(self.from_chrome, 65536)
            if not chunk:
                raise ConnectionError("Chromium closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=True, seconds=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + seconds
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_event(self, method, seconds=30):
        deadline = time.monotonic() + seconds
        while True:
            for i, event in enumerate(self.events):
                if event.get("method") == method:
                    del self.events[i]
                    return event
            self.events.append(self._read_message(deadline))

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result.get("result", {}).get("value")

    def set_file(self, path):
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", {"nodeId": root, "selector": "input[type=file]"})["nodeId"]
        self.call("DOM.setFileInputFiles", {"nodeId": node, "files": [path]})

    def close(self):
        self.process.kill()
        self.process.wait()


def main():
    chromium, url, path = sys.argv[1:4]
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:  # Chromium may still write there as it ends
        tools = DevTools(chromium, profile)
        try:
            target = tools.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
            tools.session = tools.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                       session=False)["sessionId"]
            tools.call("Page.enable")
            tools.call("Page.navigate", {"url": url})
            tools.wait_event("Page.loadEventFired")
            # Without script: the browser posts the form and shows the answer.
            tools.set_file(path)
            tools.evaluate("document.getElementById('vt-upload').submit()")
            tools.wait_event("Page.loadEventFired")
            title = tools.evaluate("document.title")
            if title != "Stored":
                print(f"the form's answer is titled {title!r}: {tools.evaluate('document.body.innerText')!r}")
                return 1
            # With script: the page sends the file itself and tells how it went.
            tools.call("Page.navigate", {"url": url})
            tools.wait_event("Page.loadEventFired")
            tools.set_file(path)
            tools.evaluate("document.getElementById('vt-upload').requestSubmit()")
            deadline = time.monotonic() + 20
            text = ""
            while time.monotonic() < deadline:
                text = tools.evaluate("document.getElementById('vt-upload-list').textContent") or ""
                if "stored" in text:
                    break
                time.sleep(0.1)
            if "stored" not in text or "not stored" in text:
                print(f"the script's list says {text!r}")
                return 1
        finally:
            tools.close()
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
