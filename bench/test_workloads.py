#!/usr/bin/python3
# Tests of the benchmark tooling: generator determinism and validity, complete symmetry
# breaking (checked with sgmatch itself and with graph-tool), the runner's difference and
# time-limit handling, and the graph-tool cross-check. Usage: test_workloads.py --build DIR
import argparse
import os
import re
import shutil
import subprocess
import sys
import traceback
from collections import Counter, deque

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(HERE, "out", "test")
BUILD = None


# ------------------------------------------------------------------------------------------
# Helpers

def run(cmd, cwd=WORK, check=True, timeout=600):
    proc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, stdin=subprocess.DEVNULL, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError("%s exited %d:\n%s" % (" ".join(cmd), proc.returncode,
                                                    proc.stdout[-3000:]))
    return proc


def gen(*args, check=True):
    return run([os.path.join(BUILD, "sgmatch-workload")] + list(args), check=check)


def path(name):
    return os.path.join(WORK, name)


def read_bytes(name):
    with open(path(name), "rb") as f:
        return f.read()


def read_graph(name):
    """(labels, sorted edge list, vertex ids as written, header)"""
    labels, ids, edges, header = [], [], [], None
    with open(path(name)) as f:
        for line in f:
            parts = line.split()
            if line.startswith("t"):
                header = parts
            elif line.startswith("v"):
                assert not edges, "vertex line after an edge line"
                ids.append(int(parts[1]))
                labels.append(int(parts[2]))
            elif line.startswith("e"):
                edges.append((int(parts[1]), int(parts[2])))
    return labels, edges, ids, header


def read_queries(name):
    """List of dicts: labels, edges, classes (None without symmetry lines)."""
    queries = []
    with open(path(name)) as f:
        for line in f:
            parts = line.split()
            if line.startswith("t"):
                queries.append({"header": line.strip(), "labels": [], "edges": [],
                                "classes": None})
            elif line.startswith("v"):
                q = queries[-1]
                assert q["edges"] == [] and q["classes"] is None, "vertex line out of place"
                assert int(parts[1]) == len(q["labels"]), "vertex ids not in order"
                q["labels"].append(int(parts[2]))
            elif line.startswith("e"):
                assert queries[-1]["classes"] is None, "edge line after symmetry lines"
                queries[-1]["edges"].append((int(parts[1]), int(parts[2])))
            elif line.startswith("a"):
                q = queries[-1]
                if q["classes"] is None:
                    q["classes"] = []
                q["classes"].append([int(x) for x in parts[1:]])
            else:
                raise AssertionError("unexpected line %r in %s" % (line, name))
    return queries


def read_meta(name):
    rows = []
    with open(path(name + ".meta")) as f:
        for line in f:
            if line.startswith("#"):
                continue
            k, n, m, aut, dv, order = line.rstrip("\n").split("\t")
            rows.append({"n": int(n), "m": int(m), "aut": None if aut == "-" else int(aut),
                         "data": [int(x) for x in dv.split(",")],
                         "order": None if order == "-" else [int(x) for x in order.split(",")]})
    return rows


def tool_counts(data, queries, maxfreq):
    """{query number: (freq, pruned by maxfreq)} from running sgmatch (stats thrown away)."""
    tmp = path("toolrun")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(os.path.join(tmp, "stats"))
    out = run([os.path.join(BUILD, "sgmatch"), "data=" + path(data), "query=" + path(queries),
               "subgraph=subgraphs", "stats=stats", "maxfreq=%d" % maxfreq], cwd=tmp).stdout
    shutil.rmtree(tmp, ignore_errors=True)
    counts = {}
    for line in out.splitlines():
        m = re.match(r"^(\d+)\t#nodes: \d+\tSym: [01]\tFreq: (\d+)\t", line)
        if m:
            counts[int(m.group(1))] = (int(m.group(2)), "pruned by maxfreq" in line)
    assert "Done!" in out, out[-2000:]
    return counts


