#!/usr/bin/env python3
"""Helpers for bench/run.sh: ports, checks, wrk output, throttle and memory
probes, and the results table.

Results travel between the steps as a tab-separated file, one figure a line:

    server <TAB> point <TAB> metric <TAB> value

where value is a number, or text for the metrics "status" (why a server or
a point has no figures: "skipped: ...", "n/a: ...", "failed: ..."), "flag"
(errors seen while measuring that point) and "note..." (remarks for the
reader).  Everything here talks to 127.0.0.1 only.
"""

import argparse
import os
import re
import select
import socket
import statistics
import subprocess
import sys
import threading
import time

HOST = "127.0.0.1"

# ---------------------------------------------------------------------------
# wrk output


class WrkParseError(Exception):
    pass


_TIME_UNITS = {"us": 1.0, "ms": 1e3, "s": 1e6, "m": 60e6, "h": 3600e6}
# wrk prints sizes in binary units with these names.
_SIZE_UNITS = {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30, "TB": 1 << 40, "PB": 1 << 50}
_NUMBER = r"([0-9]+(?:\.[0-9]+)?)"


def _microseconds(number, unit):
    if unit not in _TIME_UNITS:
        raise WrkParseError(f"unknown time unit {unit!r}")
    return float(number) * _TIME_UNITS[unit]


def _bytes(number, unit):
    if unit not in _SIZE_UNITS:
        raise WrkParseError(f"unknown size unit {unit!r}")
    return float(number) * _SIZE_UNITS[unit]


def parse_wrk(text):
    """Figures of one wrk run (printed with --latency) as a dict:
    requests, seconds, rps, bytes_per_s, p50_us, p75_us, p90_us, p99_us
    (latency keys only when wrk printed a distribution), socket errors
    connect/read/write/timeout and non2xx (0 when wrk printed none)."""
    out = {}
    m = re.search(r"^\s*([0-9]+) requests in " + _NUMBER + r"(us|ms|s|m|h),", text, re.M)
    if m:
        out["requests"] = int(m.group(1))
        out["seconds"] = _microseconds(m.group(2), m.group(3)) / 1e6
    m = re.search(r"^Requests/sec:\s+" + _NUMBER + r"\s*$", text, re.M)
    if not m:
        raise WrkParseError("no Requests/sec line")
    out["rps"] = float(m.group(1))
    m = re.search(r"^Transfer/sec:\s+" + _NUMBER + r"([KMGTP]?B)\s*$", text, re.M)
    if not m:
        raise WrkParseError("no Transfer/sec line")
    out["bytes_per_s"] = _bytes(m.group(1), m.group(2))
    dist = text.split("Latency Distribution", 1)
    if len(dist) == 2:
        for pct, number, unit in re.findall(r"^\s+(50|75|90|99)%\s+" + _NUMBER + r"(us|ms|s|m|h)\s*$",
                                            dist[1], re.M):
            out[f"p{pct}_us"] = _microseconds(number, unit)
    for kind in ("connect", "read", "write", "timeout"):
        out[kind] = 0
    m = re.search(r"Socket errors: connect ([0-9]+), read ([0-9]+), write ([0-9]+), timeout ([0-9]+)", text)
    if m:
        for kind, value in zip(("connect", "read", "write", "timeout"), m.groups()):
            out[kind] = int(value)
    m = re.search(r"Non-2xx or 3xx responses: ([0-9]+)", text)
    out["non2xx"] = int(m.group(1)) if m else 0
    m = re.search(r"^" + re.escape(OTHERS_LINE) + _NUMBER + "%", text, re.M)
    if m:
        out["others_pct"] = float(m.group(1))
    return out


def summarize_runs(runs):
    """Medians of the figures of repeated wrk runs, with the errors of all of
    them added up.  Returns (figures, flag) where flag is "" or a short text
    naming the errors."""
    figures = {}
    for key in ("rps", "bytes_per_s", "p50_us", "p99_us", "others_pct"):
        values = [r[key] for r in runs if key in r]
        if len(values) == len(runs):
            figures[key] = statistics.median(values)
    errors = {kind: sum(r[kind] for r in runs) for kind in ("connect", "read", "write", "timeout", "non2xx")}
    parts = [f"{kind} {count}" for kind, count in errors.items() if count]
    flag = ""
    if parts:
        flag = f"{len(runs)} run(s): " + ", ".join(parts)
    return figures, flag


# ---------------------------------------------------------------------------
# CPU taken by other processes while a load ran: on a shared machine the
# figures only compare fairly when it stays near 0.

OTHERS_LINE = "# CPU taken by other processes: "
_HZ = os.sysconf("SC_CLK_TCK")


def cpu_busy_ticks(proc="/proc"):
    """User, nice and system time of all CPUs.  Interrupt time is left out:
    the kernel does not charge it to any process either."""
    with open(os.path.join(proc, "stat"), encoding="latin-1") as f:
        fields = f.readline().split()
    return sum(int(v) for v in fields[1:4])


