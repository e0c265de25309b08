#!/usr/bin/python3
# Per-query times of sgmatch builds side by side with RapidsAtHKUST/SubgraphMatching (GraphQL filter
# and order, LFTJ, -num maxfreq). Each build runs every query set in one process (`--runs` times,
# median per query of the tool's Time/ms); the peer runs each query in a process of its own, its
# "Total time" cached in OUT/peer-cache.json. Prints per build the total and median and, with
# --peer, how many queries are slower than the peer, more than twice as slow, and the worst ratios.
#
#   peer_compare.py --bins base=PATH new=PATH --pairs GRAPH:QUERIES ... [--maxfreq 100000] [--runs 3] [--peer]
import argparse
import json
import os
import statistics
import subprocess
import sys
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_workloads, count_workloads  # noqa: E402
ap = argparse.ArgumentParser()
ap.add_argument("--bins", nargs="+", required=True)  # name=path
ap.add_argument("--pairs", nargs="+", required=True)  # graph:queryfile
ap.add_argument("--maxfreq", default="100000")
ap.add_argument("--runs", type=int, default=3)
ap.add_argument("--peer", action="store_true")
ap.add_argument("--subgraphmatching", default="/work/peers/SubgraphMatching/build/matching/SubgraphMatching.out")
ap.add_argument("--dir", default=os.path.join(HERE, "out", "peer-compare"))
ap.add_argument("--out", help="per-query results (JSON); default DIR/result.json")
a = ap.parse_args()
PEER = a.subgraphmatching
os.makedirs(a.dir, exist_ok=True)
a.out = a.out or os.path.join(a.dir, "result.json")
cache_path = os.path.join(a.dir, "peer-cache.json")
cache = json.load(open(cache_path)) if os.path.exists(cache_path) else {}
work = os.path.join(a.dir, "work")
os.makedirs(work, exist_ok=True)
rows = []
for pair in a.pairs:
    graph, qf = pair.split(":")
    gname = os.path.basename(graph)[:-6]; sname = os.path.basename(qf)[:-4]
    blocks = run_workloads.split_queries(qf)
    res = {}
    for spec in a.bins:
        name, path = spec.split("=")
        times = {}
        for r in range(a.runs):
            sd = os.path.join(work, "stats"); os.makedirs(sd, exist_ok=True)
            for f in os.listdir(sd): os.remove(os.path.join(sd, f))
            cmd = [path, "data=" + graph, "query=" + qf, "stats=" + sd, "subgraph=" + work + "/sub"]
            if a.maxfreq != "none": cmd.append("maxfreq=" + a.maxfreq)
            out = subprocess.run(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True).stdout
            q, done = run_workloads.parse_stdout(out)
            for k, v in q.items(): times.setdefault(k, []).append(v["ms"])
        res[name] = {k: statistics.median(v) for k, v in times.items()}
        res[name + "_freq"] = {k: v["freq"] for k, v in q.items()}
    if a.peer:
        pg = os.path.join(work, gname + ".peer")
        count_workloads.convert_data(graph, pg)
        peer = {}
        for i, b in enumerate(blocks):
            key = "%s/%s/%d/%s" % (gname, sname, i, a.maxfreq)
            if key not in cache:
                labels, edges = count_workloads.parse_block(b)
                qp = os.path.join(work, "q.peer")
                open(qp, "w").write(count_workloads.simple_graph(labels, edges))
                cfg = count_workloads.PEER_CONFIGS["GQL"][:]
                if a.maxfreq != "none": cfg[-1] = str(int(a.maxfreq))
                cmd = [PEER, "-d", pg, "-q", qp] + cfg
                try:
                    t = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60).stdout
                    m = count_workloads.TOTAL_TIME.search(t); e = count_workloads.EMBEDDINGS.search(t)
                    cache[key] = {"ms": float(m.group(1)) * 1000, "count": int(e.group(1))}
                except Exception as ex:
                    cache[key] = {"ms": 60000, "count": None}
                json.dump(cache, open(cache_path, "w"))
            peer[i] = cache[key]["ms"]
        res["peer"] = peer
    for i in range(len(blocks)):
        row = {"graph": gname, "set": sname, "q": i}
        for spec in a.bins:
            name = spec.split("=")[0]
            row[name] = res[name].get(i); row["freq"] = res[name + "_freq"].get(i)
        if a.peer: row["peer"] = res["peer"][i]
        rows.append(row)
json.dump(rows, open(a.out, "w"))
names = [s.split("=")[0] for s in a.bins]
print("bins", names)
for name in names:
    vals = [r[name] for r in rows if r[name] is not None]
    line = "%s: total %.1f ms median %.3f" % (name, sum(vals), statistics.median(vals))
    if a.peer:
        ratios = sorted(((r[name] / max(r["peer"], 1e-3)), r["graph"], r["set"], r["q"]) for r in rows if r[name] is not None)
        line += " | >1x %d  >2x %d  worst %s" % (sum(1 for x in ratios if x[0] > 1), sum(1 for x in ratios if x[0] > 2), ratios[-5:])
    print(line)