def connected(n, edges):
    adj = [[] for _ in range(n)]
    for u, v in edges:
        adj[u].append(v)
        adj[v].append(u)
    seen, todo = {0}, deque([0])
    while todo:
        for w in adj[todo.popleft()]:
            if w not in seen:
                seen.add(w)
                todo.append(w)
    return len(seen) == n


def automorphism_count(labels, edges, cap):
    """|Aut| by graph-tool (label-preserving self-embeddings), or None above cap."""
    sys.path.insert(0, HERE)
    import crosscheck_graphtool as cc
    g, gl = cc.make_graph(labels, edges)
    n = cc.count_embeddings(g, gl, g, gl, cap)
    return None if n > cap else n


# Shared fixtures, made once: a small graph with 2 labels, an unlabelled one with flat degrees
# (star-like queries with large groups but countable embeddings), an unlabelled torus grid and
# a medium one.
SMALL = "small.graph"
FLAT = "flat.graph"
MEDIUM = "medium.graph"


GRID = "grid.graph"


def write_torus(name, side):
    """An unlabelled side x side torus grid: its queries contain 4-cycles and other shapes with
    dihedral symmetry, where a wrong choice of the fixed vertex undercounts."""
    with open(path(name), "w") as f:
        f.write("".join("v %d 0\n" % i for i in range(side * side)))
        edges = set()
        for r in range(side):
            for c in range(side):
                v = r * side + c
                for w in (r * side + (c + 1) % side, ((r + 1) % side) * side + c):
                    edges.add((min(v, w), max(v, w)))
        f.write("".join("e %d %d\n" % e for e in sorted(edges)))


def make_fixtures():
    write_torus(GRID, 12)
    gen("graph", "vertices=300", "edges=600", "labels=1", "exponent=6", "seed=13",
        "out=" + path(FLAT))
    gen("graph", "vertices=300", "edges=700", "labels=2", "seed=11", "out=" + path(SMALL))
    gen("graph", "vertices=5000", "edges=20000", "labels=8", "seed=12", "out=" + path(MEDIUM))


# ------------------------------------------------------------------------------------------
# Generator: determinism and validity

def test_graph_is_deterministic():
    gen("graph", "vertices=20000", "edges=80000", "labels=8", "seed=5", "out=" + path("d1.graph"))
    gen("graph", "vertices=20000", "edges=80000", "labels=8", "seed=5", "out=" + path("d2.graph"))
    gen("graph", "vertices=20000", "edges=80000", "labels=8", "seed=6", "out=" + path("d3.graph"))
    assert read_bytes("d1.graph") == read_bytes("d2.graph"), "same seed, different bytes"
    assert read_bytes("d1.graph") != read_bytes("d3.graph"), "different seeds, same bytes"


def test_graph_is_simple_and_power_law():
    labels, edges, ids, header = read_graph("d1.graph")
    assert header == ["t", "20000", "80000"], header
    assert ids == list(range(20000)), "vertex ids not written in order"
    assert len(edges) == 80000
    assert all(0 <= l < 8 for l in labels)
    assert all(0 <= u < v < 20000 for u, v in edges), "self-loop, reversed or bad endpoint"
    assert len(set(edges)) == len(edges), "repeated edge"
    counts = Counter(labels)
    assert min(counts.values()) > 20000 / 8 * 0.9, counts  # uniform labels
    degree = Counter()
    for u, v in edges:
        degree[u] += 1
        degree[v] += 1
    mean = 2 * len(edges) / 20000
    top = max(degree.values())
    assert top > 50 * mean, "no heavy tail: max degree %d, mean %.1f" % (top, mean)
    # The hubs must not all sit at the start of the id range (ids are shuffled).
    hubs = [v for v, _ in degree.most_common(20)]
    assert max(hubs) > 5000, hubs


