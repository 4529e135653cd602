"""Talks to the HTTP server under test with Python's http.client.

Usage: http_client_check.py PORT. Prints OK when every check passed; raises
(and so prints a traceback) otherwise. http.client refuses answers whose
framing it cannot follow, so a wrong Content-Length or a missing one on a
kept-alive connection shows up here.
"""

import http.client
import sys


def main():
    port = int(sys.argv[1])
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)

    conn.request("GET", "/x")
    first = conn.getresponse()
    body = first.read()
    assert first.status == 200, first.status
    assert len(body) == 1000, len(body)
    assert first.getheader("Connection") == "keep-alive"
    sock = conn.sock

    conn.request("HEAD", "/x")
    head = conn.getresponse()
    assert head.read() == b""
    assert head.getheader("Content-Length") == "1000"

    conn.request("GET", "/x", headers={"Range": "bytes=0-9"})
    part = conn.getresponse()
    assert part.status == 206, part.status
    assert part.read() == body[:10]
    assert part.getheader("Content-Range") == "bytes 0-9/1000"
    assert conn.sock is sock, "the connection was not reused"

    conn.request("GET", "/x", headers={"Connection": "close"})
    last = conn.getresponse()
    assert last.read() == body
    assert last.will_close
    conn.close()
    print("OK")


main()
