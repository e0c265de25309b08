#!/usr/bin/python3
# Counting workload: graph-tool's real networks with random labels and random-walk query sets of
# 4 to 16 vertices, counted by sgmatch-count (one process per query set, a time limit per query)
# and, side by side, by external matchers whose binaries are given on the command line. Checks
# that the counts agree wherever two engines finished, and reports solved queries, time per set,
# embeddings per second and a cactus plot (queries solved against time per query).
#
#   count_workloads.py --build build-bench [--subgraphmatching PATH] [--timeout 10] [--tool]
#
# --tool counts through the tool itself (sgmatch list=0 timeout=SEC results=..., one process per
# query set) instead of sgmatch-count; the time of a query is then its wall_ms in the results file.
#
# --subgraphmatching names RapidsAtHKUST/SubgraphMatching's SubgraphMatching.out, run with the
# configuration its authors recommend (GraphQL filter, GraphQL order, LFTJ enumeration; build it
# with ENABLE_FAILING_SET). Its inputs are converted here ('v id label degree', simple edges).
# Peer results are cached in the output directory (keyed by graph, set, query and time limit),
# so that later runs of the counter do not wait for them again.
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_workloads  # noqa: E402  (query set generation and splitting)

OUT = os.path.join(HERE, "out", "count")
NETWORKS = "email-Enron,as-22july06,cond-mat-2005"
PEER_CONFIGS = {"GQL": ["-filter", "GQL", "-order", "GQL", "-engine", "LFTJ", "-num", "MAX"],
                "RI": ["-filter", "GQL", "-order", "RI", "-engine", "LFTJ", "-num", "MAX"]}


# ------------------------------------------------------------------------------------------
# sgmatch-count

def run_counter(build, data, query_file, timeout, extra=()):
    """{query index: dict(vertices, edges, count, outcome, seconds)} for one query set."""
    cmd = [os.path.join(build, "sgmatch-count"), "data=" + data, "query=" + query_file,
           "timeout=%g" % timeout] + list(extra)
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          stdin=subprocess.DEVNULL)
    results = {}
    for line in proc.stdout.splitlines():
        if line.startswith("#"):
            continue
        num, vertices, edges, count, outcome, ms, _ = line.split("\t")
        results[int(num)] = {"vertices": int(vertices), "edges": int(edges), "count": int(count),
                             "outcome": outcome, "seconds": float(ms) / 1000}
    if proc.returncode != 0:
        print("sgmatch-count failed (%d) on %s: %s" % (proc.returncode, query_file,
                                                       proc.stderr[-500:]), flush=True)
    return results


def run_tool(build, data, query_file, timeout, workdir, cpu_factor=None):
    """As run_counter, through sgmatch list=0 with a time limit per query; the outcome and the
    time come from the results file (status, wall_ms). With cpu_factor, the tool's wall-clock limit
    is that many times the timeout, and a query counts as solved when its processor time (cpu_ms)
    is within the timeout: on a machine shared with other jobs, wall-clock time says more about
    the others than about the count."""
    os.makedirs(workdir, exist_ok=True)
    results_path = os.path.join(workdir, "results.jsonl")
    cmd = [os.path.join(build, "sgmatch"), "data=" + data, "query=" + query_file, "list=0",
           "timeout=%g" % (timeout * (cpu_factor or 1)), "results=" + results_path, "subgraph=" + os.path.join(workdir, "subgraphs"),
           "stats=" + os.path.join(workdir, "no-stats")]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          stdin=subprocess.DEVNULL)
    outcomes = {"complete": "done", "zero": "done", "timeout": "timeout", "overflow": "overflow",
                "limit": "limit", "refused": "refused"}
    results = {}
    if os.path.exists(results_path):
        with open(results_path) as f:
            for line in f:
                obj = json.loads(line)
                if obj.get("type") != "query":
                    continue
                outcome = outcomes[obj["status"]]
                seconds = (obj["cpu_ms"] if cpu_factor else obj["wall_ms"]) / 1000
                if cpu_factor and outcome == "done" and seconds > timeout:
                    outcome = "timeout"
                results[obj["query"]] = {"vertices": obj["vertices"], "edges": obj["edges"],
                                         "count": obj["frequency"], "outcome": outcome,
                                         "seconds": seconds, "wall_seconds": obj["wall_ms"] / 1000}
    if proc.returncode != 0:
        print("sgmatch failed (%d) on %s: %s" % (proc.returncode, query_file, proc.stdout[-500:]), flush=True)
    return results


