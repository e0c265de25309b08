#!/usr/bin/python3
# Converts real networks shipped with graph-tool into sgmatch data graph files with random
# labels: undirected, simple (no self-loops, no parallel edges), vertex ids kept.
# Writes <out>/<name>-L<labels>.graph and prints vertex and edge counts.
import argparse
import os
import sys
import zlib

import numpy as np

NETWORKS = ["email-Enron", "as-22july06", "cond-mat-2005", "pgp-strong-2009"]
LABEL_COUNTS = [8, 32]
SEED = 20240601


def simple_edges(graph):
    """Edges of the graph as an (m, 2) array with u < v, each undirected pair once, sorted."""
    edges = graph.get_edges()[:, :2].astype(np.int64)
    edges = edges[edges[:, 0] != edges[:, 1]]
    edges = np.sort(edges, axis=1)
    edges = np.unique(edges, axis=0)  # also sorts lexicographically
    return edges


def random_labels(count, labels, seed):
    return np.random.default_rng(seed).integers(0, labels, size=count)


def write_graph(path, labels, edges):
    tmp = path + ".tmp"
    with open(tmp, "w") as out:
        out.write("t %d %d\n" % (len(labels), len(edges)))
        out.write("".join("v %d %d\n" % (i, l) for i, l in enumerate(labels.tolist())))
        out.write("".join("e %d %d\n" % (u, v) for u, v in edges.tolist()))
    os.replace(tmp, path)


def convert(name, out_dir, label_counts, seed):
    import graph_tool.collection

    graph = graph_tool.collection.data[name]
    edges = simple_edges(graph)
    n = graph.num_vertices()
    written = []
    for labels in label_counts:
        # One seed per (network, label count) so each file can be regenerated on its own.
        label_seed = [seed, labels, zlib.crc32(name.encode())]
        path = os.path.join(out_dir, "%s-L%d.graph" % (name, labels))
        write_graph(path, random_labels(n, labels, label_seed), edges)
        written.append(path)
    print("%s: %d vertices, %d edges (input: %d edges, %s)"
          % (name, n, len(edges), graph.num_edges(),
             "directed" if graph.is_directed() else "undirected"))
    return written


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", default=os.path.join(here, "out", "real"))
    parser.add_argument("--networks", default=",".join(NETWORKS))
    parser.add_argument("--labels", default=",".join(map(str, LABEL_COUNTS)))
    parser.add_argument("--seed", type=int, default=SEED)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for name in args.networks.split(","):
        try:
            convert(name, args.out, [int(x) for x in args.labels.split(",")], args.seed)
        except KeyError:
            print("unknown network %s" % name)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