def tree_cpu_ticks(pids, proc="/proc"):
    """CPU time of the processes, with that of their reaped children."""
    total = 0
    for p in pids:
        try:
            with open(os.path.join(proc, str(p), "stat"), encoding="latin-1") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += sum(int(v) for v in fields[11:15])  # utime stime cutime cstime
    return total


def others_pct(busy, server, client, seconds, cpus):
    """Share of the machine's CPU capacity used by neither the server nor the
    load generator, in percent."""
    return max(0.0, (busy - server - client) * 100.0 / (seconds * _HZ * cpus))


def run_load(cmd, out_path, server_pid):
    """Runs cmd with its output to out_path, then appends the CPU share that
    other processes took meanwhile.  Returns cmd's exit status."""
    pids = process_tree(server_pid)
    busy0, server0, start = cpu_busy_ticks(), tree_cpu_ticks(pids), time.monotonic()
    with open(out_path, "w", encoding="utf-8") as out:
        child = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.monotonic() - start
        client = (usage.ru_utime + usage.ru_stime) * _HZ
        server = tree_cpu_ticks(pids) - server0
        share = others_pct(cpu_busy_ticks() - busy0, server, client, seconds, os.cpu_count())
        out.write(f"{OTHERS_LINE}{share:.1f}%\n")
    return child.returncode


# ---------------------------------------------------------------------------
# Results file


def append_results(path, server, point, figures):
    with open(path, "a", encoding="utf-8") as f:
        for metric, value in figures.items():
            text = value if isinstance(value, str) else repr(float(value))
            f.write(f"{server}\t{point}\t{metric}\t{text.replace(chr(9), ' ').replace(chr(10), ' ')}\n")


def read_results(path):
    """{(server, point, metric): float or str}; a later line wins."""
    results = {}
    if not os.path.exists(path):
        return results
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 4:
                continue
            server, point, metric, value = fields
            if metric not in ("status", "flag") and not metric.startswith("note"):
                try:
                    value = float(value)
                except ValueError:
                    pass
            results[(server, point, metric)] = value
    return results


# ---------------------------------------------------------------------------
# Send-rate limit: one download for a fixed time, bytes counted per second


def rate_figures(per_second, setting):
    """Figures of a throttled download from its per-second byte counts (whole
    seconds only): the mean rate, its deviation from the setting, and the
    second furthest from the setting, both in percent of the setting."""
    if not per_second:
        raise ValueError("no whole second measured")
    rate = sum(per_second) / len(per_second)
    return {
        "rate": rate,
        "deviation_pct": (rate - setting) * 100.0 / setting,
        "worst_second_pct": max(abs(c - setting) for c in per_second) * 100.0 / setting,
    }


def _read_head(sock, deadline):
    """Reads until the end of a response header; returns (status, headers
    dict with lower-case names, bytes of the body already read)."""
    data = b""
    while b"\r\n\r\n" not in data:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("no response header in time")
        sock.settimeout(left)
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("connection closed before the response header ended")
        data += chunk
        if len(data) > 65536:
            raise ValueError("response header too long")
    head, rest = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ", 2)
    if len(parts) < 2 or not parts[1].isdigit():
        raise ValueError(f"bad status line {lines[0]!r}")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(parts[1]), headers, rest


def _request(path, close=False):
    connection = "Connection: close\r\n" if close else ""
    return f"GET {path} HTTP/1.1\r\nHost: {HOST}\r\n{connection}\r\n".encode("ascii")


def measure_rate(port, path, seconds, setting):
    """Downloads path for `seconds` and returns rate_figures of the body
    bytes, counted from the moment the request was sent."""
    per_second = [0] * seconds
    with socket.create_connection((HOST, port), timeout=5) as sock:
        start = time.monotonic()
        end = start + seconds
        sock.sendall(_request(path))
        status, _, rest = _read_head(sock, end)
        if status != 200:
            raise ValueError(f"status {status}")
        per_second[0] += len(rest)
        while True:
            left = end - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([sock], [], [], left)
            now = time.monotonic()
            if not ready:
                continue
            chunk = sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("the server ended the download early")
            second = int(now - start)
            if second < seconds:
                per_second[second] += len(chunk)
    figures = rate_figures(per_second, setting)
    figures["note"] = "(f) bytes per second: " + " ".join(str(c) for c in per_second)
    return figures


# ---------------------------------------------------------------------------
# Resident memory of a server and its child processes


def process_tree(pid, proc="/proc"):
    """pid and every descendant of it that is alive now."""
    children = {}
    for entry in os.listdir(proc):
        if not entry.isdigit():
            continue
        try:
            with open(os.path.join(proc, entry, "stat"), encoding="latin-1") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name may hold spaces and parentheses: fields follow the last ")".
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(children.get(p, []))
    return tree


def rss_kib(pids, proc="/proc"):
    total = 0
    for p in pids:
        try:
            with open(os.path.join(proc, str(p), "status"), encoding="latin-1") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass  # gone meanwhile
    return total