# ------------------------------------------------------------------------------------------
# Inputs for the peer

def simple_graph(labels, edges):
    """Peer format: header, 'v id label degree', each undirected edge once."""
    pairs = sorted({(min(u, v), max(u, v)) for u, v in edges if u != v})
    degree = [0] * len(labels)
    for u, v in pairs:
        degree[u] += 1
        degree[v] += 1
    lines = ["t %d %d" % (len(labels), len(pairs))]
    lines += ["v %d %d %d" % (i, l, degree[i]) for i, l in enumerate(labels)]
    lines += ["e %d %d" % p for p in pairs]
    return "\n".join(lines) + "\n"


def parse_block(lines):
    labels, edges = [], []
    for line in lines:
        fields = line.split()
        if not fields:
            continue
        if fields[0] == "v":
            labels.append(int(fields[2]))
        elif fields[0] == "e":
            edges.append((int(fields[1]), int(fields[2])))
    return labels, edges


def convert_data(data, path):
    if os.path.exists(path) and os.path.getmtime(path) >= os.path.getmtime(data):
        return path
    with open(data) as f:
        labels, edges = parse_block(f)
    tmp = path + ".tmp"
    with open(tmp, "w") as out:
        out.write(simple_graph(labels, edges))
    os.replace(tmp, path)
    return path


EMBEDDINGS = re.compile(r"^#Embeddings: (\d+)", re.M)
TOTAL_TIME = re.compile(r"^Total time \(seconds\): ([0-9.]+)", re.M)
ENUMERATE_TIME = re.compile(r"^Enumerate time \(seconds\): ([0-9.]+)", re.M)


def run_peer(binary, config, data, query_path, timeout):
    """dict(count, seconds, outcome): seconds is the peer's own total (filtering, ordering and
    enumeration, not loading); it has solved the query when it finished within the limit."""
    cmd = [binary, "-d", data, "-q", query_path] + PEER_CONFIGS[config]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        # Loading the data graph is not timed: allow for it before killing.
        text, _ = proc.communicate(timeout=timeout + 5)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return {"count": None, "seconds": timeout, "outcome": "timeout"}
    wall = time.monotonic() - start
    found, total = EMBEDDINGS.search(text), TOTAL_TIME.search(text)
    if proc.returncode != 0 or not found or not total:
        return {"count": None, "seconds": wall, "outcome": "failed (%s)" % proc.returncode}
    seconds = float(total.group(1))
    enumerate_s = ENUMERATE_TIME.search(text)
    return {"count": int(found.group(1)), "seconds": seconds,
            "enumerate_seconds": float(enumerate_s.group(1)) if enumerate_s else None,
            "outcome": "done" if seconds <= timeout else "timeout"}


# ------------------------------------------------------------------------------------------
# Report

def percentile(values, q):
    if not values:
        return None
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def fmt(x, digits=3):
    if x is None:
        return "-"
    if isinstance(x, int):
        return str(x)
    return "%.*g" % (digits, x)


