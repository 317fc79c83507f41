#!/usr/bin/python3
"""Draws the salient features of every class of a Sendral result directory.

    sendral_features.py RESULTDIR [--zoom Z]

Writes RESULTDIR/features.png and RESULTDIR/features.html. For every class,
its salient features (as many as salientfeaturenum gives, in the ranking
order of Qor_class_<j>) are drawn as their 8x8 DCT basis images, enlarged
by 2^level (nearest neighbour) so that a feature of a coarser pyramid level
shows at the size it covers in the image, and by Z (default 4) for the
screen; mid grey is 0, white and black the basis image's extremes. Each is
labelled with its level, zig-zag index and MD score.
"""
import argparse
import html
import os
import sys

import numpy as np

try:
    import sendral.io as sio
except ImportError:  # run from the source tree
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import sendral.io as sio
from sendral.safewrite import replaced  # noqa: E402

SZ = 8
PAD = 10
LABEL_H = 26
MAX_WIDTH = 1600


def zigzag(sz=SZ):
    """[(u, v)] for zig-zag index k: JPEG order, anti-diagonals d = u + v in
    turn, the row u rising along odd diagonals and falling along even ones."""
    order = []
    for d in range(2 * sz - 1):
        us = range(max(0, d - sz + 1), min(d, sz - 1) + 1)
        order += [(u, d - u) for u in (us if d % 2 else reversed(us))]
    return order


def basis(k, sz=SZ):
    """The orthonormal DCT-II basis image of zig-zag index k: B(m, n) =
    D(m, u) D(n, v), with D(i, j) = sqrt(2/sz) cos(j (2i+1) pi / 2sz) and
    column j = 0 scaled by 1/sqrt(2); m is the row, n the column."""
    u, v = zigzag(sz)[k]
    i = np.arange(sz)

    def d(f):
        c = np.sqrt(2.0 / sz) * np.cos(f * (2 * i + 1) * np.pi / (2 * sz))
        return c / np.sqrt(2.0) if f == 0 else c
    return np.outer(d(u), d(v))


def tile(level, index, zoom):
    """The feature's picture as an 8-bit grey array, or None for an index
    beyond the DCT features (an appended feature has no basis image)."""
    if not 0 <= index < SZ * SZ:
        return None
    b = basis(index)
    peak = np.abs(b).max()
    grey = (b / peak * 127.5 + 127.5).round().clip(0, 255).astype(np.uint8)
    scale = (2 ** level) * zoom
    return np.kron(grey, np.ones((scale, scale), np.uint8))


def class_features(model):
    """[(class, rows of (cost, score, level, index))] of the salient features."""
    counts = model["salientfeaturenum"]
    out = []
    for j, feats in enumerate(model["Qor_class"]):
        n = counts[j] if j < len(counts) else 0
        out.append((j, feats[:max(0, n)]))
    return out


def draw(classes, zoom, path):
    from PIL import Image, ImageDraw, ImageFont
    font = ImageFont.load_default()
    # Lay out every class as lines of tiles, wrapping at MAX_WIDTH.
    layout = []  # (x, y, feature row, tile) and class headings (y, text)
    headings = []
    y = PAD
    width = 400
    for j, feats in classes:
        headings.append((y, f"class {j}: {len(feats)} salient feature{'s' if len(feats) != 1 else ''}"
                         + ("" if len(feats) else " (none)")))
        y += 18
        x, line_h = PAD, 0
        for rank, f in enumerate(feats):
            t = tile(int(f[2]), int(f[3]), zoom)
            w, h = (t.shape[1], t.shape[0]) if t is not None else (SZ * zoom, SZ * zoom)
            w_box = max(w, 96)
            if x > PAD and x + w_box > MAX_WIDTH:
                x, y, line_h = PAD, y + line_h + LABEL_H + PAD, 0
            layout.append((x, y, rank, f, t, w, h))
            x += w_box + PAD
            line_h = max(line_h, h)
            width = max(width, x)
        y += line_h + LABEL_H + 2 * PAD
    img = Image.new("L", (width, y), 255)
    pen = ImageDraw.Draw(img)
    for hy, text in headings:
        pen.text((PAD, hy), text, fill=0, font=font)
    for x, ty, rank, f, t, w, h in layout:
        if t is not None:
            img.paste(Image.fromarray(t), (x, ty))
        pen.rectangle([x - 1, ty - 1, x + w, ty + h], outline=0)
        index = int(f[3])
        pen.text((x, ty + h + 2), f"#{rank + 1} L{int(f[2])} k{index}", fill=0, font=font)
        pen.text((x, ty + h + 13), f"score {f[1]:.4g}", fill=0, font=font)
    with replaced(path, "wb") as fh:
        img.save(fh, format="PNG")


def write_html(classes, zoom, path):
    zz = zigzag()
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           "<title>Salient features</title><style>body{font-family:sans-serif;margin:1em 2em}"
           "td,th{padding:2px 10px;text-align:right}</style></head><body>",
           "<h1>Salient features by class</h1>",
           f"<p>Each feature is drawn as its 8&times;8 DCT basis image, enlarged by "
           f"2<sup>level</sup> &times; {zoom}: mid grey is 0.</p>",
           '<p><img src="features.png" alt="salient features"></p>']
    for j, feats in classes:
        out.append(f"<h2>Class {j}</h2><table><tr><th>rank</th><th>level</th><th>zig-zag index"
                   "</th><th>frequency (row, column)</th><th>score</th><th>cost</th></tr>")
        for rank, f in enumerate(feats):
            k = int(f[3])
            freq = "%d, %d" % zz[k] if 0 <= k < SZ * SZ else "appended feature"
            out.append(f"<tr><td>{rank + 1}</td><td>{int(f[2])}</td><td>{k}</td>"
                       f"<td>{html.escape(freq)}</td><td>{f[1]:.6g}</td><td>{f[0]:.6g}</td></tr>")
        out.append("</table>")
    out.append("</body></html>")
    with replaced(path, encoding="utf-8") as fh:
        fh.write("\n".join(out) + "\n")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("resultdir", help="Sendral's result directory")
    ap.add_argument("--zoom", type=int, default=4, help="extra enlargement (default 4)")
    a = ap.parse_args(argv)
    if a.zoom < 1:
        ap.error("--zoom must be at least 1")
    try:
        model = sio.read_model(a.resultdir)
        classes = class_features(model)
        png = os.path.join(a.resultdir, "features.png")
        draw(classes, a.zoom, png)
        write_html(classes, a.zoom, os.path.join(a.resultdir, "features.html"))
    except sio.DatError as e:
        print(f"sendral_features: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"sendral_features: {e.filename or a.resultdir}: {e.strerror}", file=sys.stderr)
        return 1
    print(png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
