#!/usr/bin/python3
# A/B of two sgmatch binaries query by query: each query of the set runs alone (a one-query file) with
# both binaries, in alternating order, `--reps` times; prints per query the report line's count and
# mark, the median Time/ms of each binary and their ratio, and whether both report lines agree
# (times masked), then the totals and medians. Both binaries see the same load, so the ratios hold
# up better than figures from separate runs on a shared machine.
#
#   ab_queries.py --old A/sgmatch --new B/sgmatch --data D --queries Q [--maxfreq N] [--reps 2] [--args "k=v ..."]
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_workloads  # noqa: E402  (query file splitting)

REPORT = re.compile(r"\tFreq: (\d+)\tTime/ms: ([0-9.e+-]+)(.*)")


def main():
    parser = argparse.ArgumentParser(description="Compare two sgmatch binaries query by query.")
    parser.add_argument("--old", required=True)
    parser.add_argument("--new", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--queries", required=True)
    parser.add_argument("--maxfreq", type=int)
    parser.add_argument("--reps", type=int, default=2)
    parser.add_argument("--args", default="", help="extra key=value arguments for both binaries")
    parser.add_argument("--json", help="write the times to this file")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="ab-")
    os.makedirs(os.path.join(work, "stats"))
    query = os.path.join(work, "query")
    binaries = {"old": os.path.abspath(args.old), "new": os.path.abspath(args.new)}
    results, differ = {}, 0
    for k, block in enumerate(run_workloads.split_queries(args.queries)):
        with open(query, "w") as f:
            f.writelines(block)
        entry = {"old": [], "new": [], "lines": {}}
        for r in range(args.reps):
            order = ["old", "new"] if (k + r) % 2 == 0 else ["new", "old"]
            for name in order:
                cmd = [binaries[name], "data=" + os.path.abspath(args.data), "query=" + query,
                       "stats=" + os.path.join(work, "stats"), "subgraph=" + os.path.join(work, "subgraphs")]
                if args.maxfreq is not None:
                    cmd.append("maxfreq=%d" % args.maxfreq)
                proc = subprocess.run(cmd + args.args.split(), stdout=subprocess.PIPE, text=True,
                                      stdin=subprocess.DEVNULL)
                m = REPORT.search(proc.stdout)
                if not m:
                    print("query %d: no report line from %s (status %d)" % (k, name, proc.returncode))
                    return 2
                entry[name].append(float(m.group(2)))
                entry["lines"][name] = m.group(1) + m.group(3)
        same = entry["lines"]["old"] == entry["lines"]["new"]
        differ += not same
        old, new = statistics.median(entry["old"]), statistics.median(entry["new"])
        print("%d\t%s\told %.1f ms\tnew %.1f ms\tnew/old %.3f%s" % (
            k, entry["lines"]["new"], old, new, new / old if old > 0 else float("nan"),
            "" if same else "\tDIFFERENT: old " + entry["lines"]["old"]), flush=True)
        results[k] = entry
    old = [statistics.median(e["old"]) for e in results.values()]
    new = [statistics.median(e["new"]) for e in results.values()]
    ratios = [n / o for o, n in zip(old, new) if o > 0]
    print("total: old %.0f ms, new %.0f ms; median: old %.2f ms, new %.2f ms; new/old per query: "
          "median %.3f, largest %.3f; report lines differ: %d" % (
              sum(old), sum(new), statistics.median(old), statistics.median(new),
              statistics.median(ratios), max(ratios), differ))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f)
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