def cactus(results, engines, timeout, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 4.5))
    total = len(results)
    for engine in engines:
        times = sorted(r[engine]["seconds"] for r in results.values()
                       if engine in r and r[engine]["outcome"] == "done")
        times = [max(t, 1e-5) for t in times]
        ax.plot(range(1, len(times) + 1), times, label="%s (%d/%d)" % (engine, len(times), total),
                drawstyle="steps-post")
    ax.set_yscale("log")
    ax.set_xlabel("queries solved")
    ax.set_ylabel("time per query (s)")
    ax.axhline(timeout, color="grey", linestyle=":", linewidth=1)
    ax.set_title("Counting: real networks, 4 to 16 query vertices, %g s per query" % timeout)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def report(results, engines, timeout):
    """Markdown: per set solved and total time per engine, then totals and rates."""
    sets = {}
    for key, r in results.items():
        graph, qset, _ = key.split("|")
        sets.setdefault((graph, qset), []).append(r)
    head = "| data | queries | " + " | ".join(
        "%s solved | %s total s | %s emb/s" % (e, e, e) for e in engines) + " |"
    lines = ["# Counting workload", "", "Time limit %g s per query; a query not solved counts "
             "the limit in the totals. Rates are embeddings per second over solved queries "
             "(per set: their embeddings over their time)." % timeout,
             "", head, "|" + "---|" * (2 + 3 * len(engines))]
    for (graph, qset), rs in sorted(sets.items()):
        cells = []
        for e in engines:
            done = [r[e] for r in rs if e in r and r[e]["outcome"] == "done"]
            total = sum(r[e]["seconds"] if r[e]["outcome"] == "done" else timeout
                        for r in rs if e in r)
            seconds = sum(d["seconds"] for d in done)
            rate = sum(d["count"] for d in done) / seconds if seconds > 0 else None
            cells += ["%d/%d" % (len(done), len(rs)), fmt(total), fmt(rate)]
        lines.append("| %s | %s | %s |" % (graph, qset, " | ".join(cells)))
    lines += ["", "| engine | solved | rate p10 | rate median | rate p90 | total embeddings / total time |",
              "|---|---|---|---|---|---|"]
    for e in engines:
        done = [r[e] for r in results.values() if e in r and r[e]["outcome"] == "done"]
        rates = [d["count"] / max(d["seconds"], 1e-6) for d in done]
        embeddings = sum(d["count"] for d in done)
        seconds = sum(d["seconds"] for d in done)
        lines.append("| %s | %d/%d | %s | %s | %s | %s |" % (
            e, len(done), len(results), fmt(percentile(rates, 0.1)), fmt(percentile(rates, 0.5)),
            fmt(percentile(rates, 0.9)), fmt(embeddings / seconds if seconds else None)))
    # Queries a peer solved and the counter did not; queries only the counter solved.
    if "counter" in engines and len(engines) > 1:
        peers = [e for e in engines if e != "counter"]
        missed = [k for k, r in results.items() if r["counter"]["outcome"] != "done" and
                  any(p in r and r[p]["outcome"] == "done" for p in peers)]
        only = [k for k, r in results.items() if r["counter"]["outcome"] == "done" and
                not any(p in r and r[p]["outcome"] == "done" for p in peers)]
        best = sum(1 for r in results.values()
                   if any(p in r and r[p]["outcome"] == "done" for p in peers))
        lines += ["", "Solved by some peer: %d; by the counter: %d; by a peer but not the counter: %d%s; "
                  "by the counter only: %d." % (best, sum(1 for r in results.values()
                                                        if r["counter"]["outcome"] == "done"),
                                               len(missed), (" (" + ", ".join(missed[:20]) + ")")
                                               if missed else "", len(only))]
    return "\n".join(lines) + "\n"


