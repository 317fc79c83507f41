#!/usr/bin/python3
"""Scores Lumivar's outputs against known object boxes.

    lumivar-score OUTDIR BOXES.csv [--object WORDS] [--record RUN.json] [--csv FILE]

BOXES.csv has one line per query image: the image (its file name, its path
or its base name), top, bottom, left, right (pixel rows and columns,
inclusive). A header line and blank lines are allowed. For every image it prints whether the first location, any of
the first 3 and any of the first 5 lie inside the box, and the area under
the ROC curve of the saliency map's values inside against outside the box,
taken from NAME_sm.dat (the map before normalisation) when present, else
from NAME_sm.jpg. Then the totals. Exits 1 when an image's outputs are
missing, 2 on a malformed boxes file.

When the folder holds the run record of the run that wrote it (``Lumivar
--json OUTDIR/run.json``; or give it with --record), only that run's
outputs are scored, and every output in the folder that the run did not
write (left by an earlier run) is warned about. --csv writes the
per-image results as CSV.
"""
import argparse
import csv
import os
import sys

import numpy as np

try:
    import sendral.io as sio
except ImportError:  # run from the source tree
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import sendral.io as sio

from sendral.scoring import TOPS, OUTPUTS, auc, load_map, read_boxes, score_image  # noqa: E402,F401
from sendral.safewrite import replaced  # noqa: E402

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir", help="Lumivar's output folder")
    ap.add_argument("boxes", help="CSV: name, top, bottom, left, right")
    ap.add_argument("--object", default="the object",
                    help="how the summary names the object (default: %(default)s)")
    ap.add_argument("--record", help="the run record (Lumivar --json) of the run to score "
                    "(default: the newest in OUTDIR)")
    ap.add_argument("--csv", help="also write the per-image results to this CSV file")
    a = ap.parse_args(argv)
    try:
        boxes = read_boxes(a.boxes)
    except ValueError as e:
        print(f"lumivar_score: {e}", file=sys.stderr)
        return 2
    if not os.path.isdir(a.outdir):
        print(f"lumivar_score: {a.outdir}: no such output folder", file=sys.stderr)
        return 2

    written = None
    try:
        rec_path, rec = (a.record, sio.read_record(a.record)) if a.record else \
            sio.find_record(a.outdir)
    except sio.DatError as e:
        print(f"lumivar_score: {e}", file=sys.stderr)
        return 2
    if rec is not None:
        written = {os.path.basename(o) for i in rec.get("images", []) for o in i.get("outputs", [])}
        for f in sorted(os.listdir(a.outdir)):
            if f.endswith(OUTPUTS) and f not in written:
                print(f"lumivar_score: warning: {os.path.join(a.outdir, f)} was not written by "
                      f"the run recorded in {rec_path} (left by an earlier run?)", file=sys.stderr)

    hits = {k: 0 for k in TOPS}
    aucs = []
    missing = 0
    rows = []
    for name, top, bottom, left, right, no in boxes:
        try:
            r = score_image(a.outdir, name, top, bottom, left, right, written)
        except sio.DatError as e:
            print(f"  {name:6s} {e}")
            missing += 1
            rows.append([name, "", "", "", "", "", "", "missing"])
            continue
        rows.append([name, *(r["first"] or ("", "")), *(int(r[f"top{k}"]) for k in TOPS),
                     "" if r["auc"] is None else f"{r['auc']:.6f}", r["map"] or ""])
        for k in TOPS:
            hits[k] += r[f"top{k}"]
        first = "none" if r["first"] is None else "row %3d col %3d" % r["first"]
        marks = "  ".join(f"{'first' if k == 1 else f'top{k}'} {'hit ' if r[f'top{k}'] else 'miss'}"
                          for k in TOPS)
        if r["auc"] is not None:
            aucs.append(r["auc"])
            area = f"AUC {r['auc']:.3f} ({r['map']})"
        else:
            area = "AUC n/a" + (" (box outside the map)" if r["map"] else " (no map)")
        print(f"  {name:6s} first location {first}   box rows {top}-{bottom} cols "
              f"{left}-{right}   {marks}   {area}")
    n = len(boxes)
    print(f"  first location on {a.object}: {hits[1]} of {n} query images")
    for k in TOPS[1:]:
        print(f"  any of the first {k} locations on {a.object}: {hits[k]} of {n} query images")
    if aucs:
        print(f"  mean AUC of the saliency map: {np.mean(aucs):.3f} over {len(aucs)} images")
    else:
        print("  mean AUC of the saliency map: n/a (no maps)")
    if a.csv:
        with replaced(a.csv, newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(["name", "first_row", "first_col", "first", "top3", "top5", "auc", "map"])
            w.writerows(rows)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