def test_graph_label_skew_and_exponent():
    gen("graph", "vertices=20000", "edges=60000", "labels=16", "seed=5", "labelskew=1.5",
        "out=" + path("skew.graph"))
    labels, _, _, _ = read_graph("skew.graph")
    counts = Counter(labels)
    assert counts[0] > 4 * counts[3] > 0, counts
    gen("graph", "vertices=20000", "edges=60000", "labels=4", "seed=5", "exponent=3.5",
        "out=" + path("exponent.graph"))
    _, edges, _, _ = read_graph("exponent.graph")
    degree = Counter(x for e in edges for x in e)
    _, edges21, _, _ = read_graph("d1.graph")
    degree21 = Counter(x for e in edges21 for x in e)
    assert max(degree.values()) * 5 < max(degree21.values()), "exponent has no effect"


def test_graph_rejects_bad_arguments():
    for bad in (["vertices=3", "edges=4", "labels=2", "seed=1", "out=" + path("x.graph")],
                ["vertices=100", "edges=10", "labels=2", "out=" + path("x.graph")],
                ["vertices=100", "edges=10", "labels=2", "seed=1", "out=" + path("x.graph"),
                 "colour=1"],
                ["vertices=100", "edges=-1", "labels=2", "seed=1", "out=" + path("x.graph")]):
        proc = gen("graph", *bad, check=False)
        assert proc.returncode != 0 and proc.stdout.strip(), bad


def query_sets():
    """(data, size, density, symmetry) of the query sets the tests generate."""
    sets = []
    for size in (4, 5, 6, 8, 12):
        for density in ("sparse", "dense"):
            sets.append((SMALL, size, density))
    for size in (4, 5, 6, 7):
        for density in ("sparse", "dense"):
            sets.append((FLAT, size, density))
    for size in (4, 6, 8, 9):
        sets.append((GRID, size, "dense"))
    for size in (4, 8, 12, 16, 24):
        for density in ("sparse", "dense"):
            sets.append((MEDIUM, size, density))
    return sets


def set_name(data, size, density, sym):
    return "%s-%s-%d%s.txt" % (data.split(".")[0], density, size, "-sym" if sym else "")


def make_query_sets():
    for data, size, density in query_sets():
        for sym in (0, 1):
            gen("queries", "data=" + path(data), "count=15", "size=%d" % size,
                "density=" + density, "seed=%d" % (size * 7 + len(density)),
                "symmetry=%d" % sym, "out=" + path(set_name(data, size, density, sym)))


def test_queries_are_deterministic():
    name = set_name(MEDIUM, 8, "sparse", 0)
    gen("queries", "data=" + path(MEDIUM), "count=15", "size=8", "density=sparse",
        "seed=%d" % (8 * 7 + 6), "out=" + path("again.txt"))
    assert read_bytes(name) == read_bytes("again.txt")
    assert read_bytes(name + ".meta") == read_bytes("again.txt.meta")
    gen("queries", "data=" + path(MEDIUM), "count=15", "size=8", "density=sparse",
        "seed=999", "out=" + path("other.txt"))
    assert read_bytes(name) != read_bytes("other.txt")


def test_symmetry_lines_only_add_to_the_same_queries():
    for data, size, density in query_sets():
        plain = read_queries(set_name(data, size, density, 0))
        sym = read_queries(set_name(data, size, density, 1))
        assert len(plain) == len(sym) == 15
        for a, b in zip(plain, sym):
            assert (a["labels"], a["edges"]) == (b["labels"], b["edges"])
            assert a["classes"] is None
            if size > 12:
                assert b["classes"] is None


def test_queries_come_from_the_data_graph():
    for data, size, density in query_sets():
        labels, edges, _, _ = read_graph(data)
        edge_set = set(edges)
        name = set_name(data, size, density, 1)
        for q, meta in zip(read_queries(name), read_meta(name)):
            n = len(q["labels"])
            assert n == size == meta["n"] and len(q["edges"]) == meta["m"]
            dv = meta["data"]
            assert len(set(dv)) == n, "repeated data vertex"
            assert q["labels"] == [labels[v] for v in dv], "%s: labels not copied" % name
            assert all(u < v for u, v in q["edges"]) and len(set(q["edges"])) == len(q["edges"])
            assert q["edges"] == sorted(q["edges"])
            for u, v in q["edges"]:
                assert tuple(sorted((dv[u], dv[v]))) in edge_set, "edge not in the data graph"
            assert connected(n, q["edges"]), "query not connected"
            induced = [(i, j) for i in range(n) for j in range(i + 1, n)
                       if tuple(sorted((dv[i], dv[j]))) in edge_set]
            if density == "dense":
                assert q["edges"] == induced, "dense query is not the induced subgraph"
            else:
                assert len(q["edges"]) <= 3 * n // 2, "sparse query above average degree 3"
                assert set(q["edges"]) <= set(induced)