def _read_response(sock, deadline):
    status, headers, rest = _read_head(sock, deadline)
    if "content-length" not in headers:
        raise ValueError("response without Content-Length")
    left = int(headers["content-length"]) - len(rest)
    body = bytearray(rest)
    while left > 0:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("response body not complete in time")
        sock.settimeout(remaining)
        chunk = sock.recv(min(left, 65536))
        if not chunk:
            raise ConnectionError("connection closed inside the body")
        body += chunk
        left -= len(chunk)
    return status, bytes(body)


def _still_open(sock):
    sock.setblocking(False)
    try:
        return sock.recv(1, socket.MSG_PEEK) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


def measure_memory(pid, port, path, conns, settle=0.5):
    """Resident memory of the server idle, then with `conns` keep-alive
    connections that have each had one answer and stay open."""
    idle = rss_kib(process_tree(pid))
    socks = []
    try:
        deadline = time.monotonic() + 20
        for _ in range(conns):
            s = socket.create_connection((HOST, port), timeout=5)
            socks.append(s)
            s.sendall(_request(path))
            status, _ = _read_response(s, deadline)
            if status != 200:
                raise ValueError(f"status {status}")
        time.sleep(settle)  # let the server finish its bookkeeping for the last ones
        loaded = rss_kib(process_tree(pid))
        still_open = sum(_still_open(s) for s in socks)
    finally:
        for s in socks:
            s.close()
    figures = {"idle_kib": idle, "loaded_kib": loaded, "per_conn_kib": (loaded - idle) / conns}
    flag = "" if still_open == conns else f"only {still_open} of {conns} connections were still open"
    return figures, flag


def measure_stream(pid, port, path, size, sample=0.05):
    """One download of `path`, a CGI program's answer of `size` body bytes,
    asked as HTTP/1.0 so that every server ends it with the close: its
    throughput and the server's peak resident memory (its process tree, the
    program included) while it streamed."""
    tree = process_tree(pid)
    idle = rss_kib(tree)
    peak = [idle]
    done = threading.Event()

    def watch():
        while not done.wait(sample):
            peak[0] = max(peak[0], rss_kib(process_tree(pid)))

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        with socket.create_connection((HOST, port), timeout=10) as sock:
            start = time.monotonic()
            sock.sendall(f"GET {path} HTTP/1.0\r\nHost: {HOST}\r\n\r\n".encode("ascii"))
            status, _, rest = _read_head(sock, start + 30)
            if status != 200:
                raise ValueError(f"status {status}")
            got = len(rest)
            sock.settimeout(30)
            while True:
                chunk = sock.recv(1 << 16)
                if not chunk:
                    break
                got += len(chunk)
            seconds = time.monotonic() - start
    finally:
        done.set()
        watcher.join()
    figures = {"mib_per_s": got / (1 << 20) / seconds, "idle_kib": idle, "peak_kib": peak[0]}
    flag = "" if got == size else f"{got} of {size} body bytes arrived"
    return figures, flag


# ---------------------------------------------------------------------------
# Budgets: the work a server does per request, counted rather than timed, so
# that the figures hold on a busy machine too.  A client sends `requests`
# requests one after the other (after `warmup` unmeasured ones) and the count
# taken meanwhile is divided by `requests`.

BUDGET_WARMUP = 100
BUDGET_UNITS = {"req": "keep-alive request", "conn": "new connection"}


