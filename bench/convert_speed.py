#!/usr/bin/python3
# Times sgmatch-convert end to end (process start, read, convert, write both files) on a generated
# edge list: EDGES lines between uniformly drawn vertices of VERTICES, ids compact (0..VERTICES-1)
# or spread over 63 bits (--spread). The list is generated once into bench/out/ (numpy, fixed seed)
# and the output goes next to it; prints per run the wall and CPU time, then the medians and the
# edges per second of the medians.
import argparse
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np


def edge_list(path, edges, vertices, spread):
    if os.path.exists(path):
        return
    rng = np.random.default_rng(1)
    ends = rng.integers(0, vertices, size=(edges, 2), dtype=np.int64)
    if spread:
        ids = rng.integers(0, 2**63 - 1, size=vertices, dtype=np.int64)
        ends = ids[ends]
    np.savetxt(path + ".part", ends, fmt="%d", delimiter="\t" if spread else " ")
    os.replace(path + ".part", path)


def main():
    parser = argparse.ArgumentParser(description="Times sgmatch-convert end to end on a generated edge list.")
    parser.add_argument("--build", default="build", help="build directory holding sgmatch-convert")
    parser.add_argument("--edges", type=int, default=5_000_000)
    parser.add_argument("--vertices", type=int, default=1_000_000)
    parser.add_argument("--spread", action="store_true", help="63-bit random ids instead of 0..vertices-1")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "out"))
    args = parser.parse_args()

    os.makedirs(args.out, exist_ok=True)
    kind = "spread" if args.spread else "compact"
    source = os.path.join(args.out, f"convert-{args.edges}-{args.vertices}-{kind}.txt")
    edge_list(source, args.edges, args.vertices, args.spread)
    target = os.path.join(args.out, "convert-out.graph")
    tool = os.path.join(args.build, "sgmatch-convert")

    walls, cpus = [], []
    for run in range(args.runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        result = subprocess.run([tool, f"in={source}", f"out={target}"], capture_output=True, text=True)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if result.returncode != 0:
            sys.exit(f"sgmatch-convert failed: {result.stderr}")
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        walls.append(wall)
        cpus.append(cpu)
        print(f"run {run + 1}: wall {wall:.3f} s, cpu {cpu:.3f} s")
    print(result.stdout, end="")
    wall, cpu = statistics.median(walls), statistics.median(cpus)
    print(f"median wall {wall:.3f} s ({args.edges / wall / 1e6:.1f}M edges/s), "
          f"median cpu {cpu:.3f} s ({args.edges / cpu / 1e6:.1f}M edges/s)")
    for path in (target, target + ".ids"):
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()
