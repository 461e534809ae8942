#!/usr/bin/env python3
"""Ratio table of a benchmark run: reads the JSON results that
scripts/bench.sh leaves in a directory (ABI-PROGRAM.json, run with
repetitions), takes the median of each benchmark, and prints for every
operation the library's time divided by its peer's, per ABI, beside the
goal. Writes the same table as ratios.txt and, when gnuplot is there, as
the chart ratios.png in that directory.

usage: bench_ratios.py RESULT_DIR ABI...
"""
import glob
import json
import os
import shutil
import subprocess
import sys

# Operation, library benchmarks, peer benchmarks (times summed on each
# side), peer's name, goal (the largest ratio wanted; None: shown only).
ROWS = [
    ("hash find", ["BM_HashFind/100000"], ["BM_GHashFind/100000"], "GHashTable", 2.5),
    ("hash find, 10 000 keys", ["BM_HashFind/10000"], ["BM_GHashFind/10000"],
     "GHashTable", None),
    ("hash insert+delete", ["BM_HashInsert", "BM_HashDelete"],
     ["BM_GHashInsert", "BM_GHashDelete"], "GHashTable", 2.5),
    ("hash find", ["BM_HashFind/100000"], ["BM_MapFind"], "unordered_map", None),
    ("hash find, int index", ["BM_HashFindIntIndex"], ["BM_GHashFind/100000"],
     "GHashTable", None),
    ("tree find (balanced)", ["BM_TreeFind"], ["BM_GTreeFind"], "GTree", 1.0),
    ("tree insert+balance", ["BM_TreeInsert"], ["BM_GTreeInsert"], "GTree", None),
    ("tree delete", ["BM_TreeDelete"], ["BM_GTreeDelete"], "GTree", None),
    ("list push+pop", ["BM_ListPushPop"], ["BM_GQueuePushPop"], "GQueue", 1.5),
    ("list iterate", ["BM_ListIterate"], ["BM_GQueueIterate"], "GQueue", 1.5),
    ("ztatob encode 200 MiB", ["BM_ZtatobToolEncode"], ["BM_Base64ToolEncode"],
     "base64", 1.0),
    ("ztatob -d 200 MiB", ["BM_ZtatobToolDecode"], ["BM_Base64ToolDecode"],
     "base64 -d", 1.0),
    ("atobEncode 1 MiB", ["BM_Encode"], ["BM_Memcpy"], "memcpy", 12.0),
    ("atobDecode 1 MiB", ["BM_Decode"], ["BM_Memcpy"], "memcpy", 16.0),
    ("restart request", ["BM_RestartRequest"], ["BM_BareExchange"],
     "bare socket", 1.3),
    ("restart request", ["BM_RestartRequest"], ["BM_TransportExchange"],
     "transport", None),
    ("transport exchange", ["BM_TransportExchange"], ["BM_BareExchange"],
     "bare socket", None),
    ("zt_getline 4 KiB", ["BM_ZtGetline/4096"], ["BM_ReadMemchr/4096"],
     "read+memchr", 1.1),
    ("zt_getline 64 KiB", ["BM_ZtGetline/65536"], ["BM_ReadMemchr/65536"],
     "read+memchr", 1.1),
    ("zt_getline 4 KiB", ["BM_ZtGetline/4096"], ["BM_ReadMemchrCopy/4096"],
     "+line copy", None),
    ("zt_getline 64 KiB", ["BM_ZtGetline/65536"], ["BM_ReadMemchrCopy/65536"],
     "+line copy", None),
    ("ztmsg send+get", ["BM_ZtmsgSendGet"], ["BM_RawMsgsndMsgrcv"],
     "msgsnd+msgrcv", 2.0),
    ("ztmsg send+get", ["BM_ZtmsgSendGet"], ["BM_RawWithKeyLookup"],
     "raw+key lookup", None),
    ("raw+key lookup", ["BM_RawWithKeyLookup"], ["BM_RawMsgsndMsgrcv"],
     "msgsnd+msgrcv", None),
]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def medians(result_dir, abi):
    """Benchmark name (without its /real_time or /iterations suffixes) to
    its median time in ns: wall-clock time where the benchmark asked for
    it, CPU time otherwise."""
    times = {}
    for path in glob.glob(os.path.join(result_dir, abi + "-*.json")):
        # A program whose benchmarks a filter left out writes an empty file.
        if os.path.getsize(path) == 0:
            continue
        with open(path) as f:
            for b in json.load(f).get("benchmarks", []):
                if b.get("aggregate_name") != "median":
                    continue
                name = b["run_name"]
                wall = "/real_time" in name
                for suffix in ("/real_time", "/iterations:1"):
                    name = name.replace(suffix, "")
                t = b["real_time"] if wall else b["cpu_time"]
                times[name] = t * UNIT_NS[b.get("time_unit", "ns")]
    return times