class SequentialClient:
    """Requests one at a time: all on one kept-alive connection, or each on a
    new connection that the server closes after its answer."""

    def __init__(self, port, path, close):
        self.port, self.path, self.close = port, path, close
        self.sock = None

    def run(self, count):
        deadline = time.monotonic() + 60 + count  # generous: the server may run under valgrind
        for _ in range(count):
            if self.sock is None:
                self.sock = socket.create_connection((HOST, self.port), timeout=30)
            self.sock.sendall(_request(self.path, close=self.close))
            status, headers, rest = _read_head(self.sock, deadline)
            if status != 200:
                raise ValueError(f"status {status}")
            self._skip(int(headers.get("content-length", "-1")) - len(rest), deadline)
            if self.close or headers.get("connection", "").lower() == "close":
                # Ours closes only when asked to; the peers also end a kept-alive
                # connection after their number of requests on it.
                self.sock.settimeout(max(1.0, deadline - time.monotonic()))
                if self.sock.recv(1) != b"":
                    raise ValueError("bytes after the answer on a closed connection")
                self.sock.close()
                self.sock = None

    def _skip(self, left, deadline):
        if left < 0:
            raise ValueError("response without Content-Length")
        while left > 0:
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            chunk = self.sock.recv(min(left, 65536))
            if not chunk:
                raise ConnectionError("connection closed inside the body")
            left -= len(chunk)

    def finish(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None


def measured(client, requests, begin, end):
    """Runs the warm-up, then begin(), the measured requests, end()."""
    try:
        client.run(BUDGET_WARMUP)
        begin()
        client.run(requests)
        return end()
    finally:
        client.finish()


def parse_strace_summary(text):
    """{syscall: calls} and the total from `strace -c` output."""
    calls, total = {}, None
    for line in text.splitlines():
        fields = line.split()
        if len(fields) < 5 or not fields[3].isdigit():
            continue
        if fields[-1] == "total":
            total = int(fields[3])
        else:
            calls[fields[-1]] = int(fields[3])
    if total is None:
        raise ValueError("no total in the strace summary")
    return calls, total


def count_syscalls(pid, client, requests, out_path):
    """System calls of the server's processes (all threads) per request, and
    the calls that make up most of them."""
    pids = process_tree(pid)
    args = ["strace", "-f", "-c", "-o", out_path]
    for p in pids:
        args += ["-p", str(p)]
    tracer = None

    def begin():
        nonlocal tracer
        tracer = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # strace says "Process N attached" (with its threads) for each process.
        deadline = time.monotonic() + 10
        said = b""
        while said.count(b"attached") < len(pids):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([tracer.stderr], [], [], left)[0]:
                raise ValueError("strace did not attach within 10 s")
            chunk = os.read(tracer.stderr.fileno(), 4096)
            if not chunk:
                raise ValueError("strace ended before it attached")
            said += chunk

    def end():
        tracer.send_signal(2)
        tracer.communicate(timeout=30)
        with open(out_path, encoding="utf-8") as f:
            return parse_strace_summary(f.read())

    try:
        calls, total = measured(client, requests, begin, end)
    finally:
        if tracer and tracer.poll() is None:
            tracer.kill()
            tracer.wait()
    top = sorted(calls.items(), key=lambda kv: -kv[1])
    return total / requests, ", ".join(f"{name} {n / requests:.2f}" for name, n in top if n / requests >= 0.05)


def parse_callgrind_totals(text):
    """The events of a callgrind dump: its "summary" line, which comes first
    (a process asleep in the kernel writes the rest of its dump only when it
    wakes), or else its "totals" line."""
    m = re.search(r"^(?:summary|totals):\s+([0-9]+)", text, re.M)
    if not m:
        raise ValueError("no totals in the callgrind dump")
    return int(m.group(1))


def count_instructions(pid, client, requests, out_dir):
    """User-space instructions of the server's processes per request, from a
    server running under `valgrind --tool=callgrind
    --callgrind-out-file=<out_dir>/callgrind.out.%p`: counters zeroed after the
    warm-up, dumped after the measured requests."""
    pids = process_tree(pid)

    def control(option):
        for p in pids:
            subprocess.run(["callgrind_control", option, str(p)], check=True, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def end():
        before = set(os.listdir(out_dir))
        control("-d")
        # Each process writes its dump when it next runs: one that sleeps in
        # the kernel throughout (a master process waiting for signals) has
        # run nothing since the counters were zeroed, and counts 0.
        deadline = time.monotonic() + 10
        figures = {}
        while len(figures) < len(pids) and time.monotonic() < deadline:
            time.sleep(0.2)
            for name in set(os.listdir(out_dir)) - before - set(figures):
                with open(os.path.join(out_dir, name), encoding="latin-1") as f:
                    try:
                        figures[name] = parse_callgrind_totals(f.read())
                    except ValueError:
                        pass  # not written yet
        if not figures:
            raise ValueError("no callgrind dump")
        return sum(figures.values())

    return measured(client, requests, lambda: control("-z"), end) / requests


def read_counter(path):
    with open(path, "rb") as f:
        return int.from_bytes(f.read(8).ljust(8, b"\0"), "little")


def count_allocations(counter_path, client, requests):
    """Heap allocations per request of a server running with bench/alloc_count.c
    preloaded (VT_ALLOC_COUNTER=counter_path)."""
    start = []
    return measured(client, requests, lambda: start.append(read_counter(counter_path)),
                    lambda: (read_counter(counter_path) - start[0])) / requests


# ---------------------------------------------------------------------------
# (n) A folder as one archive, against cat of the same files


def _drain(stream_read, chunk=1 << 20):
    """Reads until the end; the bytes read."""
    total = 0
    while True:
        data = stream_read(chunk)
        if not data:
            return total
        total += len(data)


def cat_rate(files):
    """Bytes per second of `cat FILES` into a pipe this process empties, as
    a download is emptied: the disk's (or the page cache's) speed for those
    files, with the copy a reader of a stream always pays."""
    started = time.monotonic()
    with subprocess.Popen(["cat", "--"] + files, stdout=subprocess.PIPE) as cat:
        total = _drain(cat.stdout.read)
    if cat.returncode != 0:
        raise ValueError(f"cat ended with status {cat.returncode}")
    return total / (time.monotonic() - started), total


def archive_rate(port, path):
    """Bytes per second of the body of GET `path` (read to the close) and
    the body's bytes."""
    started = time.monotonic()
    with socket.create_connection((HOST, port), timeout=60) as sock:
        sock.sendall(_request(path, close=True))
        head = b""
        while b"\r\n\r\n" not in head:
            data = sock.recv(65536)
            if not data:
                raise ValueError(f"GET {path}: no answer")
            head += data
        status = head.split(b"\r\n", 1)[0].decode("latin-1")
        if " 200 " not in status + " ":
            raise ValueError(f"GET {path}: {status}")
        total = len(head) - head.index(b"\r\n\r\n") - 4 + _drain(sock.recv)
    return total / (time.monotonic() - started), total


def measure_archive(port, path, folder, reps):
    """The medians of (n): the archive's rate, cat's rate over the files of
    `folder`, and their ratio."""
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(folder) for f in names)
    cat_rate(files)  # the first read fills the page cache for both
    cats, archives = [], []
    for _ in range(reps):
        cats.append(cat_rate(files)[0])
        rate, size = archive_rate(port, path)
        if size < sum(os.path.getsize(f) for f in files):
            raise ValueError(f"GET {path}: {size} bytes, less than the files hold")
        archives.append(rate)
    archive, cat = statistics.median(archives), statistics.median(cats)
    return {"archive_bytes_per_s": archive, "archive_cat_ratio": archive / cat,
            "note_archive": f"(n) cat of the same files: {cat / (1 << 20):,.0f} MiB/s"}


# ---------------------------------------------------------------------------
# (p) Receiving a file: one PUT of a large body, against dd to the same disk


def measure_upload(port, path, mib, folder):
    """MiB/s of one PUT of `mib` MiB (Content-Length, zeros) from its first
    byte until the server's 201, which it sends once the file is flushed to
    the disk; then of dd writing as many bytes into `folder` with its own
    flush (conv=fsync), the disk's own figure. Both files are removed."""
    block = bytes(1 << 20)
    head = (f"PUT {path} HTTP/1.1\r\nHost: {HOST}\r\nContent-Length: {mib << 20}\r\n"
            "Connection: close\r\n\r\n").encode()
    with socket.create_connection((HOST, port), timeout=60) as sock:
        begin = time.monotonic()
        sock.sendall(head)
        for _ in range(mib):
            sock.sendall(block)
        status, _, _ = _read_head(sock, time.monotonic() + 600)
        seconds = time.monotonic() - begin
    if status != 201:
        raise ValueError(f"PUT {path} answered {status}")
    target = os.path.join(folder, os.path.basename(path))
    if os.path.getsize(target) != mib << 20:
        raise ValueError(f"{target} does not hold the {mib} MiB sent")
    os.remove(target)
    dd_target = os.path.join(folder, "dd.bin")
    begin = time.monotonic()
    subprocess.run(["dd", "if=/dev/zero", f"of={dd_target}", "bs=1M", f"count={mib}", "conv=fsync"],
                   check=True, capture_output=True)
    dd_seconds = time.monotonic() - begin
    os.remove(dd_target)
    upload = (mib << 20) / seconds
    dd = (mib << 20) / dd_seconds
    return {"upload_bytes_per_s": upload, "dd_bytes_per_s": dd, "upload_vs_dd": upload / dd}


# ---------------------------------------------------------------------------
# The table

# (point, metric, what, unit, which way is better, decimals, scale)
ROWS = [
    ("a", "rps", "(a) 1 KiB, 64 keep-alive conns", "req/s", "higher", 0, 1),
    ("a", "p50_us", "(a) p50 latency", "ms", "lower", 2, 1e-3),
    ("a", "p99_us", "(a) p99 latency", "ms", "lower", 2, 1e-3),
    ("b", "rps", "(b) 1 KiB, new conn per request, 64 conns", "req/s", "higher", 0, 1),
    ("b", "p50_us", "(b) p50 latency", "ms", "lower", 2, 1e-3),
    ("b", "p99_us", "(b) p99 latency", "ms", "lower", 2, 1e-3),
    ("c", "bytes_per_s", "(c) {large} file, 8 conns", "MiB/s", "higher", 0, 1 / (1 << 20)),
    ("d", "rps", "(d) 100 KiB, 64 conns", "req/s", "higher", 0, 1),
    ("d", "p50_us", "(d) p50 latency", "ms", "lower", 2, 1e-3),
    ("d", "p99_us", "(d) p99 latency", "ms", "lower", 2, 1e-3),
    ("e", "rps", "(e) CGI hello.exe, 16 conns", "req/s", "higher", 0, 1),
    ("l", "rps", "(l) listing of 10,000 entries, 2 conns", "req/s", "higher", 1, 1),
    ("l", "p50_us", "(l) p50 latency", "ms", "lower", 1, 1e-3),
    ("m", "rps", "(m) listing of 100,000 entries, 2 conns", "req/s", "higher", 2, 1),
    ("m", "p50_us", "(m) p50 latency (a second at most)", "ms", "lower", 0, 1e-3),
    ("*", "others_pct", "CPU taken by other processes, worst of (a)-(e)", "%", "near 0", 1, 1),
    ("o", "mib_per_s", "(o) CGI stream.exe: {large} through a cat-like program, 1 conn", "MiB/s", "higher", 0, 1),
    ("o", "peak_kib", "(o) resident peak while it streams (program included)", "KiB", "lower", 0, 1),
    ("f", "rate", "(f) limit {rate} B/s: measured rate", "B/s", "—", 0, 1),
    ("f", "deviation_pct", "(f) rate vs setting", "%", "near 0", 2, 1),
    ("f", "worst_second_pct", "(f) worst second vs setting", "%", "near 0", 1, 1),
    ("g", "idle_kib", "(g) resident, idle", "KiB", "lower", 0, 1),
    ("g", "loaded_kib", "(g) resident, 64 idle conns open", "KiB", "lower", 0, 1),
    ("g", "per_conn_kib", "(g) resident per idle conn", "KiB", "lower", 1, 1),
    ("i", "rps", "(i) TLS: 1 KiB, 64 keep-alive conns", "req/s", "higher", 0, 1),
    ("i", "p99_us", "(i) TLS: p99 latency", "ms", "lower", 2, 1e-3),
    ("j", "rps", "(j) TLS: 1 KiB, new conn (full handshake) per request, 64 conns", "req/s", "higher", 0, 1),
    ("j", "p99_us", "(j) TLS: p99 latency", "ms", "lower", 2, 1e-3),
    ("k", "bytes_per_s", "(k) TLS: {large} file, 8 conns", "MiB/s", "higher", 0, 1 / (1 << 20)),
    ("h", "instructions_per_req", "(h) user-space instructions per keep-alive request (budget 12,000)",
     "instr.", "lower", 0, 1),
    ("h", "syscalls_per_req", "(h) system calls per keep-alive request (budget 5)", "calls", "lower", 1, 1),
    ("h", "syscalls_per_conn", "(h) system calls per new connection (budget 20)", "calls", "lower", 1, 1),
    ("n", "archive_bytes_per_s", "(n) {archive} folder as one ZIP download", "MiB/s", "higher", 0, 1 / (1 << 20)),
    ("n", "archive_cat_ratio", "(n) ZIP download / cat of the same files (aim 0.8 or more)", "ratio", "higher", 2, 1),
    ("h", "allocations_per_req", "(h) heap allocations per keep-alive request (aim 4)", "allocs", "lower", 1, 1),
    ("p", "upload_bytes_per_s", "(p) upload of {upload} by PUT, until stored", "MiB/s", "higher", 0, 1 / (1 << 20)),
    ("p", "dd_bytes_per_s", "(p) dd writing as much to the same disk", "MiB/s", "—", 0, 1 / (1 << 20)),
    ("p", "upload_vs_dd", "(p) upload ÷ dd (aim 0.8 or more)", "×", "—", 2, 1),
]


def _number(value, decimals):
    return f"{value:,.{decimals}f}"


def _cell(results, server, point, metric, decimals, scale):
    value = results.get((server, point, metric))
    if isinstance(value, float):
        text = _number(value * scale, decimals)
        if results.get((server, point, "flag")):
            text += " (!)"
        return text
    status = results.get((server, "*", "status")) or results.get((server, point, "status"))
    return status.split(":", 1)[0] if status else "—"


def render_table(results, ours, peers, points, labels):
    """Markdown table: a row per measurement, our figure, each peer's figure
    and our ratio to each peer (ours / peer, so above 1 is better where
    higher is better, and below 1 where lower is better).  Then notes: each
    flagged measurement and each server's status."""
    servers = [ours] + peers
    results = dict(results)
    for server in servers:
        shares = [v for (s, p, m), v in results.items() if s == server and m == "others_pct" and p != "*"]
        if shares:
            results[(server, "*", "others_pct")] = max(shares)
    head = ["measurement", "unit", "better"] + servers + [f"{ours}/{p}" for p in peers]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * 3 + "---:|" * (len(servers) + len(peers))]
    for point, metric, what, unit, better, decimals, scale in ROWS:
        if point not in points and not (point == "*" and any((s, "*", metric) in results for s in servers)):
            continue
        row = [what.format(**labels), unit, better]
        row += [_cell(results, s, point, metric, decimals, scale) for s in servers]
        mine = results.get((ours, point, metric))
        for peer in peers:
            theirs = results.get((peer, point, metric))
            if better in ("higher", "lower") and isinstance(mine, float) and isinstance(theirs, float) and theirs:
                row.append(f"{mine / theirs:.3g}")
            else:
                row.append("—")
        lines.append("| " + " | ".join(row) + " |")
    notes = []
    order = {s: i for i, s in enumerate(servers)}
    for (server, point, metric), value in sorted(results.items(), key=lambda kv: (order.get(kv[0][0], 99), kv[0])):
        if metric == "flag" and value:
            notes.append(f"- (!) {server} ({point}): {value}")
        elif metric == "status" and value:
            where = "" if point == "*" else f" ({point})"
            notes.append(f"- {server}{where}: {value}")
        elif metric.startswith("note") and value:
            notes.append(f"- {server}: {value}")
    return "\n".join(lines + ([""] + notes if notes else [])) + "\n"


