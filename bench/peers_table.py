#!/usr/bin/env python3
"""peers_table.py RAW.csv OUTDIR -> the comparison table (markdown) of bench/peers.sh.

Cells are "median [min-max]" over the warm runs (run 0, the first press, is reported apart);
ratios compare each Tarvo build with the peer named in the row.
"""
import csv
import os
import sys
from collections import defaultdict


def median(xs):
    xs = sorted(xs)
    n = len(xs)
    return None if n == 0 else (xs[n // 2] if n % 2 else (xs[n // 2 - 1] + xs[n // 2]) / 2)


def add_whole_file_times(raw, writes, data):
    """Release -> last byte written, per run: the harness's release -> first bytes plus the
    time between the file's first and last write that write_watch saw."""
    try:
        lines = [l.split() for l in open(writes)]
    except OSError:
        return
    spans = defaultdict(list)  # path -> [last - first] per incarnation, in time order
    for path, first, last in sorted((l for l in lines if len(l) == 3), key=lambda l: float(l[1])):
        spans[path].append(float(last) - float(first))
    sizes = defaultdict(list)  # hotfile name -> sizes in the order they ran
    first_bytes = {}
    for test, name, size, run, metric, value in csv.reader(open(raw)):
        if metric != "file_after_release_ms" or float(value) < 0:
            continue
        first_bytes[(test, name, size, int(run))] = float(value)
        if test == "hotfile" and size not in sizes[name]:
            sizes[name].append(size)
    for (test, name, size, run), first in first_bytes.items():
        if test == "select":
            found = [p for p in spans if os.path.basename(p) == f"{name}-{size}-{run}.png"]
            span = spans[found[0]][0] if found else None
        else:
            safe = "".join(c if c.isalnum() or c in "_-" else "_" for c in name)
            path = next((p for p in spans if p.endswith(f"shots-{safe}/screenshot_{run + 1:05d}.png")),
                        None)
            index = sizes[name].index(size)
            span = spans[path][index] if path and index < len(spans[path]) else None
        if span is not None:
            data[(test, name, size, "whole_after_release_ms", run == 0)].append(first + span)


def main():
    raw, outdir = sys.argv[1], sys.argv[2]
    data = defaultdict(list)  # (test, name, size, metric, cold?) -> values
    for test, name, size, run, metric, value in csv.reader(open(raw)):
        v = float(value)
        if v < 0:
            continue
        data[(test, name, size, metric, int(run) == 0)].append(v)
    tarvos = sorted({k[1] for k in data if k[0] == "hotfile"})
    add_whole_file_times(raw, os.path.join(outdir, "writes.txt"), data)
    peers = [("ksnip", "ksnip-tray", "ksnip-r"), ("flameshot", None, "flameshot-gui"),
             ("scrot", None, "scrot-s")]
    sizes = ["1920x1080", "3840x2160"]

    def cell(test, name, size, metric, cold=False, fmt="ms"):
        xs = data.get((test, name, size, metric, cold), [])
        m = median(xs)
        if m is None:
            return "–", None
        if fmt == "mib":
            return f"{m / 1024:.1f}", m / 1024
        if cold or len(xs) == 1:
            return f"{m:.1f}", m
        return f"{m:.1f} [{min(xs):.1f}–{max(xs):.1f}]", m

    def peak(name):
        path = os.path.join(outdir, f"peak-{name}.kb")
        try:
            kb = int(open(path).read().strip() or 0)
        except (OSError, ValueError):
            return "–", None
        return (f"{kb / 1024:.1f}", kb / 1024) if kb > 0 else ("–", None)

    head = ["Figure (median [min–max])"] + tarvos + [p[0] for p in peers]
    rows = []

    def add(label, tarvo_cells, peer_cells, ratio_to=None):
        row = [label] + [c[0] for c in tarvo_cells] + [c[0] for c in peer_cells]
        if ratio_to is not None:
            ref = peer_cells[ratio_to][1] if ratio_to >= 0 else min(
                (c[1] for c in peer_cells if c[1] is not None), default=None)
            ratios = []
            for t, c in zip(tarvos, tarvo_cells):
                if c[1] is not None and ref:
                    ratios.append(f"{t} {c[1] / ref:.2f}×")
            row.append(", ".join(ratios) or "–")
        else:
            row.append("")
        rows.append(row)

    def painted(name, size, cold=False):
        # A server-painted overlay shows the frozen screen within the map request: no pixel
        # changes, so the poll sees nothing and the map time is the paint time (marked †).
        c = cell("hotkey", name, size, "paint_after_key_ms", cold)
        if c[1] is not None:
            return c
        c = cell("hotkey", name, size, "fullmap_after_key_ms", cold)
        return (c[0] + " †", c[1]) if c[1] is not None else c

    for size in sizes:
        add(f"hotkey → overlay painted, warm, {size}",
            [painted(t, size) for t in tarvos],
            [cell("hotkey", p[1], size, "paint_after_key_ms") if p[1] else ("–", None)
             for p in peers], ratio_to=0)
    for size in sizes:
        add(f"same, first press after start, {size}",
            [painted(t, size, cold=True) for t in tarvos],
            [cell("hotkey", p[1], size, "paint_after_key_ms", cold=True) if p[1]
             else ("–", None) for p in peers], ratio_to=0)
    for size in sizes:
        add(f"of which: overlay mapped (key → map), {size}",
            [cell("hotkey", t, size, "fullmap_after_key_ms") for t in tarvos],
            [cell("hotkey", p[1], size, "fullmap_after_key_ms") if p[1] else ("–", None)
             for p in peers])
    for size in sizes:
        add(f"release → file exists, {size} (Tarvo: hotkey route; peers: their selector)",
            [cell("hotfile", t, size, "file_after_release_ms") for t in tarvos],
            [cell("select", p[2], size, "file_after_release_ms") for p in peers], ratio_to=-1)
    for size in sizes:
        add(f"release → file whole (last byte written), {size}",
            [cell("hotfile", t, size, "whole_after_release_ms") for t in tarvos],
            [cell("select", p[2], size, "whole_after_release_ms") for p in peers], ratio_to=-1)
    add("RSS idle, MiB",
        [cell("idle", t, "1920x1080", "rss_kb", fmt="mib") for t in tarvos],
        [cell("idle", p[1], "1920x1080", "rss_kb", fmt="mib") if p[1] else ("–", None)
         for p in peers])
    add("RSS idle 20 s after start (version check done), MiB",
        [cell("idle", f"{t}@20s", "1920x1080", "rss_kb", fmt="mib") for t in tarvos],
        [("–", None) for p in peers])
    add("RSS after 11 captures at 3840x2160, MiB (ksnip: 11 hotkey presses)",
        [cell("hotfile", t, "3840x2160", "daemon_rss_after_kb", fmt="mib") for t in tarvos],
        [cell("hotkey", p[1], "3840x2160", "daemon_rss_after_kb", fmt="mib") if p[1]
         else ("–", None) for p in peers])
    add("peak RSS over the run, MiB", [peak(t) for t in tarvos],
        [peak(p[0]) if p[1] else ("–", None) for p in peers])

    print("| " + " | ".join(head + ["Tarvo ÷ peer"]) + " |")
    print("|" + "---|" * (len(head) + 1))
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print()
    print("† painted by the X server from the frozen pixmap during the map: the map is the paint.")
    print("Ratios: hotkey rows against ksnip, file rows against the fastest peer.")


main()