def test_queries_give_up_gracefully():
    # A graph whose components are all smaller than the query: no walk can succeed.
    with open(path("tiny.graph"), "w") as f:
        f.write("".join("v %d 0\n" % i for i in range(6)))
        f.write("e 0 1\ne 2 3\ne 4 5\n")
    proc = gen("queries", "data=" + path("tiny.graph"), "count=3", "size=3", "density=dense",
               "seed=1", "attempts=50", "out=" + path("none.txt"), check=False)
    assert proc.returncode != 0 and "produced 0 of 3" in proc.stdout, proc.stdout


# ------------------------------------------------------------------------------------------
# Symmetry breaking

def test_symmetry_classes_are_well_formed():
    nontrivial = 0
    for data, size, density in query_sets():
        name = set_name(data, size, density, 1)
        for q, meta in zip(read_queries(name), read_meta(name)):
            if size > 12:
                assert meta["aut"] is None and meta["order"] is None
                continue
            n = len(q["labels"])
            assert sorted(meta["order"]) == list(range(n)), "order is not a permutation"
            if q["classes"] is None:
                assert meta["aut"] == 1, "nontrivial group without symmetry lines"
                continue
            nontrivial += 1
            assert meta["aut"] > 1
            assert len(q["classes"]) == n, "not one symmetry line per vertex"
            for v, cls in enumerate(q["classes"]):
                assert cls == sorted(set(cls)) and all(0 <= x < n for x in cls)
                assert not cls or v in cls, "a vertex with partners must list itself"
                for x in cls:
                    assert v in q["classes"][x], "pair %d-%d listed on one side only" % (v, x)
                    assert q["labels"][x] == q["labels"][v], "class mixes labels"
    assert nontrivial >= 20, "too few symmetric queries to test with (%d)" % nontrivial


def test_group_sizes_match_graph_tool():
    checked = 0
    for data, size, density in query_sets():
        if size > 12:
            continue
        name = set_name(data, size, density, 1)
        for q, meta in zip(read_queries(name), read_meta(name)):
            aut = automorphism_count(q["labels"], q["edges"], 200000)
            if aut is None:
                continue
            assert aut == meta["aut"], "%s: |Aut| %d, generator says %d" % (name, aut,
                                                                            meta["aut"])
            checked += 1
    assert checked >= 100, checked


def test_constraints_keep_one_automorphism_per_id_order():
    """With the query itself as the data graph, its embeddings are its automorphisms, all in
    one class: under the tool's rule (of two paired vertices, the one earlier in the matching
    order gets the smaller data id) exactly one may pass, whatever the data ids are. Checked
    for many random id assignments."""
    import random
    import graph_tool.topology as top
    sys.path.insert(0, HERE)
    import crosscheck_graphtool as cc
    rng = random.Random(7)
    checked = 0
    for data, size, density in query_sets():
        if size > 12:
            continue
        name = set_name(data, size, density, 1)
        for k, (q, meta) in enumerate(zip(read_queries(name), read_meta(name))):
            if q["classes"] is None or meta["aut"] > 5000:
                continue
            n = len(q["labels"])
            pos = {v: i for i, v in enumerate(meta["order"])}
            pairs = [(x, v) for v in range(n) for x in q["classes"][v]
                     if x != v and pos[x] < pos[v]]
            g, gl = cc.make_graph(q["labels"], q["edges"])
            autos = [list(m.a) for m in top.subgraph_isomorphism(g, g, vertex_label=(gl, gl))]
            assert len(autos) == meta["aut"]
            for _ in range(30):
                ids = list(range(n))
                rng.shuffle(ids)
                passing = sum(1 for s in autos if all(ids[s[x]] < ids[s[v]] for x, v in pairs))
                assert passing == 1, "%s query %d: %d automorphisms pass" % (name, k, passing)
            checked += 1
    assert checked >= 20, checked