def missing_figures(results, servers, points):
    """Measurements that should have produced a figure but did not: a server
    that failed to start or to answer, or a failed step, as opposed to a
    measurement skipped or not applicable."""
    def excused(status):
        return status is not None and status.startswith(("skipped", "n/a"))

    missing = []
    for server in servers:
        if excused(results.get((server, "*", "status"))):
            continue
        for point in points:
            if excused(results.get((server, point, "status"))):
                continue
            if not any(p == point and (server, p, m) in results for p, m, *_ in ROWS):
                missing.append(f"{server} ({point})")
    return missing


# ---------------------------------------------------------------------------
# Command line


def _wait_port(port, pid, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((HOST, port), timeout=1):
                return 0
        except OSError:
            pass
        if pid and not _alive(pid):
            print(f"process {pid} ended before it listened on port {port}", file=sys.stderr)
            return 1
        time.sleep(0.05)
    print(f"nothing listens on port {port} after {seconds} s", file=sys.stderr)
    return 1


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="latin-1") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _check(port, path, size, body):
    """One request; exits non-zero unless the answer is 200 with the expected body."""
    with socket.create_connection((HOST, port), timeout=5) as s:
        s.sendall(_request(path, close=True))
        status, got = _read_response(s, time.monotonic() + 30)
    if status != 200:
        return f"GET {path}: status {status}"
    if size is not None and len(got) != size:
        return f"GET {path}: {len(got)} bytes, expected {size}"
    if body is not None and got.strip() != body.encode():
        return f"GET {path}: body {got[:40]!r}, expected {body!r}"
    return ""


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="cmd", required=True)
    sub.add_parser("free-port")
    p = sub.add_parser("wait-port")
    p.add_argument("port", type=int)
    p.add_argument("--pid", type=int, default=0)
    p.add_argument("--seconds", type=float, default=15)
    p = sub.add_parser("check")
    p.add_argument("port", type=int)
    p.add_argument("path")
    p.add_argument("--size", type=int)
    p.add_argument("--body")
    p = sub.add_parser("wrk")
    p.add_argument("--out", required=True)
    p.add_argument("--server", required=True)
    p.add_argument("--point", required=True)
    p.add_argument("files", nargs="+")
    p = sub.add_parser("load")
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--out", required=True)
    p.add_argument("command", nargs=argparse.REMAINDER)
    p = sub.add_parser("throttle")
    p.add_argument("port", type=int)
    p.add_argument("path")
    p.add_argument("--seconds", type=int, required=True)
    p.add_argument("--rate", type=int, required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--server", required=True)
    p = sub.add_parser("memory")
    p.add_argument("pid", type=int)
    p.add_argument("port", type=int)
    p.add_argument("path")
    p.add_argument("--conns", type=int, default=64)
    p.add_argument("--out", required=True)
    p.add_argument("--server", required=True)
    p = sub.add_parser("stream")
    p.add_argument("pid", type=int)
    p.add_argument("port", type=int)
    p.add_argument("path")
    p.add_argument("--size", type=int, required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--server", required=True)
    p = sub.add_parser("budget")
    p.add_argument("what", choices=["syscalls", "instructions", "allocations"])
    p.add_argument("pid", type=int)
    p.add_argument("port", type=int)
    p.add_argument("path")
    p.add_argument("--requests", type=int, required=True)
    p.add_argument("--close", action="store_true", help="a new connection per request")
    p.add_argument("--work", required=True, help="strace output file, callgrind dump folder or counter file")
    p.add_argument("--out", required=True)
    p.add_argument("--server", required=True)
    p = sub.add_parser("upload")
    p.add_argument("port", type=int)
    p.add_argument("path")
    p.add_argument("--mib", type=int, required=True)
    p.add_argument("--folder", required=True, help="the folder the server stores the upload in")
    p.add_argument("--out", required=True)
    p.add_argument("--server", required=True)
    p = sub.add_parser("report")
    p.add_argument("results")
    p.add_argument("--ours", required=True)
    p.add_argument("--peers", required=True)
    p.add_argument("--points", required=True)
    p.add_argument("--large", required=True)
    p.add_argument("--rate", required=True)
    p.add_argument("--archive", default="1 GiB")
    p.add_argument("--upload", default="")
    p = sub.add_parser("archive")
    p.add_argument("port", type=int)
    p.add_argument("path")
    p.add_argument("--folder", required=True)
    p.add_argument("--reps", type=int, default=1)
    p.add_argument("--out", required=True)
    p.add_argument("--server", required=True)
    args = parser.parse_args(argv)

    if args.cmd == "free-port":
        with socket.socket() as s:
            s.bind((HOST, 0))
            print(s.getsockname()[1])
        return 0
    if args.cmd == "wait-port":
        return _wait_port(args.port, args.pid, args.seconds)
    if args.cmd == "check":
        try:
            problem = _check(args.port, args.path, args.size, args.body)
        except (OSError, ValueError) as e:
            problem = f"GET {args.path}: {e}"
        if problem:
            print(problem)
            return 1
        return 0
    if args.cmd == "wrk":
        runs = []
        for name in args.files:
            with open(name, encoding="utf-8", errors="replace") as f:
                text = f.read()
            try:
                runs.append(parse_wrk(text))
            except WrkParseError as e:
                append_results(args.out, args.server, args.point, {"status": f"failed: wrk output unreadable ({e})"})
                print(f"{name}: {e}", file=sys.stderr)
                return 1
        figures, flag = summarize_runs(runs)
        print(f"{figures.get('rps', 0):,.0f} req/s, {figures.get('bytes_per_s', 0) / (1 << 20):,.1f} MiB/s, "
              f"p50 {figures.get('p50_us', 0) / 1e3:.2f} ms, p99 {figures.get('p99_us', 0) / 1e3:.2f} ms, "
              f"other processes {figures.get('others_pct', 0):.0f}% of the CPU"
              + (f"; errors: {flag}" if flag else ""))
        if flag:
            figures["flag"] = flag
        append_results(args.out, args.server, args.point, figures)
        return 0
    if args.cmd == "load":
        command = args.command[1:] if args.command[:1] == ["--"] else args.command
        return run_load(command, args.out, args.pid)
    if args.cmd == "throttle":
        try:
            figures = measure_rate(args.port, args.path, args.seconds, args.rate)
        except (OSError, ValueError) as e:
            figures = {"status": f"failed: {e}"}
        append_results(args.out, args.server, "f", figures)
        return 1 if "status" in figures else 0
    if args.cmd == "memory":
        try:
            figures, flag = measure_memory(args.pid, args.port, args.path, args.conns)
            if flag:
                figures["flag"] = flag
        except (OSError, ValueError) as e:
            figures = {"status": f"failed: {e}"}
        append_results(args.out, args.server, "g", figures)
        return 1 if "status" in figures else 0
    if args.cmd == "stream":
        try:
            figures, flag = measure_stream(args.pid, args.port, args.path, args.size)
            print(f"{figures['mib_per_s']:,.0f} MiB/s, resident {figures['idle_kib']:,} KiB idle, "
                  f"{figures['peak_kib']:,} KiB at most" + (f"; {flag}" if flag else ""))
            if flag:
                figures["flag"] = flag
        except (OSError, ValueError) as e:
            figures = {"status": f"failed: {e}"}
        append_results(args.out, args.server, "o", figures)
        return 1 if "status" in figures else 0
    if args.cmd == "budget":
        client = SequentialClient(args.port, args.path, args.close)
        kind = "conn" if args.close else "req"
        figures = {}
        try:
            if args.what == "syscalls":
                per, top = count_syscalls(args.pid, client, args.requests, args.work)
                figures[f"syscalls_per_{kind}"] = per
                figures[f"note_syscalls_{kind}"] = f"system calls per {BUDGET_UNITS[kind]}: {top}"
            elif args.what == "instructions":
                figures[f"instructions_per_{kind}"] = count_instructions(args.pid, client, args.requests, args.work)
            else:
                figures[f"allocations_per_{kind}"] = count_allocations(args.work, client, args.requests)
        except (OSError, ValueError, subprocess.SubprocessError) as e:
            figures = {"note_budget_" + args.what: f"{args.what} not measured: {e}"}
        print(" ".join(f"{k} {v:,.1f}" for k, v in figures.items() if isinstance(v, float)) or
              next(iter(figures.values())))
        append_results(args.out, args.server, "h", figures)
        return 0 if any(isinstance(v, float) for v in figures.values()) else 1
    if args.cmd == "archive":
        try:
            figures = measure_archive(args.port, args.path, args.folder, args.reps)
            print(f"{figures['archive_bytes_per_s'] / (1 << 20):,.0f} MiB/s, "
                  f"{figures['archive_cat_ratio']:.2f} of cat; {figures['note_archive']}")
        except (OSError, ValueError, subprocess.SubprocessError) as e:
            figures = {"status": f"failed: {e}"}
            print(figures["status"])
        append_results(args.out, args.server, "n", figures)
        return 1 if "status" in figures else 0
    if args.cmd == "upload":
        try:
            figures = measure_upload(args.port, args.path, args.mib, args.folder)
            print(f"upload {figures['upload_bytes_per_s'] / (1 << 20):,.0f} MiB/s, "
                  f"dd {figures['dd_bytes_per_s'] / (1 << 20):,.0f} MiB/s, ratio {figures['upload_vs_dd']:.2f}")
        except (OSError, ValueError, subprocess.SubprocessError) as e:
            figures = {"status": f"failed: {e}"}
            print(figures["status"])
        append_results(args.out, args.server, "p", figures)
        return 1 if "status" in figures else 0
    if args.cmd == "report":
        results = read_results(args.results)
        peers = args.peers.split()
        points = args.points.split()
        sys.stdout.write(render_table(results, args.ours, peers, points, {"large": args.large, "rate": args.rate,
                                                                     "archive": args.archive, "upload": args.upload}))
        missing = missing_figures(results, [args.ours] + peers, points)
        if missing:
            print("\nNo figure for: " + ", ".join(missing))
            return 1
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
