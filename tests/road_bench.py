#!/usr/bin/env python3
"""The whole road under load: SIPp subscribers call the service's lines through pbx-exchange, with
100,000 subscribers in the database; callbacks go out through the exchange to a SIPp trunk that
answers and keys nothing (each callback then ends after its PIN prompt times out).

Prints, per call rate, the incoming calls answered, announced, logged and queued with no failure,
INVITE->200 p50/p99 (through the exchange), the answer->welcome start p50/p99 (as the service logs
the document's start after its pause; its first packet follows within a 20 ms frame), and the
service's most threads and resident memory during the rate; then the callbacks placed in a minute
with every line in use, and the queue timer's tick intervals (7 s when nothing holds it up) with
their worst lateness.

    tests/road_bench.py [build] [--rates 5,10,20,40] [--lines 4] [--callbacks-per-tick N]
                        [--callback-seconds 60] [--accounting] [--keep]

--accounting runs the road twice in one run, with [CallBack] PersistQueue and LogOutgoing off and
then on, and prints the figures of both side by side: INVITE->200 and the welcome's start (waiting
for the callback logic included, which the queue's writes must not hold up) per rate, and the
callbacks of the minute.
"""
import argparse
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime

from loopback import free_port
from sipp_stats import sipp_results

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SECONDS_PER_RATE = 5
CALLERS = 1000
SUBSCRIBERS = 100000


