"""Tests of the harness's helpers on captured wrk output and made-up /proc
trees: the parts whose faults would silently put wrong figures in the table."""

import os
import tempfile
import unittest

import benchtool as bt

HERE = os.path.dirname(os.path.abspath(__file__))


def sample(name):
    with open(os.path.join(HERE, "testdata", name), encoding="utf-8") as f:
        return f.read()


class ParseWrk(unittest.TestCase):
    def test_figures_and_units(self):
        r = bt.parse_wrk(sample("wrk-keepalive.txt"))
        self.assertEqual(r["rps"], 106626.02)
        self.assertEqual(r["p50_us"], 533.0)  # "533.00us"
        self.assertEqual(r["p99_us"], 2300.0)  # "2.30ms"
        self.assertAlmostEqual(r["bytes_per_s"], 127.62 * 2**20)
        self.assertEqual(r["requests"], 213977)
        self.assertEqual((r["connect"], r["read"], r["write"], r["timeout"], r["non2xx"]), (0, 0, 0, 0, 0))
        large = bt.parse_wrk(sample("wrk-large.txt"))
        self.assertAlmostEqual(large["bytes_per_s"], 2.55 * 2**30)
        self.assertEqual(large["p99_us"], 65060.0)
        self.assertAlmostEqual(large["seconds"], 2.08)

    def test_errors_are_counted(self):
        r = bt.parse_wrk(sample("wrk-non2xx.txt"))
        self.assertEqual(r["non2xx"], 118408)
        r = bt.parse_wrk(sample("wrk-errors.txt"))
        self.assertEqual((r["connect"], r["read"], r["write"], r["timeout"]), (0, 17743, 0, 0))

    def test_seconds_and_missing_distribution(self):
        text = (
            "  1 threads and 1 connections\n"
            "  3 requests in 1.00m, 12.00B read\n"
            "  Socket errors: connect 0, read 0, write 0, timeout 2\n"
            "Requests/sec:      0.05\nTransfer/sec:       0.20B\n"
        )
        r = bt.parse_wrk(text)
        self.assertEqual(r["seconds"], 60.0)
        self.assertEqual(r["timeout"], 2)
        self.assertNotIn("p99_us", r)
        with_dist = text + "  Latency Distribution\n     50%    1.50s \n     99%    2.00m\n"
        r = bt.parse_wrk(with_dist + bt.OTHERS_LINE + "12.5%\n")
        self.assertEqual((r["p50_us"], r["p99_us"]), (1.5e6, 120e6))
        self.assertEqual(r["others_pct"], 12.5)

    def test_cut_or_foreign_output_is_refused(self):
        for text in ("", "unable to connect to 127.0.0.1:1 Connection refused\n",
                     sample("wrk-keepalive.txt").split("Transfer/sec")[0],
                     "Requests/sec: 12.0\nTransfer/sec: 3.0XB\n"):
            with self.assertRaises(bt.WrkParseError, msg=text[-40:]):
                bt.parse_wrk(text)


class Summaries(unittest.TestCase):
    def run_(self, rps, p99, read=0, non2xx=0):
        return {"rps": rps, "bytes_per_s": rps * 10, "p50_us": 1.0, "p99_us": p99,
                "connect": 0, "read": read, "write": 0, "timeout": 0, "non2xx": non2xx}

    def test_medians_and_summed_errors(self):
        figures, flag = bt.summarize_runs([self.run_(300, 9), self.run_(100, 1, read=2), self.run_(200, 5, non2xx=1)])
        self.assertEqual((figures["rps"], figures["p99_us"], figures["bytes_per_s"]), (200, 5, 2000))
        self.assertEqual(flag, "3 run(s): read 2, non2xx 1")
        _, flag = bt.summarize_runs([self.run_(1, 1)])
        self.assertEqual(flag, "")

    def test_latency_is_left_out_when_a_run_lacks_it(self):
        partial = self.run_(100, 1)
        del partial["p99_us"]
        figures, _ = bt.summarize_runs([self.run_(300, 9), partial])
        self.assertNotIn("p99_us", figures)
        self.assertEqual(figures["rps"], 200)

    def test_rate_figures(self):
        f = bt.rate_figures([102400] * 10, 102400)
        self.assertEqual((f["rate"], f["deviation_pct"], f["worst_second_pct"]), (102400, 0, 0))
        f = bt.rate_figures([204800, 0, 102400, 92160], 102400)
        self.assertAlmostEqual(f["deviation_pct"], -2.5)
        self.assertEqual(f["worst_second_pct"], 100)
        with self.assertRaises(ValueError):
            bt.rate_figures([], 102400)


