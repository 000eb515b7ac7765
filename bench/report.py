#!/usr/bin/env python3
"""Prints the figures of one bench/run as one table and checks the targets.

usage: report.py BENCH_JSON INTAKE_OUTPUT...

BENCH_JSON is mgm-bench's --benchmark_out (JSON); each INTAKE_OUTPUT holds
the output of one mgm-intake-bench run. Exit status 1 when a target is missed.
"""

import json
import re
import sys

RATIO_LIMIT = 15.0
BURST_TARGET = 500
BURST_TARGET_SIZE = 700

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def human_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}" if ns / scale < 100 else f"{ns / scale:.0f} {unit}"
    return f"{ns:.0f} ns"


def benchmark_rows(path):
    """(family, shape, n, wall ns, cpu ns, note) of every median, in run order."""
    with open(path) as f:
        data = json.load(f)
    rows = []
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        parts = [p for p in b["run_name"].split("/") if ":" not in p]
        family, n = parts[0], parts[-1]
        shape = "/".join(parts[1:-1])
        if family in ("spoolCleanup", "reader", "writer"):
            n = f"{n} {shape}"
            shape = "-"
        elif family == "cycle":
            n = f"{n} endpoints"
        else:
            n = "1 text"
        if b.get("error_occurred"):
            rows.append((family, shape, n, None, None, "ERROR: " + b.get("error_message", "")))
            continue
        scale = UNIT_NS[b["time_unit"]]
        note = f"{b['rules']:.0f} rule changes/cycle" if "rules" in b else ""
        rows.append((family, shape, n, b["real_time"] * scale, b["cpu_time"] * scale, note))
    return rows


def intake_figures(paths):
    """Per datagram size: sustained rate, bursts and largest lossless burst."""
    sizes = {}
    for path in paths:
        with open(path) as f:
            for line in f:
                if not line.startswith("intake "):
                    continue
                fields = dict(re.findall(r"(\w+)=(\S+)", line))
                entry = sizes.setdefault(int(fields["size"]), {"bursts": []})
                if "sustained_per_s" in fields:
                    entry["sustained"] = (int(fields["sustained_spooled"]), int(fields["sustained_sent"]),
                                          float(fields["sustained_per_s"]))
                elif "burst" in fields:
                    entry["bursts"].append((int(fields["burst"]), int(fields["burst_spooled"]),
                                            float(fields["burst_ms"])))
                elif "largest_lossless_burst" in fields:
                    entry["largest"] = int(fields["largest_lossless_burst"])
    return sizes


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    table = [("benchmark", "N", "shape", "wall time", "CPU time", "check / note")]
    # Interleaved repetitions come in random order: list by kind, shape, N.
    order = ["parseEndpointText", "spoolCleanup", "reader", "writer", "cycle"]
    shapes = ["plain", "path-suffix", "bracket-suffix", "-", "unchanged", "all-new", "5pct-changed"]
    rows = sorted(benchmark_rows(sys.argv[1]),
                  key=lambda r: (order.index(r[0]) if r[0] in order else len(order),
                                 shapes.index(r[1]) if r[1] in shapes else len(shapes), int(r[2].split()[0])))
    medians = {}
    for family, shape, n, wall, cpu, note in rows:
        medians[(family, shape, n)] = (wall, cpu)
        table.append((family, n, shape, human_time(wall) if wall else "-", human_time(cpu) if cpu else "-", note))

    failed = False
    small = medians.get(("cycle", "unchanged", "1000 endpoints"))
    large = medians.get(("cycle", "unchanged", "10000 endpoints"))
    if small and large and all(small) and all(large):
        cpu_ratio = large[1] / small[1]
        wall_ratio = large[0] / small[0]
        ok = cpu_ratio <= RATIO_LIMIT
        failed |= not ok
        table.append(("cycle ratio 10k/1k", "10000/1000", "unchanged", f"{wall_ratio:.1f}x", f"{cpu_ratio:.1f}x",
                      f"{'PASS' if ok else 'FAIL'} (CPU ratio <= {RATIO_LIMIT:g})"))
    else:
        failed = True
        table.append(("cycle ratio 10k/1k", "10000/1000", "unchanged", "-", "-", "FAIL (no figures)"))

    sizes = intake_figures(sys.argv[2:])
    for size in sorted(sizes):
        entry = sizes[size]
        if "sustained" in entry:
            spooled, sent, rate = entry["sustained"]
            table.append(("intake sustained", f"{sent} files", f"{size} B, paced", f"{rate:.0f} files/s", "",
                          f"{spooled} of {sent} spooled"))
        for count, spooled, ms in entry["bursts"]:
            table.append(("intake burst", f"{count} files", f"{size} B, at once", f"{ms:.0f} ms to spool", "",
                          "no loss" if spooled == count else f"LOSS: {spooled} of {count} spooled"))
        if "largest" in entry:
            largest = entry["largest"]
            shown = f"{largest} files" if largest else "< smallest tried"
            note = ""
            if size == BURST_TARGET_SIZE:
                ok = largest >= BURST_TARGET
                failed |= not ok
                note = f"{'PASS' if ok else 'FAIL'} (>= {BURST_TARGET} without loss)"
            table.append(("intake largest lossless burst", shown, f"{size} B, at once", "", "", note))
    if BURST_TARGET_SIZE not in sizes or "largest" not in sizes[BURST_TARGET_SIZE]:
        failed = True
        table.append(("intake largest lossless burst", "-", f"{BURST_TARGET_SIZE} B", "", "", "FAIL (no figures)"))

    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for index, row in enumerate(table):
        print("| " + " | ".join(cell.ljust(width) for cell, width in zip(row, widths)) + " |")
        if index == 0:
            print("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