def test_symmetry_lines_break_the_group_completely():
    """For every query, the tool's count with symmetry lines times |Aut| is its count without
    them; the ones that pass the frequency limit are left out."""
    compared = symmetric = large = 0
    for data, size, density in query_sets():
        if size > 12:
            continue
        plain = tool_counts(data, set_name(data, size, density, 0), 300000)
        broken = tool_counts(data, set_name(data, size, density, 1), 300000)
        meta = read_meta(set_name(data, size, density, 1))
        assert sorted(plain) == sorted(broken) == list(range(len(meta)))
        for k, row in enumerate(meta):
            (full, pruned), (part, _) = plain[k], broken[k]
            if pruned:
                continue
            assert part * row["aut"] == full, \
                "%s query %d: %d * |Aut| %d != %d" % (set_name(data, size, density, 1), k,
                                                       part, row["aut"], full)
            compared += 1
            symmetric += row["aut"] > 1
            large += row["aut"] >= 6
    # Groups of order 6 and more have orbits of three or more vertices, where fixing a vertex
    # that is not the first of its orbit in the matching order undercounts.
    assert compared >= 60 and symmetric >= 15 and large >= 4, (compared, symmetric, large)


def test_every_query_has_an_embedding():
    """The tool finds an embedding of every query (maxfreq=0 stops at the first one). Some
    24-vertex queries take plain backtracking minutes even for the first embedding, so each
    query runs with a time limit; up to 7 in 15 of the largest may go unverified."""
    sys.path.insert(0, HERE)
    import run_workloads as rw
    for data, size, density in query_sets():
        for sym in (0, 1) if size <= 12 else (0,):
            name = set_name(data, size, density, sym)
            run = rw.run_per_query(os.path.join(BUILD, "sgmatch"), path(data), path(name),
                                   path("embedding-run"), 0, 5.0)
            shutil.rmtree(path("embedding-run"), ignore_errors=True)
            statuses = Counter(q["status"] for q in run["queries"].values())
            assert len(run["queries"]) == 15 and statuses["failed"] == 0, (name, statuses)
            zero = [k for k, q in run["queries"].items() if q["status"] == "ok" and q["freq"] != 1]
            assert not zero, "%s: queries without embeddings: %s" % (name, zero)
            allowed = 7 if size > 12 else 0
            assert statuses["timeout"] <= allowed, "%s: %d queries over 5 s" % (
                name, statuses["timeout"])
            if statuses["timeout"]:
                print("  %s: %d queries unverified (over 5 s)" % (name, statuses["timeout"]))


# ------------------------------------------------------------------------------------------
# Runner and cross-check

def fake_build(name, literal_script=None):
    """A build directory whose sgmatch is the real one and whose sgmatch-literal is the real
    one or a shell script."""
    d = path(name)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    os.symlink(os.path.join(BUILD, "sgmatch"), os.path.join(d, "sgmatch"))
    lit = os.path.join(d, "sgmatch-literal")
    if literal_script is None:
        os.symlink(os.path.join(BUILD, "sgmatch"), lit)
    else:
        with open(lit, "w") as f:
            f.write("#!/bin/sh\n" + literal_script.replace("SGMATCH", os.path.join(BUILD, "sgmatch")))
        os.chmod(lit, 0o755)
    return d


def runner(build, *extra, check=False):
    return run(["/usr/bin/python3", os.path.join(HERE, "run_workloads.py"), "--build", build,
                "--data", path(MEDIUM), "--queries", path(set_name(MEDIUM, 8, "sparse", 1)),
                "--maxfreq", "1000", "--work", path("runs"), "--report", path("report.md")]
               + list(extra), check=check)