# ------------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with sgmatch-count")
    parser.add_argument("--subgraphmatching", help="SubgraphMatching.out (RapidsAtHKUST)")
    parser.add_argument("--peer-configs", default="GQL", help="comma-separated: GQL, RI")
    parser.add_argument("--timeout", type=float, default=10)
    parser.add_argument("--graphs", default=",".join(
        "%s-L%d" % (n, l) for n in NETWORKS.split(",") for l in (8, 32)))
    parser.add_argument("--sizes", default="4,8,12,16")
    parser.add_argument("--densities", default="sparse,dense")
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--out", default=OUT)
    parser.add_argument("--peer-cache", help="peer results file (default: OUT/peer-cache.json)")
    parser.add_argument("--rerun-peers", action="store_true")
    parser.add_argument("--no-peers", action="store_true", help="the counter only (peer cache still read)")
    parser.add_argument("--peers-only", action="store_true", help="fill the peer cache only")
    parser.add_argument("--tool", action="store_true",
                        help="count through sgmatch list=0 instead of sgmatch-count")
    parser.add_argument("--cpu-time", type=float, metavar="FACTOR",
                        help="with --tool: judge by processor time, the wall-clock limit FACTOR times --timeout")
    parser.add_argument("--counter-results", help="results.json of an earlier run: report its counter "
                        "results against the peer cache instead of counting again")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    os.makedirs(args.out, exist_ok=True)

    # The query sets of the standard suite for these graphs, generated when missing.
    suite_args = argparse.Namespace(build=args.build, graphs=args.graphs, sizes=args.sizes,
                                    densities=args.densities, count=args.count, no_symmetry=True,
                                    regenerate=False)
    pairs = run_workloads.build_suite(suite_args)
    wanted = set(args.graphs.split(","))
    pairs = [(d, q) for d, q in pairs if os.path.splitext(os.path.basename(d))[0] in wanted]

    cache_path = args.peer_cache or os.path.join(args.out, "peer-cache.json")
    cache = {}
    if os.path.exists(cache_path) and not args.rerun_peers:
        with open(cache_path) as f:
            cache = json.load(f)
    peer_configs = [c for c in args.peer_configs.split(",") if c] if args.subgraphmatching else []
    engines = ["counter"] + ["SM-" + c for c in peer_configs]
    earlier = {}
    if args.counter_results:
        with open(args.counter_results) as f:
            earlier = json.load(f)
    results = {}
    for data, query_file in pairs:
        graph = os.path.splitext(os.path.basename(data))[0]
        qset = os.path.splitext(os.path.basename(query_file))[0]
        if args.counter_results:
            ours = {k: earlier["%s|%s|%d" % (graph, qset, k)]["counter"]
                    for k in range(len(run_workloads.split_queries(query_file)))
                    if "%s|%s|%d" % (graph, qset, k) in earlier}
        elif args.tool and not args.peers_only:
            ours = run_tool(args.build, os.path.abspath(data), os.path.abspath(query_file), args.timeout,
                            os.path.join(args.out, "tool-run"), args.cpu_time)
        else:
            ours = {} if args.peers_only else run_counter(args.build, os.path.abspath(data),
                                                          os.path.abspath(query_file), args.timeout)
        blocks = run_workloads.split_queries(query_file)
        peer_data = None
        for k, block in enumerate(blocks):
            key = "%s|%s|%d" % (graph, qset, k)
            entry = {"counter": ours.get(k, {"count": None, "seconds": args.timeout, "outcome": "missing"})}
            for config in peer_configs:
                cache_key = "%s|%s|%g" % (config, key, args.timeout)
                if cache_key not in cache and not args.no_peers:
                    if peer_data is None:
                        peer_data = convert_data(data, os.path.join(args.out, graph + ".peer.graph"))
                    qpath = os.path.join(args.out, "peer-query.graph")
                    with open(qpath, "w") as f:
                        f.write(simple_graph(*parse_block(block[1:])))
                    cache[cache_key] = run_peer(args.subgraphmatching, config, peer_data, qpath, args.timeout)
                    with open(cache_path + ".tmp", "w") as f:
                        json.dump(cache, f)
                    os.replace(cache_path + ".tmp", cache_path)
                if cache_key in cache:
                    entry["SM-" + config] = cache[cache_key]
            results[key] = entry
        solved = {e: sum(1 for k in range(len(blocks))
                         if e in results["%s|%s|%d" % (graph, qset, k)] and
                         results["%s|%s|%d" % (graph, qset, k)][e]["outcome"] == "done")
                  for e in engines}
        print("%s %s: %s" % (graph, qset, ", ".join("%s %d/%d" % (e, solved[e], len(blocks))
                                                  for e in engines)), flush=True)

    # Counts must agree wherever two engines finished.
    mismatches = []
    for key, r in results.items():
        counts = {e: r[e]["count"] for e in engines if e in r and r[e]["outcome"] == "done"}
        if len(set(counts.values())) > 1:
            mismatches.append("%s: %s" % (key, counts))
    text = report(results, [e for e in engines if any(e in r for r in results.values())], args.timeout)
    if mismatches:
        text += "\n## Count mismatches\n\n" + "".join("- %s\n" % m for m in mismatches)
    print()
    print(text)
    with open(os.path.join(args.out, "report.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    try:
        cactus(results, [e for e in engines if any(e in r for r in results.values())], args.timeout,
               os.path.join(args.out, "cactus.png"))
        print("Cactus plot: %s" % os.path.join(args.out, "cactus.png"))
    except ImportError:
        print("matplotlib missing: no cactus plot")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
