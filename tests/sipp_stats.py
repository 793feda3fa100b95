"""What a SIPp run with -trace_stat and -trace_rtt left in its folder."""
import glob
import os


def sipp_results(folder):
    """(successful calls, failed calls, INVITE->200 latencies in ms) of the runs in folder."""
    ok = failed = 0
    for stat in glob.glob(os.path.join(folder, "*_.csv")):
        with open(stat) as f:
            rows = [r.split(";") for r in f.read().splitlines() if r]
        if len(rows) >= 2:
            head = rows[0]
            # The counts are cumulative, and the last row may be written before the last calls ended.
            ok = max(int(r[head.index("SuccessfulCall(C)")]) for r in rows[1:])
            failed = max(int(r[head.index("FailedCall(C)")]) for r in rows[1:])
    latencies = []
    for rtt in glob.glob(os.path.join(folder, "*_rtt.csv")):
        with open(rtt) as f:
            for row in f.read().splitlines()[1:]:
                parts = row.split(";")
                if len(parts) >= 2:
                    latencies.append(float(parts[1]))
    return ok, failed, latencies