def ratio(times, library, peer):
    if not all(n in times for n in library + peer):
        return None
    return sum(times[n] for n in library) / sum(times[n] for n in peer)


def main():
    result_dir, abis = sys.argv[1], sys.argv[2:]
    per_abi = {abi: medians(result_dir, abi) for abi in abis}
    table = []
    for label, library, peer, peer_name, goal in ROWS:
        ratios = [ratio(per_abi[abi], library, peer) for abi in abis]
        table.append((label, peer_name, ratios, goal))

    def cell(r):
        return "   -   " if r is None else "%7.2f" % r

    lines = ["Time of the library / time of the peer, medians of one run "
             "(below 1: the library is faster)",
             "%-22s %-14s %s  %-6s %s" % ("operation", "peer",
                                          " ".join("%7s" % a for a in abis),
                                          "goal", "met")]
    for label, peer_name, ratios, goal in table:
        known = [r for r in ratios if r is not None]
        met = "" if goal is None or not known else (
            "yes" if all(r <= goal for r in known) else "NO")
        lines.append("%-22s %-14s %s  %-6s %s" % (
            label, peer_name, " ".join(cell(r) for r in ratios),
            "-" if goal is None else "<=%g" % goal, met))
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    with open(os.path.join(result_dir, "ratios.txt"), "w") as f:
        f.write(text)
    chart(result_dir, abis, table)


def chart(result_dir, abis, table):
    """Bars per operation and ABI on a logarithmic axis, the goals as
    marks, the parity line at 1."""
    if not shutil.which("gnuplot"):
        print("bench: gnuplot not found, no chart written")
        return
    data = os.path.join(result_dir, "ratios.dat")
    with open(data, "w") as f:
        for label, peer_name, ratios, goal in table:
            f.write('"%s / %s" %s %s\n' % (
                label, peer_name,
                " ".join("NaN" if r is None else "%g" % r for r in ratios),
                "NaN" if goal is None else "%g" % goal))
    png = os.path.join(result_dir, "ratios.png")
    width = 0.8 / len(abis)
    plots = ["'%s' using ($0 + %g):%d with boxes title '%s'%s" % (
        data, (i - (len(abis) - 1) / 2) * width, 2 + i, abi,
        ", '' using ($0):(NaN):xtic(1) notitle" if i == 0 else "")
        for i, abi in enumerate(abis)]
    plots.append("'%s' using ($0):%d with points pt 7 ps 1.5 lc rgb 'red' "
                 "title 'goal (at most)'" % (data, 2 + len(abis)))
    script = """
set terminal pngcairo noenhanced size 1200,650 font 'sans,10'
set output '%(png)s'
set title 'zttools: time of the library / time of the peer, medians (lower is better)'
set style fill solid 0.7 border -1
set boxwidth %(width)g
set logscale y
set yrange [0.1:100]
set ytics (0.1, 0.25, 0.5, 1, 2, 5, 10, 20, 50, 100)
set grid ytics
set xrange [-0.6:%(last)g]
set xtics rotate by -40 scale 0 font ',9'
set bmargin 12
set key top right
set arrow from graph 0, first 1 to graph 1, first 1 nohead lw 2 lc rgb 'black'
plot %(plots)s
""" % {"png": png, "plots": ", ".join(plots), "width": width,
       "last": len(table) - 0.4}
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
    print("bench: chart written to " + png)


if __name__ == "__main__":
    main()
