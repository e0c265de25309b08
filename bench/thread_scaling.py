#!/usr/bin/env python3
"""Wall-clock scaling of sgmatch with threads=N on one query file.

Runs the binary with each thread count in turn, round after round (so that a change in the load of
a shared machine hits every count alike), and prints per count the median wall time of the whole
run and its speed-up over the first count. Every run must write the same report (times masked),
statistics files and subgraph file as the first count's first run, else the script fails.

    bench/thread_scaling.py --binary build/sgmatch --data D --query Q --threads 1 2 4 --rounds 5 \\
        [--args "maxfreq=100000 symmetry=auto"]
"""
import argparse
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def outputs(work, report):
    digest = hashlib.sha256()
    digest.update(re.sub(rb"Time/ms: [0-9.]+", b"Time/ms: T", re.sub(rb"Average time per query: [^\n]*", b"", report)))
    for name in sorted(os.listdir(os.path.join(work, "stats"))):
        digest.update(name.encode())
        with open(os.path.join(work, "stats", name), "rb") as f:
            digest.update(f.read())
    with open(os.path.join(work, "subgraphs"), "rb") as f:
        digest.update(f.read())
    return digest.hexdigest()


def run(binary, data, query, threads, extra, work):
    stats = os.path.join(work, "stats")
    shutil.rmtree(stats, ignore_errors=True)
    os.makedirs(stats)
    arguments = [binary, f"data={data}", f"query={query}", f"stats={stats}",
                 f"subgraph={os.path.join(work, 'subgraphs')}", f"threads={threads}"] + extra
    start = time.monotonic()
    done = subprocess.run(arguments, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    return time.monotonic() - start, outputs(work, done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--query", required=True)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--args", default="", help="extra key=value arguments, separated by spaces")
    options = parser.parse_args()
    extra = options.args.split()
    times = {t: [] for t in options.threads}
    reference = None
    with tempfile.TemporaryDirectory() as work:
        for _ in range(options.rounds):
            for threads in options.threads:
                seconds, digest = run(options.binary, options.data, options.query, threads, extra, work)
                if reference is None:
                    reference = digest
                elif digest != reference:
                    sys.exit(f"threads={threads}: outputs differ from threads={options.threads[0]}")
                times[threads].append(seconds)
    base = statistics.median(times[options.threads[0]])
    print(f"{os.path.basename(options.query)} on {os.path.basename(options.data)} {' '.join(extra)}")
    for threads in options.threads:
        median = statistics.median(times[threads])
        runs = " ".join(f"{s:.2f}" for s in times[threads])
        print(f"  threads={threads}: median {median:.3f} s, speed-up {base / median:.2f}x  (runs: {runs})")


if __name__ == "__main__":
    main()