class Processes(unittest.TestCase):
    def test_tree_resident_sum_and_cpu_time(self):
        with tempfile.TemporaryDirectory() as proc:
            def fake(pid, ppid, comm, rss):
                os.mkdir(os.path.join(proc, str(pid)))
                with open(os.path.join(proc, str(pid), "stat"), "w") as f:
                    # utime stime cutime cstime = 1 2 3 4 ticks
                    f.write(f"{pid} ({comm}) S {ppid} {pid} {pid} 0 -1 0 10 0 0 0 1 2 3 4 20 0\n")
                with open(os.path.join(proc, str(pid), "status"), "w") as f:
                    f.write(f"Name:\t{comm}\nVmRSS:\t   {rss} kB\n" if rss else f"Name:\t{comm}\n")
            fake(10, 1, "nginx", 2000)
            fake(11, 10, "nginx: worker ) 1", 3000)  # a name with ") " must not shift the fields
            fake(12, 11, "hello.exe", 500)
            fake(13, 1, "other", 7000)
            fake(14, 10, "zombie", 0)  # no VmRSS line
            os.mkdir(os.path.join(proc, "self"))
            tree = bt.process_tree(10, proc)
            self.assertEqual(sorted(tree), [10, 11, 12, 14])
            self.assertEqual(bt.rss_kib(tree + [99], proc), 5500)
            self.assertEqual(bt.tree_cpu_ticks(tree + [99], proc), 40)

    def test_share_of_other_processes(self):
        second = bt._HZ  # ticks in a second
        # 2 CPUs busy for a whole second, half of it ours: the others took half.
        self.assertEqual(bt.others_pct(2 * second, second // 2, second // 2, 1.0, 2), 50.0)
        # Rounding of the tick counts must not give a negative share.
        self.assertEqual(bt.others_pct(second, second, 1, 1.0, 2), 0.0)


class Table(unittest.TestCase):
    def test_ratios_flags_and_statuses(self):
        path = os.path.join(tempfile.mkdtemp(), "r.tsv")
        bt.append_results(path, "ours", "*", {"status": "skipped: veltrana-webserver not built yet"})
        bt.append_results(path, "p1", "a", {"rps": 1000.0, "p50_us": 500.0, "flag": "1 run(s): read 3"})
        bt.append_results(path, "p1", "e", {"status": "n/a: no CGI"})
        bt.append_results(path, "p2", "a", {"rps": 2000.0})
        results = bt.read_results(path)
        table = bt.render_table(results, "ours", ["p1", "p2"], ["a", "e"], {"large": "1 MiB", "rate": "1"})
        row = next(line for line in table.splitlines() if line.startswith("| (a) 1 KiB"))
        self.assertEqual(row.split(" | ")[3:], ["skipped", "1,000 (!)", "2,000", "—", "— |"])
        self.assertIn("| n/a |", table)
        self.assertIn("- (!) p1 (a): 1 run(s): read 3", table)
        self.assertEqual(bt.missing_figures(results, ["ours", "p1", "p2"], ["a", "e"]), ["p2 (e)"])
        failed = dict(results)
        failed[("p3", "*", "status")] = "failed: did not start"
        self.assertEqual(bt.missing_figures(failed, ["ours", "p3"], ["a", "e"]), ["p3 (a)", "p3 (e)"])

        del results[("ours", "*", "status")]
        results[("ours", "a", "rps")] = 1500.0
        results[("ours", "a", "p50_us")] = 250.0
        table = bt.render_table(results, "ours", ["p1", "p2"], ["a", "e"], {"large": "1 MiB", "rate": "1"})
        rows = [line.split(" | ") for line in table.splitlines() if line.startswith("| (a)")]
        self.assertEqual(rows[0][-2:], ["1.5", "0.75 |"])  # ours / peer
        self.assertEqual(rows[1][-2:], ["0.5", "— |"])


class Budgets(unittest.TestCase):
    STRACE = """% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 50.96    0.155861          44      3494           futex
  2.80    0.008571           8      1000       500 accept4
  0.00    0.000002           2         1           gettid
------ ----------- ----------- --------- --------- ----------------
100.00    0.305858          17      4495       500 total
"""

    def test_strace_summary(self):
        calls, total = bt.parse_strace_summary(self.STRACE)
        self.assertEqual(calls, {"futex": 3494, "accept4": 1000, "gettid": 1})  # errors column not taken for calls
        self.assertEqual(total, 4495)
        with self.assertRaises(ValueError):
            bt.parse_strace_summary(self.STRACE.rsplit("------", 1)[0])  # cut before its total

    def test_callgrind_dump(self):
        head = "# callgrind format\nevents: Ir\n"
        self.assertEqual(bt.parse_callgrind_totals(head + "summary: 4152573\n\nfn=(1) x\n1 5\ntotals: 4157924\n"),
                         4152573)
        self.assertEqual(bt.parse_callgrind_totals(head + "fn=(1) x\n1 5\ntotals: 12\n"), 12)
        with self.assertRaises(ValueError):
            bt.parse_callgrind_totals(head)  # not written yet

    def test_counter_file(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "counter")
            with open(path, "wb") as f:
                f.write((77).to_bytes(8, "little") + bytes(4088))
            self.assertEqual(bt.read_counter(path), 77)


if __name__ == "__main__":
    unittest.main()
