#!/usr/bin/python3
# Workload runner: runs query sets against data graphs with the fast engine (sgmatch) and the
# reference engine (sgmatch-literal), or any other binaries with the same command line
# (--binary NAME=PATH, for instance an earlier build), checks that all produce identical outputs and
# prints a markdown table of completion, times, throughput and memory. --suite builds the standard
# workloads under bench/out/suite first.
import argparse
import filecmp
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
ENGINE_BINARIES = {"fast": "sgmatch", "literal": "sgmatch-literal"}

QUERY_LINE = re.compile(
    r"^(?P<num>\d+)\t#nodes: (?P<nodes>\d+)\tSym: (?P<sym>[01])\tFreq: (?P<freq>\d+)"
    r"\tTime/ms: (?P<ms>[0-9.eE+-]+)(?P<note> \[pruned by (?:maxfreq|zero freq)\])?$")
TIME_FIELD = re.compile(r"Time/ms: [0-9.eE+-]+")
AVERAGE_LINE = re.compile(r"^Average time per query: [0-9.eE+-]+s\. Done!$")


# ------------------------------------------------------------------------------------------
# Query files and tool output

def split_queries(path):
    """Query blocks of a query file: each a list of lines starting with its 't' line."""
    blocks = []
    with open(path) as f:
        for line in f:
            if line.startswith("t"):
                blocks.append([line])
            elif blocks:
                blocks[-1].append(line)
    return blocks


def mask_stdout(text):
    """The tool's stdout with the run-dependent timing figures masked."""
    lines = []
    for line in text.splitlines():
        line = TIME_FIELD.sub("Time/ms: *", line)
        if AVERAGE_LINE.match(line):
            line = "Average time per query: *s. Done!"
        lines.append(line)
    return "\n".join(lines) + "\n"


def parse_stdout(text):
    """{query number: dict(freq, ms, sym, note)} from the tool's stdout; 'done' if it finished."""
    queries, done = {}, False
    for line in text.splitlines():
        m = QUERY_LINE.match(line)
        if m:
            queries[int(m.group("num"))] = {
                "freq": int(m.group("freq")), "ms": float(m.group("ms")),
                "sym": int(m.group("sym")), "note": (m.group("note") or "").strip()}
        elif AVERAGE_LINE.match(line):
            done = True
    return queries, done


# ------------------------------------------------------------------------------------------
# Running one engine process

# The engines list every embedding in the stats files; without a frequency limit these reach
# tens of gigabytes within a minute. A run is stopped when free space falls below this.
MIN_FREE_BYTES = 4 << 30


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


# Peak memory comes from /usr/bin/time (Debian package "time"): a child forked by Python reports
# at least Python's own resident size as its ru_maxrss, since the kernel keeps the high-water mark
# of the memory image the child replaced at exec. /usr/bin/time forks the engine from a small
# process instead.
GNU_TIME = "/usr/bin/time"


def run_process(cmd, cwd, stdout_path, timeout):
    """Runs cmd (through /usr/bin/time when present) and returns (exit code, or "timeout" or
    "disk", wall seconds, peak resident set in KiB)."""
    if not os.access(GNU_TIME, os.X_OK):
        return run_plain(cmd, cwd, stdout_path, timeout)
    rss_path = stdout_path + ".rss"
    code, wall, rss = run_plain([GNU_TIME, "-f", "%M", "-o", rss_path] + cmd, cwd,
                                stdout_path, timeout)
    try:
        with open(rss_path) as f:
            lines = f.read().split()
        rss = int(lines[-1])
        os.unlink(rss_path)
    except (OSError, ValueError, IndexError):
        pass  # killed before time wrote it: keep the (overstated) rusage figure
    return code, wall, rss


