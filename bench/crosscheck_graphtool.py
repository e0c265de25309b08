#!/usr/bin/python3
# Cross-checks sgmatch's embedding counts against graph-tool's VF2 subgraph isomorphism
# (non-induced, label-preserving, all injective maps). Queries over the time budget or the
# count cap are skipped and reported as such; any mismatch makes the exit status 1.
import argparse
import multiprocessing
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

FREQ_LINE = re.compile(r"^(\d+)\t#nodes: (\d+)\tSym: ([01])\tFreq: (\d+)\tTime/ms: \S+(.*)$")


def read_data_graph(path):
    """(labels array, (m, 2) edge array) with self-loops and repeated edges dropped."""
    labels, edges = [], []
    with open(path) as f:
        for line in f:
            if line.startswith("v"):
                labels.append(int(line.split()[2]))
            elif line.startswith("e"):
                parts = line.split()
                edges.append((int(parts[1]), int(parts[2])))
    e = np.array(edges, dtype=np.int64).reshape(-1, 2)
    before = len(e)
    e = e[e[:, 0] != e[:, 1]]
    e = np.unique(np.sort(e, axis=1), axis=0)
    if len(e) != before:
        print("note: %d self-loops or repeated edges of %s ignored" % (before - len(e), path))
    return np.array(labels, dtype=np.int64), e


def read_queries(path):
    """List of (labels, edges, has symmetry lines) per query block."""
    queries = []
    with open(path) as f:
        for line in f:
            if line.startswith("t"):
                queries.append(([], [], False))
            elif not queries:
                continue
            elif line.startswith("v"):
                queries[-1][0].append(int(line.split()[2]))
            elif line.startswith("e"):
                parts = line.split()
                queries[-1][1].append((int(parts[1]), int(parts[2])))
            elif line.startswith("a") and len(line.split()) > 1:
                labels, edges, _ = queries[-1]
                queries[-1] = (labels, edges, True)
    return queries


def make_graph(labels, edges):
    import graph_tool.all as gt
    g = gt.Graph(directed=False)
    g.add_vertex(len(labels))
    if len(edges):
        g.add_edge_list(np.asarray(edges, dtype=np.int64))
    prop = g.new_vertex_property("int64_t")
    prop.a = np.asarray(labels, dtype=np.int64)
    return g, prop


def count_embeddings(sub, sub_label, g, g_label, cap):
    """Number of embeddings, counting at most cap + 1."""
    import graph_tool.topology as top
    n = 0
    for _ in top.subgraph_isomorphism(sub, g, induced=False, vertex_label=(sub_label, g_label),
                                      generator=True):
        n += 1
        if n > cap:
            break
    return n


def self_check():
    """graph-tool must count every injective label-preserving map, not classes of them."""
    g, gl = make_graph([0, 0, 0, 0, 1], [(0, 1), (1, 2), (2, 0), (2, 3), (3, 4)])
    path, pl = make_graph([0, 0, 0], [(0, 1), (1, 2)])
    tri, tl = make_graph([0, 0, 0], [(0, 1), (1, 2), (2, 0)])
    edge, el = make_graph([0, 1], [(0, 1)])
    # Paths a-b-c over label-0 vertices: ordered pairs of distinct neighbours of each middle
    # vertex (2 + 2 + 6 + 0); the triangle: its 6 automorphic images; 0-1 edges: only 3-4.
    got = (count_embeddings(path, pl, g, gl, 100), count_embeddings(tri, tl, g, gl, 100),
           count_embeddings(edge, el, g, gl, 100))
    if got != (10, 6, 1):
        print("graph-tool self-check failed: counts %s, expected (10, 6, 1)" % (got,))
        return False
    return True


