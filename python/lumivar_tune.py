#!/usr/bin/python3
"""Finds the Sendral and Lumivar settings that put the first location on the object.

    lumivar_tune.py [options] training_filelist queryclassidx query_filelist boxes.csv

Trains once per pyramid depth, fits the other training settings again from
the same moments, detects every query with every setting in process and
scores it against its box (boxes.csv as lumivar-score reads it: base
name, top, bottom, left, right): the first location in the box, any of the
first 3 in the box, and the AUC of the map inside against outside the box.
Settings are ranked by first-location hits, then top-3 hits, then AUC, then
the cheaper setting (fewer features, smaller depth, no -enforce, lower map
kind, no -exBfea, no -nodenoise). K-fold cross-validation over the queries
estimates how well a setting chosen this way does on queries it was not
chosen on. Prints the table, the estimate and the two command lines of the
best setting; writes the table as CSV and a heat map of the hits as PNG.

With --train-boxes (the objects' boxes in the training images, as Sendral
--boxes reads them) every depth is trained with the boxes too, and the grid
gains Lumivar --learned and map smoothing (--smooth; by default 0 and a
quarter and a half of the median training box).
"""
import argparse
import csv
import hashlib
import logging
import os
import shlex
import shutil
import struct
import sys
import tempfile
import time
import zlib

import numpy as np

# In the source tree this folder holds sendral/ and lumivar/ without their
# compiled part; the built or installed packages must come first.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != _here] + [_here]
import lumivar  # noqa: E402
import sendral  # noqa: E402
from sendral.scoring import auc, read_boxes  # noqa: E402

log = logging.getLogger("lumivar_tune")

# The placeholder folders of the printed command lines.
MODEL_DIR, DETECTIONS_DIR = "model", "detections"


class Setting:
    """One point of the grid and, once detected, its per-query scores."""

    def __init__(self, depth, exbfea, nodenoise, features, map_kind, enforce, learned=False,
                 smooth=0.0, boxes=None):
        self.depth, self.exbfea, self.nodenoise = depth, exbfea, nodenoise
        self.features, self.map_kind, self.enforce = features, map_kind, enforce
        # Lumivar --learned (features, map kind and -enforce then play no
        # part) and --smooth: None keeps the learned smoothing, 0 is none.
        self.learned, self.smooth, self.boxes = learned, smooth, boxes
        self.used = None  # features the model really uses
        self.note = ""
        self.hit1 = self.top3 = self.aucs = None  # per query, in query order
        self.ms_per_image = None
        self.rank = None

    @property
    def ok(self):
        return self.hit1 is not None

    def cost(self):
        """Orders equally good settings: the cheaper to run and explain first."""
        return (self.used, self.features, self.depth, self.enforce, self.map_kind, self.exbfea,
                self.nodenoise, self.learned, -1.0 if self.smooth is None else self.smooth)

    def merit(self, idx):
        """Larger is better, over the queries idx: hits@1, hits in the top 3, mean AUC."""
        aucs = [self.aucs[i] for i in idx if self.aucs[i] is not None]
        return (sum(self.hit1[i] for i in idx), sum(self.top3[i] for i in idx),
                float(np.mean(aucs)) if aucs else 0.0)

    def sendral_args(self):
        return (["-exBfea"] * self.exbfea + ["-nodenoise"] * self.nodenoise
                + (["--boxes", self.boxes] if self.learned else []))

    def lumivar_args(self):
        smooth = ["--smooth", f"{self.smooth:g}"] if self.smooth else []
        if self.learned:
            return ["--learned"] + (["--smooth", "0"] if self.smooth == 0 else smooth)
        return (["-f", str(self.features), "-m", str(self.map_kind)] + ["-enforce"] * self.enforce
                + smooth)

    def label(self):
        return " ".join([f"depth {self.depth}"] + self.sendral_args() + self.lumivar_args())


def ranking(settings, idx):
    """The settings that ran, best on the queries idx first."""
    return sorted((s for s in settings if s.ok),
                  key=lambda s: tuple(-v for v in s.merit(idx)) + s.cost())