def run_plain(cmd, cwd, stdout_path, timeout):
    """Runs cmd with stdout to stdout_path and stderr to stdout_path + ".err". Returns (exit code, or "timeout" or
    "disk" when it was stopped, wall seconds, peak resident set in KiB). The process gets its
    own process group, killed as a whole when the time limit passes or the disk fills up."""
    with open(stdout_path, "wb") as out, open(stdout_path + ".err", "wb") as err:
        start = time.monotonic()
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=err,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        lock, state = threading.Lock(), {"done": False, "killed": None}

        def kill(reason):
            with lock:
                if not state["done"] and state["killed"] is None:
                    state["killed"] = reason
                    try:
                        os.killpg(proc.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass

        def watch():
            while not state["done"]:
                if timeout and time.monotonic() - start > timeout:
                    kill("timeout")
                elif free_bytes(cwd) < MIN_FREE_BYTES:
                    kill("disk")
                time.sleep(0.05)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        # Wait without reaping, so the watcher can never signal a recycled process id.
        os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
        wall = time.monotonic() - start
        with lock:
            state["done"] = True
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        watcher.join()
    code = state["killed"] or proc.returncode
    return code, wall, usage.ru_maxrss


# Extra key=value arguments given to every engine (--args), and to one engine (--binary NAME=PATH ARGS).
EXTRA_ARGUMENTS = []
ENGINE_ARGUMENTS = {}


def engine_command(binary, data, query, maxfreq):
    cmd = [binary, "data=" + data, "query=" + query, "subgraph=subgraphs", "stats=stats"]
    if maxfreq is not None:
        cmd.append("maxfreq=%d" % maxfreq)
    return cmd + EXTRA_ARGUMENTS + ENGINE_ARGUMENTS.get(binary, [])


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(os.path.join(path, "stats"))
    return path


def run_whole_set(binary, data, query_file, workdir, maxfreq):
    """All queries of the set in one process (no time limit)."""
    fresh_dir(workdir)
    code, wall, rss = run_process(engine_command(binary, data, query_file, maxfreq), workdir,
                                  os.path.join(workdir, "stdout"), None)
    with open(os.path.join(workdir, "stdout"), errors="replace") as f:
        text = f.read()
    parsed, done = parse_stdout(text)
    results = {}
    for num, q in parsed.items():
        results[num] = dict(q, wall=None, rss=rss, status="ok" if code == 0 else "failed")
    return {"mode": "set", "code": code, "wall": wall, "rss": rss, "done": done,
            "queries": results, "stdout": text, "dir": workdir}


def run_per_query(binary, data, query_file, workdir, maxfreq, timeout):
    """Each query in its own process, with the time limit applied per query. Query k runs from
    a one-query file in workdir/q<k>/."""
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    results = {}
    for k, block in enumerate(split_queries(query_file)):
        qdir = fresh_dir(os.path.join(workdir, "q%d" % k))
        qfile = os.path.join(qdir, "query")
        with open(qfile, "w") as f:
            f.writelines(block)
        code, wall, rss = run_process(engine_command(binary, data, qfile, maxfreq), qdir,
                                      os.path.join(qdir, "stdout"), timeout)
        if code == "disk":
            shutil.rmtree(os.path.join(qdir, "stats"), ignore_errors=True)
            os.makedirs(os.path.join(qdir, "stats"))
        with open(os.path.join(qdir, "stdout"), errors="replace") as f:
            text = f.read()
        parsed, done = parse_stdout(text)
        if code in ("timeout", "disk"):
            status = code
        elif code != 0 or not done or len(parsed) != 1:
            status = "failed"
        else:
            status = "ok"
        entry = {"status": status, "code": code, "wall": wall, "rss": rss, "stdout": text,
                 "dir": qdir}
        if parsed:
            entry.update(next(iter(parsed.values())))
        results[k] = entry
    return {"mode": "query", "queries": results, "dir": workdir,
            "wall": sum(r["wall"] for r in results.values()),
            "rss": max([r["rss"] for r in results.values()] or [0])}


# ------------------------------------------------------------------------------------------
# Comparing the engines' outputs

def compare_dirs(a, b, label):
    """Differences between two output directories: stats files byte for byte and the
    subgraph file."""
    diffs = []
    stats_a = sorted(os.listdir(os.path.join(a, "stats")))
    stats_b = sorted(os.listdir(os.path.join(b, "stats")))
    if stats_a != stats_b:
        diffs.append("%s: stats files differ in names: %s vs %s"
                     % (label, " ".join(stats_a[:10]), " ".join(stats_b[:10])))
    for name in sorted(set(stats_a) & set(stats_b)):
        if not filecmp.cmp(os.path.join(a, "stats", name), os.path.join(b, "stats", name),
                           shallow=False):
            diffs.append("%s: stats file %s differs" % (label, name))
    sub_a, sub_b = os.path.join(a, "subgraphs"), os.path.join(b, "subgraphs")
    if os.path.exists(sub_a) != os.path.exists(sub_b):
        diffs.append("%s: subgraph file written by only one engine" % label)
    elif os.path.exists(sub_a) and not filecmp.cmp(sub_a, sub_b, shallow=False):
        diffs.append("%s: subgraph files differ" % label)
    return diffs


def first_difference(text_a, text_b):
    lines_a, lines_b = text_a.splitlines(), text_b.splitlines()
    for i in range(max(len(lines_a), len(lines_b))):
        la = lines_a[i] if i < len(lines_a) else "<missing>"
        lb = lines_b[i] if i < len(lines_b) else "<missing>"
        if la != lb:
            return "line %d: %r vs %r" % (i + 1, la, lb)
    return "none"


def compare_runs(run_a, run_b, names):
    """List of differences between two engines' runs of the same set."""
    label = "%s vs %s" % names
    if run_a["mode"] == "set":
        diffs = []
        if run_a["code"] != run_b["code"]:
            diffs.append("%s: exit codes %s vs %s" % (label, run_a["code"], run_b["code"]))
        ma, mb = mask_stdout(run_a["stdout"]), mask_stdout(run_b["stdout"])
        if ma != mb:
            diffs.append("%s: stdout differs, first at %s" % (label, first_difference(ma, mb)))
        return diffs + compare_dirs(run_a["dir"], run_b["dir"], label)
    diffs = []
    for k, qa in run_a["queries"].items():
        qb = run_b["queries"][k]
        if qa["status"] != "ok" or qb["status"] != "ok":
            continue
        ma, mb = mask_stdout(qa["stdout"]), mask_stdout(qb["stdout"])
        if ma != mb:
            diffs.append("%s, query %d: stdout differs, first at %s"
                         % (label, k, first_difference(ma, mb)))
        diffs += compare_dirs(qa["dir"], qb["dir"], "%s, query %d" % (label, k))
    return diffs


# ------------------------------------------------------------------------------------------
# Summaries

def median(values):
    return statistics.median(values) if values else None


def summarize(run):
    done = {k: q for k, q in run["queries"].items() if q["status"] == "ok"}
    ms = [q["ms"] for q in done.values()]
    walls = [q["wall"] for q in done.values() if q["wall"] is not None]
    freq = sum(q["freq"] for q in done.values())
    total_ms = sum(ms)
    return {
        "completed": len(done), "total": None, "failed": sum(
            1 for q in run["queries"].values() if q["status"] == "failed"),
        "tool_total_ms": total_ms, "tool_median_ms": median(ms),
        "wall_total_s": run["wall"] if run["mode"] == "set" else sum(walls),
        "wall_median_s": median(walls), "embeddings": freq,
        "embeddings_per_s": freq / (total_ms / 1000.0) if total_ms > 0 else None,
        "peak_rss_mib": run["rss"] / 1024.0,
    }


def ratio_summary(run_fast, run_lit):
    """second/first (literal/fast by default) over the queries both engines completed (tool's Time/ms figures; per-query
    ratios only where the fast time is non-zero)."""
    both = [k for k, q in run_fast["queries"].items()
            if q["status"] == "ok" and run_lit["queries"].get(k, {}).get("status") == "ok"]
    fast = [run_fast["queries"][k]["ms"] for k in both]
    lit = [run_lit["queries"][k]["ms"] for k in both]
    ratios = [l / f for f, l in zip(fast, lit) if f > 0]
    out = {"both": len(both), "median_ratio": median(ratios),
           "total_ratio": sum(lit) / sum(fast) if sum(fast) > 0 else None}
    if run_fast["mode"] == "query":
        wf = sum(run_fast["queries"][k]["wall"] for k in both)
        wl = sum(run_lit["queries"][k]["wall"] for k in both)
        out["wall_total_ratio"] = wl / wf if wf > 0 else None
    return out


def fmt(value, digits=1):
    if value is None:
        return "-"
    if isinstance(value, int):
        return str(value)
    if abs(value) >= 1e6:
        return "%.3g" % value
    return "%.*f" % (digits, value)


def cactus_plot(rows, engines, settings, path):
    """Per engine, its completed queries of every set sorted by the tool's time: the n-th point is
    the time within which n queries completed."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 4.5))
    total = sum(r["summary"]["total"] or 0 for r in rows if r["engine"] == engines[0])
    for engine in engines:
        times = sorted(max(ms / 1000.0, 1e-6) for r in rows if r["engine"] == engine for ms in r["ms"])
        ax.plot(range(1, len(times) + 1), times, label="%s (%d/%d)" % (engine, len(times), total),
                drawstyle="steps-post")
    ax.set_yscale("log")
    ax.set_xlabel("queries completed")
    ax.set_ylabel("time per query (s, the tool's Time/ms)")
    ax.set_title(settings if len(settings) < 90 else settings[:87] + "...", fontsize=8)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def markdown_report(rows, ratios, settings):
    lines = ["# sgmatch workloads", "",
             "Settings: %s" % settings, "",
             "| data | queries | engine | done | tool total ms | tool median ms | wall total s "
             "| wall median s | embeddings | emb/s | peak MiB |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        s = r["summary"]
        lines.append("| %s | %s | %s | %d/%d%s | %s | %s | %s | %s | %s | %s | %s |" % (
            r["data"], r["queries"], r["engine"], s["completed"], s["total"],
            " (%d failed)" % s["failed"] if s["failed"] else "",
            fmt(s["tool_total_ms"]), fmt(s["tool_median_ms"], 2), fmt(s["wall_total_s"], 2),
            fmt(s["wall_median_s"], 3), s["embeddings"], fmt(s["embeddings_per_s"], 0),
            fmt(s["peak_rss_mib"])))
    # Over every completed query of each data graph, and of all of them together.
    overall = {}
    for r in rows:
        for key in (r["data"], "all data graphs"):
            entry = overall.setdefault((key, r["engine"]), {"ms": [], "done": 0, "total": 0})
            entry["ms"] += r.get("ms", [])
            entry["done"] += r["summary"]["completed"]
            entry["total"] += r["summary"]["total"] or 0
    if overall:
        lines += ["", "Over all query sets (tool's Time/ms of each completed query):", "",
                  "| data | engine | done | median ms | 90th percentile ms | total ms |",
                  "|---|---|---|---|---|---|"]
        for (data, engine), e in sorted(overall.items(), key=lambda item: item[0][0] == "all data graphs"):
            ms = sorted(e["ms"])
            p90 = ms[min(len(ms) - 1, int(0.9 * len(ms)))] if ms else None
            lines.append("| %s | %s | %d/%d | %s | %s | %s |" % (
                data, engine, e["done"], e["total"], fmt(median(ms), 2), fmt(p90, 2), fmt(sum(ms))))
    if ratios:
        lines += ["", "Ratios of each engine to the first over queries both completed (tool's "
                  "Time/ms; wall totals include loading the data graph):", "",
                  "| data | queries | ratio | both done | median ratio | total ratio | wall total ratio |",
                  "|---|---|---|---|---|---|---|"]
        for r in ratios:
            lines.append("| %s | %s | %s | %d | %s | %s | %s |" % (
                r["data"], r["queries"], r["pair"], r["both"], fmt(r["median_ratio"], 2),
                fmt(r["total_ratio"], 2), fmt(r.get("wall_total_ratio"), 2)))
    return "\n".join(lines) + "\n"


# ------------------------------------------------------------------------------------------
# Running pairs of (data graph, query set)

def run_pairs(pairs, args, engines):
    binaries = {}
    for engine in engines:
        path = ENGINE_BINARIES[engine]
        if not os.path.isabs(path):
            path = os.path.join(args.build, path)
        if not os.access(path, os.X_OK):
            print("missing engine binary %s" % path)
            sys.exit(2)
        binaries[engine] = path
    per_query = args.timeout is not None or args.per_query
    rows, ratios, all_diffs, crashes = [], [], [], []
    for data, query_file in pairs:
        data_name = os.path.splitext(os.path.basename(data))[0]
        set_name = os.path.splitext(os.path.basename(query_file))[0]
        nqueries = len(split_queries(query_file))
        runs = {}
        for engine in engines:
            workdir = os.path.join(args.work, data_name, set_name, engine)
            if per_query:
                run = run_per_query(binaries[engine], os.path.abspath(data),
                                    os.path.abspath(query_file), workdir, args.maxfreq,
                                    args.timeout)
            else:
                run = run_whole_set(binaries[engine], os.path.abspath(data),
                                    os.path.abspath(query_file), workdir, args.maxfreq)
            runs[engine] = run
            summary = summarize(run)
            summary["total"] = nqueries
            failed = [k for k, q in run["queries"].items() if q["status"] == "failed"]
            if run["mode"] == "set" and (run["code"] != 0 or not run["done"]):
                failed = ["set (exit code %s)" % run["code"]]
            for k in failed:
                crashes.append("%s on %s/%s: query %s did not finish normally"
                               % (engine, data_name, set_name, k))
            for k, q in run["queries"].items():
                if q["status"] == "disk":
                    crashes.append("%s on %s/%s: query %s stopped, the disk was nearly full"
                                   % (engine, data_name, set_name, k))
            rows.append({"data": data_name, "queries": set_name, "engine": engine,
                         "summary": summary,
                         "ms": [q["ms"] for q in run["queries"].values() if q["status"] == "ok"]})
            print("%s %s %s: %d/%d done, tool %.1f ms, wall %.2f s" % (
                data_name, set_name, engine, summary["completed"], nqueries,
                summary["tool_total_ms"], summary["wall_total_s"]), flush=True)
        # Every engine against the first: outputs byte for byte, times as ratios.
        for other in engines[1:]:
            diffs = compare_runs(runs[engines[0]], runs[other], (engines[0], other))
            for d in diffs:
                print("DIFFERENCE %s/%s: %s" % (data_name, set_name, d), flush=True)
            all_diffs += ["%s/%s: %s" % (data_name, set_name, d) for d in diffs]
            ratios.append(dict(ratio_summary(runs[engines[0]], runs[other]),
                               data=data_name, queries=set_name, pair="%s/%s" % (other, engines[0])))
        if not args.keep:
            for engine in engines:
                shutil.rmtree(runs[engine]["dir"], ignore_errors=True)
    settings = "engines %s; maxfreq %s; arguments %s; %s" % (
        ",".join(engines), args.maxfreq if args.maxfreq is not None else "unlimited",
        " ".join(EXTRA_ARGUMENTS) or "none",
        "one process per query, time limit %s s" % args.timeout if per_query
        else "one process per query set, no time limit")
    report = markdown_report(rows, ratios, settings)
    if args.cactus:
        cactus_plot(rows, engines, settings, args.cactus)
        print("Cactus plot: %s" % args.cactus)
    if all_diffs or crashes:
        report += "\n## Problems\n\n" + "".join("- %s\n" % d for d in crashes + all_diffs)
    print()
    print(report)
    os.makedirs(os.path.dirname(os.path.abspath(args.report)), exist_ok=True)
    with open(args.report, "w") as f:
        f.write(report)
    with open(os.path.splitext(args.report)[0] + ".json", "w") as f:
        json.dump({"rows": rows, "ratios": ratios, "differences": all_diffs,
                   "crashes": crashes}, f, indent=1)
    print("Report written to %s" % args.report)
    if all_diffs:
        print("FAILED: the engines' outputs differ (%d differences)" % len(all_diffs))
        return 1
    if crashes:
        print("FAILED: %d runs did not finish normally" % len(crashes))
        return 1
    return 0


# ------------------------------------------------------------------------------------------
# The standard suite

SUITE_SIZES = [4, 8, 12, 16, 24]
SUITE_DENSITIES = ["sparse", "dense"]
# name: (vertices, edges); each with 8 and 32 labels
SUITE_POWER_LAW = {"pl-10k": (10000, 50000), "pl-100k": (100000, 800000),
                   "pl-1m": (1000000, 3000000)}


def call(cmd):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print(proc.stdout.strip(), flush=True)
    if proc.returncode != 0:
        print("command failed: %s" % " ".join(cmd))
        sys.exit(2)


def build_suite(args):
    """Generates (or reuses) the suite's data graphs and query sets; returns the pairs."""
    generator = os.path.join(args.build, "sgmatch-workload")
    base = os.path.join(OUT, "suite")
    graph_dir, query_dir = os.path.join(base, "graphs"), os.path.join(base, "queries")
    os.makedirs(graph_dir, exist_ok=True)
    wanted = args.graphs.split(",") if args.graphs else None

    def selected(name):
        return wanted is None or any(w in name for w in wanted)

    graphs = []
    for name, (n, m) in SUITE_POWER_LAW.items():
        for labels in (8, 32):
            gname = "%s-L%d" % (name, labels)
            path = os.path.join(graph_dir, gname + ".graph")
            if not selected(gname):
                continue
            if not os.path.exists(path) or args.regenerate:
                call([generator, "graph", "vertices=%d" % n, "edges=%d" % m,
                      "labels=%d" % labels, "seed=%d" % zlib.crc32(gname.encode()),
                      "out=" + path])
            graphs.append(path)
    hprd_src = "/work/shared/data/HPRD.graph"
    hprd = os.path.join(graph_dir, "HPRD.graph")
    if selected("HPRD"):
        if not os.path.exists(hprd) and os.path.exists(hprd_src):
            shutil.copyfile(hprd_src, hprd)
        if os.path.exists(hprd):
            graphs.append(hprd)
        else:
            print("HPRD.graph not available; skipped")
    sys.path.insert(0, HERE)
    import real_graphs
    real_dir = os.path.join(OUT, "real")
    os.makedirs(real_dir, exist_ok=True)
    for net in real_graphs.NETWORKS:
        paths = [os.path.join(real_dir, "%s-L%d.graph" % (net, l))
                 for l in real_graphs.LABEL_COUNTS]
        if not any(selected(os.path.basename(p)[:-6]) for p in paths):
            continue
        if args.regenerate or not all(os.path.exists(p) for p in paths):
            real_graphs.convert(net, real_dir, real_graphs.LABEL_COUNTS, real_graphs.SEED)
        graphs += [p for p in paths if selected(os.path.basename(p)[:-6])]

    sizes = [int(s) for s in args.sizes.split(",")]
    densities = args.densities.split(",")
    pairs = []
    for graph in graphs:
        gname = os.path.splitext(os.path.basename(graph))[0]
        gq = os.path.join(query_dir, gname)
        os.makedirs(gq, exist_ok=True)
        for density in densities:
            for size in sizes:
                # The same seed with and without symmetry lines: the same queries, so the two
                # sets can be compared directly.
                seed = zlib.crc32(("%s/%s/%d" % (gname, density, size)).encode())
                variants = [0, 1] if size <= 12 and not args.no_symmetry else [0]
                for sym in variants:
                    qpath = os.path.join(gq, "%s-%d%s.txt" % (density, size,
                                                              "-sym" if sym else ""))
                    if args.regenerate or not os.path.exists(qpath):
                        call([generator, "queries", "data=" + graph, "count=%d" % args.count,
                              "size=%d" % size, "density=" + density, "seed=%d" % seed,
                              "out=" + qpath, "symmetry=%d" % sym])
                    pairs.append((graph, qpath))
    return pairs


def main():
    parser = argparse.ArgumentParser(
        description="Run query sets with sgmatch and sgmatch-literal and compare them.")
    parser.add_argument("--build", required=True, help="build directory with the binaries")
    parser.add_argument("--data", nargs="+", default=[], help="data graph files")
    parser.add_argument("--queries", nargs="+", default=[],
                        help="query files; each runs against each data graph")
    parser.add_argument("--maxfreq", type=int, default=None,
                        help="passed as maxfreq=N (default: not passed, unlimited)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="time limit per query in seconds; implies one process per query")
    parser.add_argument("--per-query", action="store_true",
                        help="one process per query even without a time limit")
    parser.add_argument("--engines", default="fast,literal",
                        help="engines to run, the first is the reference of the comparisons: "
                             "fast, literal, or names given with --binary")
    parser.add_argument("--binary", action="append", default=[], metavar="NAME=PATH [ARGS]",
                        help="another binary with sgmatch's command line, run as engine NAME, with "
                             "key=value arguments of its own after the path (the same binary may be "
                             "given under several names with different arguments)")
    parser.add_argument("--args", default="",
                        help="extra key=value arguments for every engine, separated by spaces")
    parser.add_argument("--work", default=os.path.join(OUT, "runs"),
                        help="directory for the engines' output files")
    parser.add_argument("--keep", action="store_true", help="keep the engines' output files")
    parser.add_argument("--report", default=os.path.join(OUT, "report.md"))
    parser.add_argument("--suite", action="store_true", help="build and run the standard suite")
    parser.add_argument("--graphs", default="",
                        help="suite: comma-separated substrings selecting data graphs")
    parser.add_argument("--sizes", default=",".join(map(str, SUITE_SIZES)))
    parser.add_argument("--densities", default=",".join(SUITE_DENSITIES))
    parser.add_argument("--count", type=int, default=20, help="suite: queries per set")
    parser.add_argument("--no-symmetry", action="store_true",
                        help="suite: skip the query sets with symmetry lines")
    parser.add_argument("--regenerate", action="store_true",
                        help="suite: regenerate graphs and query sets that exist")
    parser.add_argument("--generate-only", action="store_true")
    parser.add_argument("--cactus", metavar="PNG",
                        help="also draw a cactus plot (queries completed against the tool's time per "
                             "query, one line per engine) into this file; needs matplotlib")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.work = os.path.abspath(args.work)

    for entry in args.binary:
        name, _, rest = entry.partition("=")
        words = rest.split()
        if not name or not words:
            print("--binary takes NAME=PATH [ARGS]")
            return 2
        # A symbolic link per name keeps engines with the same binary and different arguments apart.
        path = os.path.abspath(words[0])
        if len(words) > 1:
            alias_dir = os.path.join(OUT, "engines")
            os.makedirs(alias_dir, exist_ok=True)
            alias = os.path.join(alias_dir, name)
            if os.path.lexists(alias):
                os.unlink(alias)
            os.symlink(path, alias)
            path = alias
            ENGINE_ARGUMENTS[path] = words[1:]
        ENGINE_BINARIES[name] = path
    EXTRA_ARGUMENTS.extend(args.args.split())
    engines = [e for e in args.engines.split(",") if e]
    if not engines or any(e not in ENGINE_BINARIES for e in engines):
        print("--engines takes names among: %s" % ", ".join(sorted(ENGINE_BINARIES)))
        return 2
    if args.suite:
        pairs = build_suite(args)
        if args.generate_only:
            print("%d query sets ready" % len(pairs))
            return 0
    else:
        if not args.data or not args.queries:
            print("give --data and --queries, or --suite")
            return 2
        pairs = [(d, q) for d in args.data for q in args.queries]
    return run_pairs(pairs, args, engines)


if __name__ == "__main__":
    sys.exit(main())