def run_tool(build, data, queries_path, cap, extra=()):
    """Runs sgmatch on the query file with symmetry lines removed and maxfreq=cap; returns its
    stdout."""
    tmp = tempfile.mkdtemp(prefix="crosscheck-", dir=os.path.dirname(os.path.abspath(data)))
    try:
        stripped = os.path.join(tmp, "queries")
        with open(queries_path) as src, open(stripped, "w") as dst:
            dst.writelines(line for line in src if not line.startswith("a"))
        os.makedirs(os.path.join(tmp, "stats"))
        proc = subprocess.run(
            [os.path.join(os.path.abspath(build), "sgmatch"), "data=" + os.path.abspath(data), "query=queries",
             "subgraph=subgraphs", "stats=stats", "maxfreq=%d" % cap] + list(extra),
            cwd=tmp, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            stdin=subprocess.DEVNULL)
        if proc.returncode != 0:
            print("sgmatch exited with %d:\n%s" % (proc.returncode, proc.stdout[-2000:]))
            return None
        return proc.stdout
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def parse_tool_output(text):
    """{query number: (freq, sym flag, note)}"""
    result = {}
    for line in text.splitlines():
        m = FREQ_LINE.match(line)
        if m:
            result[int(m.group(1))] = (int(m.group(4)), int(m.group(3)), m.group(5).strip())
    return result


def child_count(conn, query, g, g_label, cap):
    labels, edges, _ = query
    sub, sub_label = make_graph(labels, edges)
    conn.send(count_embeddings(sub, sub_label, g, g_label, cap))
    conn.close()


def main():
    parser = argparse.ArgumentParser(description="Compare sgmatch counts with graph-tool's.")
    parser.add_argument("--data", required=True)
    parser.add_argument("--queries", required=True, help="query file (symmetry lines ignored)")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--build", help="build directory with sgmatch: run it here")
    source.add_argument("--tool-output", help="stdout of an earlier sgmatch run on the file")
    parser.add_argument("--budget", type=float, default=30.0,
                        help="seconds graph-tool may spend on one query")
    parser.add_argument("--cap", type=int, default=100000,
                        help="queries with more embeddings than this are skipped")
    parser.add_argument("--tool-args", default="",
                        help="extra key=value arguments for sgmatch, separated by spaces (list=0: count "
                             "without listing)")
    args = parser.parse_args()

    if not self_check():
        return 2
    if args.build:
        text = run_tool(args.build, args.data, args.queries, args.cap, args.tool_args.split())
        if text is None:
            return 2
    else:
        with open(args.tool_output) as f:
            text = f.read()
    tool = parse_tool_output(text)
    queries = read_queries(args.queries)
    labels, edges = read_data_graph(args.data)
    g, g_label = make_graph(labels, edges)
    ctx = multiprocessing.get_context("fork")

    matched, mismatched, skipped = 0, [], []
    print("| query | vertices | edges | sgmatch | graph-tool | result | seconds |")
    print("|---|---|---|---|---|---|---|")
    for k, query in enumerate(queries):
        def row(tool_text, gt_text, result, seconds=""):
            print("| %d | %d | %d | %s | %s | %s | %s |" % (
                k, len(query[0]), len(query[1]), tool_text, gt_text, result, seconds),
                flush=True)
        if k not in tool:
            skipped.append(k)
            row("-", "-", "skipped: no sgmatch line")
            continue
        freq, sym, note = tool[k]
        if sym and not args.build:
            skipped.append(k)
            row(freq, "-", "skipped: symmetry lines")
            continue
        if "maxfreq" in note or freq > args.cap:
            skipped.append(k)
            row(freq, "-", "skipped: over the count cap")
            continue
        start = time.monotonic()
        recv, send = ctx.Pipe(duplex=False)
        proc = ctx.Process(target=child_count, args=(send, query, g, g_label, args.cap))
        proc.start()
        send.close()
        count, failed = None, False
        if recv.poll(args.budget):
            try:
                count = recv.recv()
            except EOFError:  # the child died without an answer
                failed = True
        proc.join(0 if count is None else None)
        if proc.is_alive():
            proc.kill()
            proc.join()
        seconds = "%.2f" % (time.monotonic() - start)
        if failed:
            mismatched.append(k)
            row(freq, "-", "ERROR: graph-tool process died", seconds)
        elif count is None:
            skipped.append(k)
            row(freq, "-", "skipped: over the time budget", seconds)
        elif count > args.cap:
            skipped.append(k)
            row(freq, ">%d" % args.cap, "skipped: over the count cap", seconds)
        elif count == freq:
            matched += 1
            row(freq, count, "ok", seconds)
        else:
            mismatched.append(k)
            row(freq, count, "MISMATCH", seconds)
    print()
    print("%d matched, %d mismatched, %d skipped" % (matched, len(mismatched), len(skipped)))
    if mismatched:
        print("mismatched queries: %s" % " ".join(map(str, mismatched)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