def best(settings, idx):
    return next(iter(ranking(settings, idx)), None)


def int_list(lowest, highest=None):
    """An argparse type: whole numbers separated by commas, within the bounds."""
    def parse(text):
        try:
            values = sorted({int(v) for v in text.split(",") if v.strip()})
        except ValueError:
            values = []
        if not values or values[0] < lowest or (highest is not None and values[-1] > highest):
            raise argparse.ArgumentTypeError(
                f"expected whole numbers from {lowest}"
                + (f" to {highest}" if highest is not None else " up") + f" separated by "
                f"commas, not {text!r}")
        return values
    return parse


def float_list(text):
    """An argparse type: numbers of pixels (0 or more) separated by commas."""
    try:
        values = sorted({float(v) for v in text.split(",") if v.strip()})
    except ValueError:
        values = []
    if not values or values[0] < 0 or not all(np.isfinite(values)):
        raise argparse.ArgumentTypeError(
            f"expected numbers of pixels, 0 or more, separated by commas, not {text!r}")
    return values


def on_off(text):
    choices = {"off": [False], "on": [True], "both": [False, True]}
    if text not in choices:
        raise argparse.ArgumentTypeError(f"expected off, on or both, not {text!r}")
    return choices[text]


def read_names(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().split()
    except OSError as e:
        raise SystemExit(f"lumivar_tune: {path}: cannot read: {e.strerror}") from None
    except UnicodeDecodeError:
        raise SystemExit(f"lumivar_tune: {path}: not a list of names (an image?)") from None


def base_name(path):
    return os.path.splitext(os.path.basename(path))[0]


def load_queries(query_list, boxes_csv):
    """(paths, boxes) in the order of the base names; every query needs its box."""
    paths = read_names(query_list)
    if not paths:
        raise SystemExit(f"lumivar_tune: {query_list}: no query image")
    try:
        boxes = {b[0]: b[1:5] for b in read_boxes(boxes_csv)}
    except ValueError as e:
        raise SystemExit(f"lumivar_tune: {e}") from None
    by_name = {}
    for p in paths:
        name = base_name(p)
        if name in by_name:
            raise SystemExit(f"lumivar_tune: {query_list}: {by_name[name]} and {p} have the "
                             f"same name {name}")
        if name not in boxes:
            raise SystemExit(f"lumivar_tune: {boxes_csv}: no box for {name} ({p})")
        by_name[name] = p
    names = sorted(by_name)
    return [by_name[n] for n in names], [boxes[n] for n in names]


def score(result, box):
    """(first location in the box, one of the first 3 in it, AUC or None)."""
    top, bottom, left, right = box
    inbox = [top <= r <= bottom and left <= c <= right for r, c in result.locations[:3, :2]]
    mask = np.zeros(result.map.shape, bool)
    mask[max(top, 0):bottom + 1, max(left, 0):right + 1] = True
    return bool(inbox[:1] and inbox[0]), any(inbox), auc(result.map[mask], result.map[~mask])


def evaluate(settings, model_dir, cls, paths, boxes, threads, seen):
    """Detects and scores every query with every setting. seen: the scores of
    maps met before (settings often agree to the bit, e.g. -exBfea when it only
    changes the other classes), as the AUC costs more than the detection."""
    for s in settings:
        try:
            # --learned uses every non-DC feature, whatever -f says.
            model = lumivar.Model(model_dir, cls, features=1 if s.learned else s.features,
                                  map_kind=s.map_kind, enforce=s.enforce, learned=s.learned,
                                  smooth=s.smooth if s.learned or s.smooth else None)
        except sendral.Error as e:
            s.note = f"skipped: {e}".replace("\n", " ")  # listed under the table
            continue
        s.used = s.features if s.learned else model.features
        t = time.perf_counter()
        results = model.detect_many(paths, threads=threads)
        s.ms_per_image = 1000 * (time.perf_counter() - t) / len(paths)
        scores = []
        for i, r in enumerate(results):
            digest = hashlib.blake2b(np.ascontiguousarray(r.map))
            digest.update(np.ascontiguousarray(r.locations[:3]))
            key = (i, digest.digest())
            if key not in seen:
                seen[key] = score(r, boxes[i])
            scores.append(seen[key])
        s.hit1, s.top3, s.aucs = (list(v) for v in zip(*scores))


def run_grid(a, classes, paths, boxes, work):
    settings, seen = [], {}
    fits = [(e, n) for e in a.exbfea for n in a.nodenoise]
    for depth in a.depths:
        trained = os.path.join(work, f"trained-d{depth}")
        log.info("training depth %d", depth)
        try:
            sendral.train(classes, depth, trained, exbfea=fits[0][0], nodenoise=fits[0][1],
                          threads=a.threads, boxes=a.train_boxes)
            failed = None
        except sendral.Error as e:  # e.g. images too small for the depth: the others may do
            failed = f"skipped: training failed: {e}".replace("\n", " ")
        for exbfea, nodenoise in fits:
            group = [Setting(depth, exbfea, nodenoise, f, m, e, smooth=sm)
                     for f in a.features for m in a.maps for e in a.enforce for sm in a.smooth]
            if a.train_boxes and (exbfea, nodenoise) == fits[0]:
                # The learned weights do not depend on the ranking's options.
                group += [Setting(depth, exbfea, nodenoise, 63 * depth, 0, False, learned=True,
                                  smooth=sm, boxes=a.train_boxes) for sm in [None] + a.smooth]
            settings += group
            if failed:
                for s in group:
                    s.note = failed
                continue
            # Each fit its own copy, so that every model stays for a look afterwards.
            out = os.path.join(work, f"d{depth}" + "-exbfea" * exbfea + "-nodenoise" * nodenoise)
            shutil.rmtree(out, ignore_errors=True)
            shutil.copytree(trained, out)
            if (exbfea, nodenoise) != fits[0]:
                sendral.refit(out, depth, exbfea=exbfea, nodenoise=nodenoise)
            evaluate(group, out, a.queryclassidx, paths, boxes, a.threads, seen)
    return settings


def cross_validate(settings, n, k):
    """Per fold (queries round robin in name order): the setting chosen on the
    other folds and its held-out hits; each setting's hit@1 rate per fold."""
    folds = [list(range(f, n, k)) for f in range(k)]
    for s in settings:
        s.fold_hit1 = [sum(s.hit1[i] for i in fold) / len(fold) for fold in folds] if s.ok else []
    chosen = []
    for f, fold in enumerate(folds):
        rest = [i for i in range(n) if i % k != f]
        pick = best(settings, rest)
        chosen.append((pick, fold, sum(pick.hit1[i] for i in fold)))
    return chosen


def extended(settings):
    """Whether the grid holds --learned or --smooth settings (only then do the
    table, the CSV and the heat map show them)."""
    return any(s.learned or s.smooth for s in settings)


def smooth_text(s):
    return "learned" if s.smooth is None else f"{s.smooth:g}"


def write_csv(path, settings):
    more = extended(settings)
    fields = ["rank", "depth", "exbfea", "nodenoise", "features", "features_used", "map_kind",
              "enforce"] + ["learned", "smooth"] * more + [
              "hit1", "top3", "auc", "hit1_fold_min", "hit1_fold_max",
              "hit1_fold_std", "ms_per_image", "note"]
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(fields)
        for s in sorted(settings, key=lambda s: (s.rank is None, s.rank or 0)):
            row = [s.rank or "", s.depth, int(s.exbfea), int(s.nodenoise), s.features,
                   s.used if s.used is not None else "", s.map_kind, int(s.enforce)]
            if more:
                row += [int(s.learned), smooth_text(s)]
            if s.ok:
                aucs = [v for v in s.aucs if v is not None]
                row += [f"{np.mean(s.hit1):.4f}", f"{np.mean(s.top3):.4f}",
                        f"{np.mean(aucs):.4f}" if aucs else "", f"{min(s.fold_hit1):.4f}",
                        f"{max(s.fold_hit1):.4f}", f"{np.std(s.fold_hit1):.4f}",
                        f"{s.ms_per_image:.1f}"]
            else:
                row += [""] * 7
            w.writerow(row + [s.note])


# ---- the heat map: a PNG written with zlib, labels in a 3x5 pixel font ----

# Each glyph five rows of three pixels, "#" set.
FONT = {ch: rows.split() for ch, rows in {
    "0": ".#. #.# #.# #.# .#.", "1": ".#. ##. .#. .#. ###", "2": "### ..# ### #.. ###",
    "3": "### ..# .## ..# ###", "4": "#.# #.# ### ..# ..#", "5": "### #.. ### ..# ###",
    "6": "### #.. ### #.# ###", "7": "### ..# .#. .#. .#.", "8": "### #.# ### #.# ###",
    "9": "### #.# ### ..# ###", "A": ".#. #.# ### #.# #.#", "B": "##. #.# ##. #.# ##.",
    "C": ".## #.. #.. #.. .##", "D": "##. #.# #.# #.# ##.", "E": "### #.. ##. #.. ###",
    "F": "### #.. ##. #.. #..", "H": "#.# #.# ### #.# #.#", "I": "### .#. .#. .#. ###",
    "L": "#.. #.. #.. #.. ###",
    "M": "#.# ### #.# #.# #.#", "N": "##. #.# #.# #.# #.#", "O": "### #.# #.# #.# ###",
    "R": "##. #.# ##. #.# #.#", "S": ".## #.. .#. ..# ##.", "T": "### .#. .#. .#. .#.",
    "X": "#.# #.# .#. #.# #.#", "-": "... ... ### ... ...", " ": "... ... ... ... ..."}.items()}
SCALE = 2  # font pixels per glyph pixel


def draw_text(img, y, x, text, colour):
    for ch in text.upper():
        for gy, row in enumerate(FONT.get(ch, FONT[" "])):
            for gx, pixel in enumerate(row):
                if pixel == "#":
                    img[y + gy * SCALE:y + (gy + 1) * SCALE,
                        x + gx * SCALE:x + (gx + 1) * SCALE] = colour
        x += 4 * SCALE


def text_width(text):
    return 4 * SCALE * len(text)


def colour_of(v):
    """A dark blue to yellow ramp (perceptually ordered, like viridis) at v in 0..1."""
    ramp = np.array([(68, 1, 84), (59, 82, 139), (33, 145, 140), (94, 201, 98), (253, 231, 37)],
                    float)
    t = min(max(v, 0.0), 1.0) * (len(ramp) - 1)
    i = min(int(t), len(ramp) - 2)
    return tuple(int(round(c)) for c in ramp[i] + (t - i) * (ramp[i + 1] - ramp[i]))


def png_bytes(img):
    """8-bit RGB rows, unfiltered, in one IDAT chunk."""
    h, w, _ = img.shape
    raw = b"".join(b"\0" + img[y].tobytes() for y in range(h))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_png(path, settings, n, recommended):
    """Rows: depth and the training and -enforce flags; columns: map kind and
    features; each cell the number of first-location hits out of n."""
    def row_key(s):
        return (s.depth, s.exbfea, s.nodenoise, s.enforce, s.learned)

    def col_key(s):
        return (s.learned, s.map_kind, s.features, -1.0 if s.smooth is None else s.smooth)
    rows = sorted({row_key(s) for s in settings})
    smoothing = any(s.smooth != 0 for s in settings)
    cols = sorted({col_key(s) for s in settings})
    g = 6 * SCALE  # a line of text
    cw, ch = max(text_width("F12") + 2 * SCALE, text_width(str(n)) + 4 * SCALE), 2 * g
    labels = [f"D{d}" + " X" * x + " N" * nd + " E" * e + " L" * lr for d, x, nd, e, lr in rows]
    left = max(text_width(t) for t in labels) + 2 * g
    top = (5 if smoothing else 4) * g
    legend = "  ".join(t for t, on in (("X -EXBFEA", any(r[1] for r in rows)),
                                       ("N -NODENOISE", any(r[2] for r in rows)),
                                       ("E -ENFORCE", any(r[3] for r in rows)),
                                       ("L --LEARNED", any(r[4] for r in rows)),
                                       ("S --SMOOTH", smoothing)) if on)
    width = max(left + cw * len(cols) + g, text_width(legend) + 2 * g)
    height = top + ch * len(rows) + 3 * g
    img = np.full((height, width, 3), 255, np.uint8)
    black, white = (0, 0, 0), (255, 255, 255)
    draw_text(img, g // 2, g, f"FIRST HITS OF {n}", black)
    for j, (learned, m, f, sm) in enumerate(cols):
        x = left + j * cw + SCALE
        lines = ["L", ""] if learned else [f"M{m}", f"F{f}"]
        if smoothing:
            lines.append("SL" if sm < 0 else f"S{sm:.0f}")
        for k, text in enumerate(lines):
            draw_text(img, top - (len(lines) - k) * g, x, text, black)
    cells = {(row_key(s), col_key(s)): s for s in settings}
    for i, r in enumerate(rows):
        y = top + i * ch
        draw_text(img, y + (ch - 5 * SCALE) // 2, g, labels[i], black)
        for j, c in enumerate(cols):
            x = left + j * cw
            s = cells.get((r, c))
            ok = s is not None and s.ok
            rgb = colour_of(sum(s.hit1) / n) if ok else (200, 200, 200)
            img[y + 1:y + ch - 1, x + 1:x + cw - 1] = rgb
            if s is recommended:  # a black frame, then white inside it
                img[y:y + ch, x:x + cw] = black
                img[y + SCALE:y + ch - SCALE, x + SCALE:x + cw - SCALE] = white
                img[y + 2 * SCALE:y + ch - 2 * SCALE, x + 2 * SCALE:x + cw - 2 * SCALE] = rgb
            text = str(sum(s.hit1)) if ok else "-"
            ink = black if sum(rgb) > 400 else white
            draw_text(img, y + (ch - 5 * SCALE) // 2, x + (cw - text_width(text) + SCALE) // 2,
                      text, ink)
    draw_text(img, height - 2 * g, g, legend, black)
    with open(path, "wb") as f:
        f.write(png_bytes(img))


# ---- the report ----

def print_report(a, settings, chosen, n, rec, elapsed):
    ranked = sorted((s for s in settings if s.ok), key=lambda s: s.rank)
    if not a.quiet:
        print(f"{len(settings)} settings on {n} queries, {len(chosen)} folds; best first "
              f"(fold hit@1: min-max and std of the per-fold rates)")
        more = extended(settings)
        print(f"{'rank':>4} {'depth':>5} {'exBfea':>6} {'noden':>5} {'feat':>4} {'used':>4} "
              f"{'map':>3} {'enforce':>7}" + (f" {'learned':>7} {'smooth':>7}" if more else "")
              + f"  {'hit@1':>5} {'top-3':>5} {'AUC':>5}  "
              f"{'fold hit@1':>10} {'std':>4}  {'ms/img':>6}")
        for s in ranked:
            aucs = [v for v in s.aucs if v is not None]
            print(f"{s.rank:4d} {s.depth:5d} {'on' if s.exbfea else 'off':>6} "
                  f"{'on' if s.nodenoise else 'off':>5} {s.features:4d} {s.used:4d} "
                  f"{s.map_kind:3d} {'on' if s.enforce else 'off':>7}"
                  + (f" {'on' if s.learned else 'off':>7} {smooth_text(s):>7}" if more else "")
                  + f"  {np.mean(s.hit1):5.2f} "
                  f"{np.mean(s.top3):5.2f} {np.mean(aucs) if aucs else float('nan'):5.3f}  "
                  f"{min(s.fold_hit1):4.2f}-{max(s.fold_hit1):4.2f} {np.std(s.fold_hit1):4.2f}"
                  f"  {s.ms_per_image:6.1f}")
        for s in settings:
            if not s.ok:
                print(f"   - {s.label()}: {s.note}")
        print()
        print("Cross-validation: per fold, the best setting on the other folds")
        for f, (pick, fold, hits) in enumerate(chosen):
            print(f"  fold {f + 1} ({len(fold)} queries): {pick.label()}: {hits} of "
                  f"{len(fold)} held-out first locations on the object")
        print()
    held = sum(h for _, _, h in chosen)
    per_fold = np.mean([h / len(fold) for _, fold, h in chosen])
    print(f"Recommended: {rec.label()}: hit@1 {np.mean(rec.hit1):.2f} ({sum(rec.hit1)} of {n}), "
          f"top-3 {np.mean(rec.top3):.2f}, fold hit@1 {min(rec.fold_hit1):.2f}-"
          f"{max(rec.fold_hit1):.2f}")
    print(f"Cross-validated hit@1 of this choice: {per_fold:.2f} (mean of the folds; "
          f"{held} of {n} held-out queries); the recommendation's own hit@1 is optimistic, "
          f"being chosen on the same queries")
    q = shlex.quote
    print(" ".join(["Sendral", *map(q, rec.sendral_args()), q(a.training_filelist),
                    str(rec.depth), MODEL_DIR]))
    print(" ".join(["Lumivar", *rec.lumivar_args(), MODEL_DIR, str(a.queryclassidx),
                    q(a.query_filelist), DETECTIONS_DIR]))
    print(f"Table: {a.csv}, heat map: {a.png}; {len(settings)} settings in {elapsed:.1f} s")


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="lumivar-tune", description=__doc__.split("\n\n")[0],
        epilog="Ties are broken by top-3 hits, AUC, then fewer features, smaller depth, no "
               "-enforce, lower map kind, no -exBfea, no -nodenoise.")
    ap.add_argument("training_filelist", help="one image list per class, background first")
    ap.add_argument("queryclassidx", type=int, help="the class to look for")
    ap.add_argument("query_filelist", help="the query images")
    ap.add_argument("boxes", metavar="boxes.csv",
                    help="CSV: name, top, bottom, left, right of every query")
    ap.add_argument("--depths", metavar="LIST", default=[2, 3, 4], type=int_list(1),
                    help="pyramid depths (default 2,3,4)")
    ap.add_argument("--features", metavar="LIST", default=[5, 8, 12], type=int_list(1),
                    help="feature counts, Lumivar -f (default 5,8,12)")
    ap.add_argument("--maps", metavar="LIST", default=[0, 1, 2], type=int_list(0, 2),
                    help="map kinds, Lumivar -m (default 0,1,2)")
    ap.add_argument("--exbfea", metavar="{off,on,both}", default=[False, True], type=on_off,
                    help="Sendral -exBfea: off, on or both (default both)")
    ap.add_argument("--nodenoise", metavar="{off,on,both}", default=[False], type=on_off,
                    help="Sendral -nodenoise: off, on or both (default off)")
    ap.add_argument("--enforce", metavar="{off,on,both}", default=[False, True], type=on_off,
                    help="Lumivar -enforce: off, on or both (default both)")
    ap.add_argument("--train-boxes", metavar="FILE",
                    help="boxes of the objects in the training images (Sendral --boxes): adds "
                         "Lumivar --learned and --smooth to the grid")
    ap.add_argument("--smooth", metavar="LIST", type=float_list,
                    help="map smoothing sigmas in pixels, Lumivar --smooth (default 0; with "
                         "--train-boxes 0 and a quarter and a half of the median training box)")
    ap.add_argument("--folds", metavar="K", type=int, default=5,
                    help="cross-validation folds (default 5; at most the number of queries)")
    ap.add_argument("--threads", metavar="N", type=int, default=len(os.sched_getaffinity(0)),
                    help="threads for training and detection (default: the CPUs usable)")
    ap.add_argument("--work", "--out", dest="work", metavar="DIR",
                    help="keep the trained models here (d<depth>[-exbfea][-nodenoise]) and "
                         "write the table and the heat map here; default: models in a "
                         "temporary folder, the table and heat map in the current folder")
    ap.add_argument("--csv", metavar="FILE", help="the table (default tune.csv)")
    ap.add_argument("--png", metavar="FILE", help="the heat map (default tune.png)")
    ap.add_argument("--quiet", action="store_true",
                    help="print only the recommendation, its estimate and the command lines")
    ap.add_argument("--verbose", action="store_true", help="also print the libraries' messages")
    a = ap.parse_args(argv)
    if a.folds < 2 or a.threads < 1:
        ap.error("--folds must be 2 or more and --threads 1 or more")
    logging.basicConfig(level=logging.INFO if a.verbose else logging.WARNING,
                        format="%(name)s: %(message)s")
    start = time.perf_counter()
    if sendral._native is None:
        raise SystemExit(f"lumivar_tune: {sendral.__file__}: the package has no compiled "
                         f"module; is PYTHONPATH the build's python folder?")

    lists = read_names(a.training_filelist)
    classes = [read_names(p) for p in lists]
    if len(classes) < 2:
        raise SystemExit(f"lumivar_tune: {a.training_filelist}: names {len(classes)} class "
                         f"list(s); a background and at least one class are needed")
    if not 0 <= a.queryclassidx < len(classes):
        raise SystemExit(f"lumivar_tune: class {a.queryclassidx} is not among the "
                         f"{len(classes)} trained classes")
    paths, boxes = load_queries(a.query_filelist, a.boxes)
    if a.train_boxes:
        try:
            sizes = sorted((b[2] - b[1] + 1 + b[4] - b[3] + 1) / 2
                           for b in read_boxes(a.train_boxes))
        except ValueError as e:
            raise SystemExit(f"lumivar_tune: {e}") from None
        if not sizes:
            raise SystemExit(f"lumivar_tune: {a.train_boxes}: no box")
        median = sizes[(len(sizes) - 1) // 2]
        if a.smooth is None:
            a.smooth = [0.0, round(median / 4, 1), round(median / 2, 1)]
    a.smooth = a.smooth or [0.0]
    n = len(paths)
    if n < 2:
        raise SystemExit("lumivar_tune: cross-validation needs at least 2 query images")
    k = min(a.folds, n)

    out_dir = a.work or "."
    a.csv = a.csv or os.path.join(out_dir, "tune.csv")
    a.png = a.png or os.path.join(out_dir, "tune.png")
    inputs = {os.path.realpath(p) for p in (a.training_filelist, a.query_filelist, a.boxes,
                                            a.train_boxes) if p}
    for out in (a.csv, a.png):
        if os.path.realpath(out) in inputs:
            raise SystemExit(f"lumivar_tune: {out} is an input; name another with --csv or --png")
    if a.work:
        os.makedirs(a.work, exist_ok=True)
    work = a.work or tempfile.mkdtemp(prefix="lumivar-tune.")
    try:
        settings = run_grid(a, classes, paths, boxes, work)
    except sendral.Error as e:
        raise SystemExit(f"lumivar_tune: {e}") from None
    finally:
        if not a.work:
            shutil.rmtree(work, ignore_errors=True)
    ranked = ranking(settings, range(n))
    if not ranked:
        raise SystemExit("lumivar_tune: no setting gave a model that loads")
    rec = ranked[0]
    for r, s in enumerate(ranked, 1):
        s.rank = r
    chosen = cross_validate(settings, n, k)
    write_csv(a.csv, settings)
    write_png(a.png, settings, n, rec)
    print_report(a, settings, chosen, n, rec, time.perf_counter() - start)
    return 0


if __name__ == "__main__":
    sys.exit(main())
