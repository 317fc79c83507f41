"""Scoring detections against object boxes: the first location in the box,
any of the first 3 and 5, and the area under the ROC curve of the map
inside against outside the box. Used by lumivar-score, lumivar-report and
lumivar-tune."""
import csv
import os

import numpy as np

from . import io as sio

TOPS = (1, 3, 5)
# What Lumivar writes per image, after the image's base name.
OUTPUTS = ("_sm.jpg", "_sm.dat", "_salloc", "_salloc.jpg", "_scalemap.dat")


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
        boxes.append((sio.image_stem(fields[0]), top, bottom, left, right, no))
    return boxes


def load_map(outdir, name, written=None):
    """(map, source file name) of image `name`, or (None, None); with
    `written` (the files a recorded run wrote), only those."""
    ok = (lambda f: True) if written is None else (lambda f: f in written)  # noqa: E731
    dat = os.path.join(outdir, name + "_sm.dat")
    if os.path.isdir(dat) and ok(name + "_sm.dat"):
        m = sio.read_dat(dat)
        if m.ndim != 2:
            raise sio.DatError(f"{dat}: a saliency map has 2 dimensions, not {m.ndim}")
        return np.real(m).astype(float), name + "_sm.dat"
    jpg = os.path.join(outdir, name + "_sm.jpg")
    if os.path.exists(jpg) and ok(name + "_sm.jpg"):
        from PIL import Image
        try:
            with Image.open(jpg) as im:
                return np.asarray(im.convert("L"), dtype=float), name + "_sm.jpg"
        except OSError as e:
            raise sio.DatError(f"{jpg}: cannot read image: {e}") from None
    return None, None


def score_image(outdir, name, top, bottom, left, right, written=None):
    """dict of the image's results; raises DatError when its locations are
    unreadable (or, with `written`, were not written by the recorded run)."""
    if written is not None and name + "_salloc" not in written:
        raise sio.DatError(f"{os.path.join(outdir, name + '_salloc')}: not written by the "
                           f"recorded run")
    locs = sio.read_locations(os.path.join(outdir, name + "_salloc"))
    inbox = [(top <= r <= bottom and left <= c <= right) for r, c in locs[:, :2]]
    res = {f"top{k}": any(inbox[:k]) for k in TOPS}
    res["first"] = tuple(int(v) for v in locs[0, :2]) if len(locs) else None
    smap, src = load_map(outdir, name, written)
    res["auc"], res["map"] = None, src
    if smap is not None:
        # The box clipped to the map: one wholly outside it covers nothing
        # (a negative end must not count from the far side, as a slice would).
        h, w = smap.shape
        t, b, l, r = max(top, 0), min(bottom, h - 1), max(left, 0), min(right, w - 1)
        if t > b or l > r:
            res.update({f"top{k}": False for k in TOPS})
        else:
            mask = np.zeros(smap.shape, bool)
            mask[t:b + 1, l:r + 1] = True
            res["auc"] = auc(smap[mask], smap[~mask])
    return res