def wait_for(path, pattern, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                if re.search(pattern, f.read(), re.M):
                    return True
        time.sleep(0.1)
    return False


def count(path, text):
    with open(path, errors="replace") as f:
        return f.read().count(text)


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def print_ticks(what, log, from_line):
    """Intervals between the queue timer's ticks (logged while the queue holds numbers)."""
    stamps = []
    for line in open(log, errors="replace").read().splitlines()[from_line:]:
        if "CallBackLogic::CheckCallBackQueue" in line:
            m = re.search(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})", line)
            if m:
                stamps.append(datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f"))
    gaps = [(b - a).total_seconds() for a, b in zip(stamps, stamps[1:]) if (b - a).total_seconds() > 0.5]
    if gaps:
        print(f"{what}: {len(stamps)} ticks, interval p50 {percentile(gaps, 0.5):.2f} s, "
              f"max {max(gaps):.2f} s, at most {max(0.0, max(gaps) - 7.0) * 1000:.0f} ms late")


class ProcessSampler:
    """The most threads and resident memory of a process, sampled every 0.2 s while running."""

    def __init__(self, pid):
        self.pid, self.threads, self.rss_kb = pid, 0, 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.wait(0.2):
            try:
                with open(f"/proc/{self.pid}/status") as f:
                    for line in f:
                        key, _, value = line.partition(":")
                        if key == "Threads":
                            self.threads = max(self.threads, int(value))
                        elif key == "VmRSS":
                            self.rss_kb = max(self.rss_kb, int(value.split()[0]))
            except OSError:
                return

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.threads, self.rss_kb


def welcome_starts(log, from_line):
    """Answer->document start in ms, for the documents started after line from_line (the welcome, the
    other announcements and the callbacks' prompts alike: under the incoming load nearly all are
    welcomes)."""
    lines = open(log, errors="replace").read().splitlines()[from_line:]
    return [int(m.group(1)) for m in (re.search(r"document started (\d+) ms after the answer", l) for l in lines) if m]


def run(opts, callback_extra=""):
    """One pass of the whole road; returns its figures: per rate (ok, INVITE->200 p50, p99, welcome
    start p50, p99) and the callbacks placed and answered in the minute."""
    figures = {"rates": {}, "callbacks": (0, 0)}
    bin_dir = os.path.join(os.path.abspath(opts.build), "bin")
    work = tempfile.mkdtemp(prefix="selvane-roadbench-")
    procs = []

    def stop_all():
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
        subprocess.run([os.path.join(HERE, "fbserver.sh"), "stop", os.path.join(work, "fb")],
                       capture_output=True)
        if opts.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)

    try:
        # Database: its own server, 100,000 subscribers (caller IDs 1000001 and on).
        subprocess.run([os.path.join(HERE, "fbserver.sh"), "start", os.path.join(work, "fb")],
                       check=True, capture_output=True)
        env = {}
        with open(os.path.join(work, "fb", "env")) as f:
            for line in f:
                k, _, v = line.replace("export ", "").strip().partition("=")
                env[k] = v
        t0 = time.time()
        subprocess.run([os.path.join(bin_dir, "road-db"), env["SELV_FB_PORT"], env["SELV_FB_USER"],
                        env["SELV_FB_PASSWORD"], str(SUBSCRIBERS)], check=True)
        print(f"{SUBSCRIBERS} subscribers in {time.time() - t0:.1f} s")

        # The trunk: answers every callback (outside numbers nobody registered go there).
        trunk_port = free_port()
        trunk = subprocess.Popen(["sipp", "-sf", os.path.join(ROOT, "tests", "support", "sipp", "sip_uas_answer.xml"),
                                  "-i", "127.0.0.1", "-p", str(trunk_port), "-mp", str(free_port(count=4, even=True)),
                                  "-nostdin", "-trace_stat", "-fd", "1"],
                                 cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(trunk)

        sip_port, control_port = free_port(), free_port(socket.SOCK_STREAM)
        lines = [str(201 + i) for i in range(opts.lines)]
        with open(os.path.join(work, "pbx-exchange.ini"), "w") as f:
            f.write(f"[exchange]\nsip = 127.0.0.1:{sip_port}\ncontrol = 127.0.0.1:{control_port}\n"
                    f"username = selvane\npassword = selvane\ntrunk = 127.0.0.1:{trunk_port}\n"
                    "rtp_ports = 20000-60000\n[extensions]\n")
            for line in lines:
                f.write(f"{line} = line {line} 3\n")
            for i in range(CALLERS):
                f.write(f"{1000001 + i} = phone {1000001 + i} 0\n")
        exchange_out = os.path.join(work, "exchange.out")
        procs.append(subprocess.Popen([os.path.join(bin_dir, "pbx-exchange"), "--config",
                                       os.path.join(work, "pbx-exchange.ini"), "--log-level", "6"],
                                      stdout=open(exchange_out, "w"), stderr=subprocess.STDOUT))
        if not wait_for(exchange_out, r"^pbx-exchange sip", 20):
            sys.exit("pbx-exchange did not start")

        os.makedirs(os.path.join(work, "bin"))
        os.makedirs(os.path.join(work, "xdg", "Brint"))
        shutil.copy(os.path.join(bin_dir, "Selvane"), os.path.join(work, "bin"))
        os.symlink(os.path.join(bin_dir, "ogm"), os.path.join(work, "bin", "ogm"))
        regs = "".join(f"sip_registrations\\{i + 1}\\login={l}\nsip_registrations\\{i + 1}\\password={l}\n"
                       f"sip_registrations\\{i + 1}\\server=127.0.0.1:{sip_port}\n" for i, l in enumerate(lines))
        with open(os.path.join(work, "xdg", "Brint", "Selvane.ini"), "w") as f:
            f.write(f"[Database]\nDriverName=QIBASE\nHostName=127.0.0.1\nDatabasePort={env['SELV_FB_PORT']}\n"
                    f"UserName={env['SELV_FB_USER']}\nPassword={env['SELV_FB_PASSWORD']}\n"
                    f"[Norvel]\nServer=127.0.0.1:{control_port}\nUsername=selvane\nPassword=selvane\n"
                    f"[SIP]\nLocalAddress=127.0.0.1\nListenAddress=127.0.0.1:{free_port()}\n"
                    f"sip_registrations\\size={len(lines)}\n{regs}"
                    "[CallBack]\nMaxNumbersInQueue=100000\nMaxCallBackTries=1\nEnterPinTimer=2\n"
                    f"EnterPinMaxTries=1\nEnterNumberTimer=5\n{callback_extra}" +
                    (f"CallBacksPerTick={opts.callbacks_per_tick}\n" if opts.callbacks_per_tick is not None else "") +
                    "[Other]\nLoggingLevel=7\n")
        log = os.path.join(work, "bin", "log.txt")
        service = subprocess.Popen([os.path.join(work, "bin", "Selvane"), "-e"], cwd=work,
                                   env=dict(os.environ, XDG_CONFIG_DIRS=os.path.join(work, "xdg")),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        procs.append(service)
        if not wait_for(log, r"Service started", 30):
            sys.exit("Selvane did not start")
        if not all(wait_for(exchange_out, f"registered {l} at", 20) for l in lines):
            sys.exit("the service's lines did not register")

        with open(os.path.join(work, "callers.csv"), "w") as f:
            # The second field answers the exchange's challenge to every call (bench_caller.xml).
            f.write("SEQUENTIAL\n" + "".join(f"{n};[authentication username={n} password={n}]\n"
                                              for n in range(1000001, 1000001 + CALLERS)))
        print(f"\nincoming calls through the exchange ({opts.lines} lines, {CALLERS} callers among "
              f"{SUBSCRIBERS} subscribers)")
        idle = ProcessSampler(service.pid)
        time.sleep(1)
        idle_threads, idle_rss = idle.stop()
        print(f"service at rest: {idle_threads} threads, {idle_rss // 1024} MiB resident")
        print("rate/s  calls  ok  failed  logged  queued  INVITE->200 p50 ms  p99 ms  welcome p50 ms  p99 ms"
              "  threads  MiB")
        best = 0
        for rate in [int(r) for r in opts.rates.split(",")]:
            for old in glob.glob(os.path.join(work, "bench_caller*")):
                os.remove(old)
            calls = rate * SECONDS_PER_RATE
            lines0 = len(open(log, errors="replace").read().splitlines())
            logged0 = count(log, "going to save incoming call to DB")
            queued0 = count(log, "CallBackQueue put call in queue")
            sampler = ProcessSampler(service.pid)
            sipp = subprocess.run(["sipp", f"127.0.0.1:{sip_port}", "-sf", os.path.join(HERE, "road", "sipp", "bench_caller.xml"),
                            "-inf", os.path.join(work, "callers.csv"), "-s", lines[0],
                            "-i", "127.0.0.1", "-p", str(free_port()), "-mp", str(free_port(count=4, even=True)),
                            "-r", str(rate), "-m", str(calls), "-l", str(rate * 60), "-nostdin",
                            "-trace_rtt", "-rtt_freq", "1", "-trace_stat", "-fd", "1",
                            "-timeout", str(SECONDS_PER_RATE + 120) + "s", "-timeout_error"],
                           cwd=work, capture_output=True)
            threads, rss_kb = sampler.stop()
            ok, failed, latencies = sipp_results(work)
            if sipp.returncode == 0:  # every call succeeded, whatever the last statistics row says
                ok, failed = calls, 0
            logged = count(log, "going to save incoming call to DB") - logged0
            queued = count(log, "CallBackQueue put call in queue") - queued0
            welcome = welcome_starts(log, lines0)
            print(f"{rate:6d}  {calls:5d}  {ok:4d}  {failed:6d}  {logged:6d}  {queued:6d}  "
                  f"{percentile(latencies, 0.5):18.1f}  {percentile(latencies, 0.99):6.1f}  "
                  f"{percentile(welcome, 0.5):14.0f}  {percentile(welcome, 0.99):6.0f}  {threads:7d}  {rss_kb // 1024:3d}",
                  flush=True)
            figures["rates"][rate] = (ok, percentile(latencies, 0.5), percentile(latencies, 0.99),
                                      percentile(welcome, 0.5), percentile(welcome, 0.99))
            if failed or ok < calls:
                break
            best = rate
        print(f"highest rate without a failed call: {best}/s")

        print_ticks("queue timer during the incoming load", log, 0)

        # Callbacks: the queue is full of numbers now; count those placed in the time given.
        start = count(log, "MakeCallFromIVR Making call to")
        answered = count(log, "Callback succeffull to number")
        ticks_from = len(open(log, errors="replace").read().splitlines())
        time.sleep(opts.callback_seconds)
        done = count(log, "MakeCallFromIVR Making call to") - start
        answered = count(log, 'Callback succeffull to number') - answered
        per_tick = "1 (default)" if opts.callbacks_per_tick is None else str(opts.callbacks_per_tick)
        print(f"\ncallbacks in {opts.callback_seconds} s with {opts.lines} lines, CallBacksPerTick {per_tick}: "
              f"{done} placed ({done * 60 / opts.callback_seconds:.0f} a minute), {answered} answered")
        figures["callbacks"] = (done, answered)
        print_ticks("queue timer while calling back", log, ticks_from)
    finally:
        stop_all()
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--rates", default="5,10,20,40")
    parser.add_argument("--lines", type=int, default=4)
    parser.add_argument("--callbacks-per-tick", type=int, default=None,
                        help="[CallBack] CallBacksPerTick (missing: one number a tick)")
    parser.add_argument("--callback-seconds", type=int, default=60)
    parser.add_argument("--keep", action="store_true", help="keep the run's folder (every program's log)")
    parser.add_argument("--accounting", action="store_true",
                        help="two passes, the queue's persistence and the outgoing log off, then on")
    opts = parser.parse_args()
    if not opts.accounting:
        run(opts)
        return
    print("=== pass 1: PersistQueue and LogOutgoing off ===")
    off = run(opts)
    print("\n=== pass 2: PersistQueue and LogOutgoing on ===")
    on = run(opts, "PersistQueue=1\nLogOutgoing=1\n")
    print("\nside by side (off | on)")
    print("rate/s  ok off|on   INVITE->200 p50 ms  p99 ms        welcome start p50 ms  p99 ms")
    for rate in sorted(set(off["rates"]) | set(on["rates"])):
        a = off["rates"].get(rate, (0,) + (float("nan"),) * 4)
        b = on["rates"].get(rate, (0,) + (float("nan"),) * 4)
        print(f"{rate:6d}  {a[0]:4d}|{b[0]:<4d}  {a[1]:7.1f}|{b[1]:<7.1f}  {a[2]:6.1f}|{b[2]:<6.1f}    "
              f"{a[3]:7.1f}|{b[3]:<7.1f}  {a[4]:6.1f}|{b[4]:<6.1f}")
    print(f"callbacks in {opts.callback_seconds} s, placed/answered: {off['callbacks'][0]}/{off['callbacks'][1]} | "
          f"{on['callbacks'][0]}/{on['callbacks'][1]}")


if __name__ == "__main__":
    main()
