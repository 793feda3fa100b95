#!/usr/bin/env python3
"""Announcement calls through the IVR: SIPp calls `voipcall --vxml <welcome document>`; with
--party tone, SIPp calls `voipcall` answering with its tone party, which hangs up after 4 s (the
telephony library alone: SIP, RTP pacing, notifications).

Prints the set-up rate reached with no failed call, INVITE->200 latency, the media's sender pacing
(lateness of the 20 ms ticks), and CPU and memory per call at the given numbers of calls held.

At each number of calls held it also prints the pacing second by second while the calls are held
(ticks per thread, lateness p50/p99), the figures the 2 ms p99 target is read from.

usage: ivr_bench.py [BUILD_DIR] [--party welcome|tone] [--rates 25,50,100,200,400] [--held 500,1000,2000]
"""
import argparse
import glob
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "tests"))
from loopback import free_port  # noqa: E402
from sipp_stats import sipp_results  # noqa: E402

CALL_SECONDS = 4.5  # the welcome announcement and its 3 s pause


def proc_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Ivr:
    """voipcall answering with the welcome document, its --stats lines collected."""

    def __init__(self, build, work, party="welcome"):
        if party == "welcome":
            document = subprocess.run([os.path.join(build, "bin", "ivr_bench"), "--welcome"],
                                      check=True, capture_output=True, text=True).stdout
            path = os.path.join(work, "welcome.vxml")
            with open(path, "w") as f:
                f.write(document)
            answer = ["--vxml", path]
        else:
            answer = ["--tone", "440", "--hangup-after", "4"]
        self.port = free_port()
        self.proc = subprocess.Popen(
            [os.path.join(build, "bin", "voipcall"), "--listen", f"127.0.0.1:{self.port}",
             *answer, "--stats", "--media-timeout", "120"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, cwd=work)
        self.lines = []
        self.lock = threading.Lock()
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        if not self.ready.wait(10):
            raise SystemExit("voipcall did not start listening")

    def _read(self):
        for line in self.proc.stdout:
            if line.startswith("listening"):
                self.ready.set()
            if line.startswith(("pacing", "calls")):
                with self.lock:
                    self.lines.append((time.monotonic(), line.strip()))

    def stats_since(self, since):
        with self.lock:
            return [line for t, line in self.lines if t >= since]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def run_sipp(ivr, work, rate, calls, limit):
    """One SIPp run; returns (successful, failed, INVITE->200 latencies in ms)."""
    for old in glob.glob(os.path.join(work, "*_rtt.csv")) + glob.glob(os.path.join(work, "*_.csv")):
        os.remove(old)
    args = ["sipp", f"127.0.0.1:{ivr.port}", "-sf", os.path.join(HERE, "sipp", "ivr_bench_caller.xml"),
            "-i", "127.0.0.1", "-p", str(free_port()), "-mp", str(free_port(count=4, even=True)),
            "-r", str(rate), "-m", str(calls), "-l", str(limit), "-nostdin",
            "-trace_rtt", "-rtt_freq", "1", "-trace_stat", "-fd", "1",
            "-timeout", str(int(calls / rate + CALL_SECONDS + 60)) + "s", "-timeout_error"]
    out = subprocess.run(args, cwd=work, capture_output=True, text=True)
    ok, failed, latencies = sipp_results(work)
    if out.returncode not in (0, 1):
        print(f"  sipp exit {out.returncode}: {out.stdout[-400:]}", file=sys.stderr)
    return ok, failed, latencies


def pacing_seconds(lines, at_least):
    """(calls, ticks per thread, p50 us, p99 us) of each second with at least that many calls held."""
    seconds = []
    pacing = None
    for line in lines:
        if line.startswith("pacing "):
            fields = dict(f.split("=", 1) for f in line.split()[1:])
            pacing = (int(fields.get("threads", 1)), int(fields["ticks"]), int(fields["late_p50_us"]),
                      int(fields["late_p99_us"]))
        elif line.startswith("calls ") and pacing:
            calls = int(line.split()[1])
            if calls >= at_least:
                threads, ticks, p50, p99 = pacing
                seconds.append((calls, ticks / threads, p50, p99))
            pacing = None
    return seconds


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--rates", default="25,50,100,200,400")
    parser.add_argument("--held", default="500,1000,2000")
    parser.add_argument("--party", choices=["welcome", "tone"], default="welcome")
    opts = parser.parse_args()
    build = os.path.abspath(opts.build)
    global CALL_SECONDS
    if opts.party == "tone":
        CALL_SECONDS = 4.0

    with tempfile.TemporaryDirectory(prefix="ivr-bench-") as work:
        ivr = Ivr(build, work, opts.party)
        try:
            print(f"set-up rate (calls answered by the {opts.party} party, 5 s of calls each):")
            best = 0
            for rate in [int(r) for r in opts.rates.split(",")]:
                ok, failed, lat = run_sipp(ivr, work, rate, rate * 5, rate * 10)
                print(f"  {rate:4d}/s: {ok} ok, {failed} failed; INVITE->200 ms median "
                      f"{percentile(lat, 0.5):.0f} p99 {percentile(lat, 0.99):.0f}")
                if failed == 0 and ok == rate * 5:
                    best = rate
                else:
                    break
            print(f"  highest rate without a failed call: {best}/s")

            for held in [int(h) for h in opts.held.split(",")]:
                # A fresh process, so memory the ramp left behind does not hide what calls take.
                ivr.stop()
                ivr = Ivr(build, work, opts.party)
                base_rss = proc_rss_kib(ivr.proc.pid)
                cpu0, t0 = proc_cpu_seconds(ivr.proc.pid), time.monotonic()
                peak = {"rss": base_rss}
                done = threading.Event()

                def sample():
                    while not done.wait(0.5):
                        peak["rss"] = max(peak["rss"], proc_rss_kib(ivr.proc.pid))

                sampler = threading.Thread(target=sample)
                sampler.start()
                rate = max(1, int(held / CALL_SECONDS) + 1)
                # Four rounds of calls: about 13 s with the calls held, read second by second.
                ok, failed, lat = run_sipp(ivr, work, rate, held * 4, held)
                done.set()
                sampler.join()
                cpu, wall = proc_cpu_seconds(ivr.proc.pid) - cpu0, time.monotonic() - t0
                lines = ivr.stats_since(t0)
                held_counts = [int(l.split()[1]) for l in lines if l.startswith("calls ")]
                p50 = [int(m.group(1)) for l in lines if (m := re.search(r"late_p50_us=(\d+)", l))]
                p99 = [int(m.group(1)) for l in lines if (m := re.search(r"late_p99_us=(\d+)", l))]
                peak_held = max(held_counts, default=0)
                # CPU per call: the time the run took over the call-seconds it carried.
                call_seconds = ok * CALL_SECONDS
                print(f"{held} calls held (peak {peak_held}): {ok} ok, {failed} failed")
                print(f"  INVITE->200 ms (1 ms steps) median {percentile(lat, 0.5):.0f} p99 {percentile(lat, 0.99):.0f}")
                print(f"  sender tick lateness us: p50 {statistics.median(p50) if p50 else float('nan'):.0f}, "
                      f"p99 (worst second) {max(p99, default=0)}")
                plateau = pacing_seconds(lines, 0.9 * held)
                if plateau:
                    p99s = [p for _, _, _, p in plateau]
                    print(f"  {len(plateau)} s with at least {int(0.9 * held)} calls held, per second: ticks per "
                          f"thread {min(t for _, t, _, _ in plateau):.0f}-{max(t for _, t, _, _ in plateau):.0f}, "
                          f"lateness p50 {statistics.median(p for _, _, p, _ in plateau):.0f} us, p99 median "
                          f"{statistics.median(p99s):.0f} us, worst {max(p99s)} us")
                    print("  p99 us per second: " + " ".join(str(p) for p in p99s))
                print(f"  CPU {100 * cpu / wall:.1f} % of one core; {1000 * cpu / max(call_seconds, 1):.2f} ms "
                      f"per call-second")
                print(f"  memory {(peak['rss'] - base_rss) / max(peak_held, 1):.1f} KiB per call held "
                      f"(RSS {base_rss} -> {peak['rss']} KiB)")
        finally:
            ivr.stop()


if __name__ == "__main__":
    main()