def test_runner_accepts_identical_engines():
    build = fake_build("same")
    for extra in ([], ["--timeout", "30"]):
        proc = runner(build, *extra)
        assert proc.returncode == 0, proc.stdout[-3000:]
        assert "| medium | medium-sparse-8-sym | fast | 15/15 |" in proc.stdout, proc.stdout
        assert "| medium | medium-sparse-8-sym | literal | 15/15 |" in proc.stdout
        assert "DIFFERENCE" not in proc.stdout


def test_runner_reports_differences():
    # A literal engine that runs the real tool, then alters one stats file / one count.
    cases = {
        "stats": 'SGMATCH "$@"; rc=$?; echo "0 0 0" >> stats/3; exit $rc\n',
        "stdout": 'SGMATCH "$@" | sed "1s/Freq: /Freq: 7/"\n',
        "subgraph": 'SGMATCH "$@"; rc=$?; echo x >> subgraphs; exit $rc\n',
    }
    for name, script in cases.items():
        build = fake_build("bad-" + name, script)
        for extra in ([], ["--timeout", "30"]):
            proc = runner(build, *extra)
            assert proc.returncode != 0, "%s %s: difference not noticed" % (name, extra)
            assert "DIFFERENCE" in proc.stdout, proc.stdout[-2000:]


def test_runner_applies_the_time_limit():
    build = fake_build("slow", 'sleep 30\nSGMATCH "$@"\n')
    proc = runner(build, "--timeout", "0.5")
    assert proc.returncode == 0, proc.stdout[-3000:]
    assert "| literal | 0/15 |" in proc.stdout, proc.stdout[-3000:]
    assert "| fast | 15/15 |" in proc.stdout
    # A crashing engine is a failure, not a timeout.
    build = fake_build("crash", "exit 3\n")
    proc = runner(build, "--timeout", "5")
    assert proc.returncode != 0 and "did not finish normally" in proc.stdout


def test_crosscheck_agrees_and_catches_a_wrong_count():
    script = os.path.join(HERE, "crosscheck_graphtool.py")
    qset = path(set_name(MEDIUM, 4, "sparse", 0))
    proc = run(["/usr/bin/python3", script, "--build", BUILD, "--data", path(MEDIUM),
                "--queries", qset, "--budget", "20", "--cap", "50000"], check=False)
    assert proc.returncode == 0, proc.stdout[-3000:]
    matched = int(re.search(r"(\d+) matched", proc.stdout).group(1))
    assert matched >= 5, proc.stdout
    # The same counts with one of them off by one.
    counts = tool_counts(MEDIUM, os.path.basename(qset), 50000)
    k = next(k for k, (f, pruned) in counts.items() if not pruned)
    with open(path("doctored.txt"), "w") as f:
        for q, (freq, pruned) in sorted(counts.items()):
            freq = freq + 1 if q == k else freq
            f.write("%d\t#nodes: 4\tSym: 0\tFreq: %d\tTime/ms: 1%s\n"
                    % (q, freq, " [pruned by maxfreq]" if pruned else ""))
    proc = run(["/usr/bin/python3", script, "--tool-output", path("doctored.txt"),
                "--data", path(MEDIUM), "--queries", qset, "--cap", "50000"], check=False)
    assert proc.returncode == 1 and "MISMATCH" in proc.stdout, proc.stdout[-3000:]


# ------------------------------------------------------------------------------------------

def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("-k", default="", help="run only tests whose name contains this")
    args = parser.parse_args()
    BUILD = os.path.abspath(args.build)
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    make_fixtures()
    make_query_sets()
    # Definition order: globals() keeps insertion order.
    tests = [(n, f) for n, f in list(globals().items()) if n.startswith("test_") and args.k in n]
    passed = failed = 0
    for name, test in tests:
        try:
            test()
            passed += 1
            print("PASS %s" % name, flush=True)
        except Exception:
            failed += 1
            print("FAIL %s\n%s" % (name, traceback.format_exc()), flush=True)
    if failed == 0:
        shutil.rmtree(WORK, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
