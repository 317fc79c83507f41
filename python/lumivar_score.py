#!/usr/bin/env python3
"""Scores Lumivar's outputs against known object boxes.

    lumivar_score.py OUTDIR BOXES.csv [--object WORDS]

BOXES.csv has one line per query image: base name, top, bottom, left,
right (pixel rows and columns, inclusive). A header line and blank lines
are allowed. For every image it prints whether the first location, any of
the first 3 and any of the first 5 lie inside the box, and the area under
the ROC curve of the saliency map's values inside against outside the box,
taken from NAME_sm.dat (the map before normalisation) when present, else
from NAME_sm.jpg. Then the totals. Exits 1 when an image's outputs are
missing, 2 on a malformed boxes file.
"""
import argparse
import csv
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sendral_io as sio  # noqa: E402

TOPS = (1, 3, 5)


def auc(inside, outside):
    """P(a value inside > one outside) + half P(equal), by ranks (exact)."""
    inside = np.asarray(inside, dtype=float).ravel()
    outside = np.asarray(outside, dtype=float).ravel()
    npos, nneg = inside.size, outside.size
    if npos == 0 or nneg == 0:
        return None
    values = np.concatenate([inside, outside])
    uniq, inv, counts = np.unique(values, return_inverse=True, return_counts=True)
    # Mean rank (1-based) of every distinct value: ties share their ranks.
    ends = np.cumsum(counts)
    mean_rank = ends - (counts - 1) / 2.0
    rank_sum = mean_rank[inv[:npos]].sum()
    return (rank_sum - npos * (npos + 1) / 2.0) / (npos * nneg)


def read_boxes(path):
    """[(name, top, bottom, left, right, line number)]; raises ValueError naming path:line."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
    except OSError as e:
        raise ValueError(f"{path}: cannot read: {e.strerror}") from None
    boxes = []
    header_allowed = True
    for no, row in enumerate(rows, 1):
        fields = [x.strip() for x in row]
        if not any(fields):
            continue
        first_line, header_allowed = header_allowed, False
        try:
            if len(fields) != 5 or not fields[0]:
                raise ValueError
            top, bottom, left, right = (int(x) for x in fields[1:])
        except ValueError:
            if first_line:
                continue  # a header line
            raise ValueError(f"{path}:{no}: expected 'name,top,bottom,left,right' with whole "
                             f"numbers, got {','.join(row)!r}") from None
        if top > bottom or left > right:
            raise ValueError(f"{path}:{no}: box of {fields[0]} is empty (top {top} > bottom "
                             f"{bottom} or left {left} > right {right})")
        boxes.append((fields[0], top, bottom, left, right, no))
    return boxes


def load_map(outdir, name):
    """(map, source file name) of image `name`, or (None, None)."""
    dat = os.path.join(outdir, name + "_sm.dat")
    if os.path.isdir(dat):
        m = sio.read_dat(dat)
        if m.ndim != 2:
            raise sio.DatError(f"{dat}: a saliency map has 2 dimensions, not {m.ndim}")
        return np.real(m).astype(float), name + "_sm.dat"
    jpg = os.path.join(outdir, name + "_sm.jpg")
    if os.path.exists(jpg):
        from PIL import Image
        try:
            with Image.open(jpg) as im:
                return np.asarray(im.convert("L"), dtype=float), name + "_sm.jpg"
        except OSError as e:
            raise sio.DatError(f"{jpg}: cannot read image: {e}") from None
    return None, None


def score_image(outdir, name, top, bottom, left, right):
    """dict of the image's results; raises DatError when its locations are unreadable."""
    locs = sio.read_locations(os.path.join(outdir, name + "_salloc"))
    inbox = [(top <= r <= bottom and left <= c <= right) for r, c in locs[:, :2]]
    res = {f"top{k}": any(inbox[:k]) for k in TOPS}
    res["first"] = tuple(int(v) for v in locs[0, :2]) if len(locs) else None
    smap, src = load_map(outdir, name)
    res["auc"], res["map"] = None, src
    if smap is not None:
        mask = np.zeros(smap.shape, bool)
        mask[max(top, 0):bottom + 1, max(left, 0):right + 1] = True
        res["auc"] = auc(smap[mask], smap[~mask])
    return res


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir", help="Lumivar's output folder")
    ap.add_argument("boxes", help="CSV: name, top, bottom, left, right")
    ap.add_argument("--object", default="the object",
                    help="how the summary names the object (default: %(default)s)")
    a = ap.parse_args(argv)
    try:
        boxes = read_boxes(a.boxes)
    except ValueError as e:
        print(f"lumivar_score: {e}", file=sys.stderr)
        return 2
    if not os.path.isdir(a.outdir):
        print(f"lumivar_score: {a.outdir}: no such output folder", file=sys.stderr)
        return 2

    hits = {k: 0 for k in TOPS}
    aucs = []
    missing = 0
    for name, top, bottom, left, right, no in boxes:
        try:
            r = score_image(a.outdir, name, top, bottom, left, right)
        except sio.DatError as e:
            print(f"  {name:6s} {e}")
            missing += 1
            continue
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
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
