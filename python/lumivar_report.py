#!/usr/bin/env python3
"""Writes OUTDIR/index.html: a page of Lumivar's results in OUTDIR.

    lumivar_report.py OUTDIR [--log LUMIVAR_STDOUT] [--locations N]

One row per query image with its marked copy (NAME_salloc.jpg), its
saliency map (NAME_sm.jpg; a map kept as NAME_sm.dat is drawn into
OUTDIR/index_files/ when there is no JPEG) and its first locations; a
header with the run's settings, as far as the folder and Lumivar's printed
output (--log) tell them; links to every file. The page uses relative links
only and loads nothing from elsewhere, so the folder can be moved or mailed.
"""
import argparse
import html
import os
import re
import sys
from urllib.parse import quote

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sendral_io as sio  # noqa: E402

SUFFIXES = ("_salloc.jpg", "_salloc", "_sm.jpg", "_sm.dat", "_scalemap.dat")
ASSETS = "index_files"

STYLE = """
body { font-family: sans-serif; margin: 1em 2em; color: #222; }
table.run { border-collapse: collapse; }
table.run td, table.run th { border-top: 1px solid #ccc; padding: 6px 10px; vertical-align: top; }
img.shot { max-width: 360px; max-height: 360px; border: 1px solid #999; }
table.locs td, table.locs th { border: none; padding: 0 6px; text-align: right; font-size: 90%; }
dl.settings { display: grid; grid-template-columns: max-content auto; gap: 2px 12px; }
dl.settings dt { font-weight: bold; } dl.settings dd { margin: 0; }
.missing { color: #a00; } .note { color: #666; font-size: 90%; }
"""

# Reports, after the page has loaded, what every picture loaded as, so the
# page can be checked in a browser without anyone looking at it.
CHECK_SCRIPT = """
window.addEventListener('load', function () {
  var lines = [];
  var imgs = document.images;
  for (var i = 0; i < imgs.length; i++)
    lines.push(imgs[i].getAttribute('src') + ' ' + imgs[i].naturalWidth + ' ' + imgs[i].naturalHeight);
  var out = document.getElementById('imgcheck');
  out.textContent = lines.join('\\n');
});
"""


def base_names(files):
    names = set()
    for f in files:
        for s in SUFFIXES:
            if f.endswith(s) and len(f) > len(s):
                names.add(f[: -len(s)])
                break
    return sorted(names)


def parse_log(path):
    """[(setting, value)] from Lumivar's printed output: its "key = value"
    lines, its notes ("... !") and its time. Standard error interleaves
    with standard output in a shared log, so each is searched for anywhere
    in a line."""
    settings = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.search(r"(\w+) = (\S.*)$", line)
            if m:
                settings.append((m.group(1), m.group(2).strip()))
                continue
            m = re.search(r"Time usage: (.*)$", line)
            if m:
                settings.append(("time usage", m.group(1).strip()))
            for note in re.findall(r"[A-Z][^!.\t]*!+", line):
                settings.append(("note", note))
    return settings


def link(name, label=None):
    return f'<a href="{quote(name)}">{html.escape(label or name)}</a>'


def image_size(path):
    from PIL import Image
    try:
        with Image.open(path) as im:
            return im.size
    except OSError:
        return None


def map_preview(outdir, name, draw):
    """The value range of NAME_sm.dat and, if `draw`, the map as a grey PNG
    divided by its maximum, as Lumivar draws its maps.
    Returns (relative PNG file or None, range text or the error)."""
    from PIL import Image
    try:
        m = np.real(sio.read_dat(os.path.join(outdir, name + "_sm.dat"))).astype(float)
    except sio.DatError as e:
        return None, str(e)
    if m.ndim != 2:
        return None, f"{name}_sm.dat has {m.ndim} dimensions, a map 2"
    rng = f"values {m.min():.4g} to {m.max():.4g}"
    if not draw:
        return None, rng
    top = m.max()
    grey = np.clip(m / top, 0, 1) if top > 0 else np.zeros_like(m)
    rel = f"{ASSETS}/{name}_sm.png"
    os.makedirs(os.path.join(outdir, ASSETS), exist_ok=True)
    Image.fromarray((grey * 255 + 0.5).astype(np.uint8)).save(os.path.join(outdir, rel))
    return rel, rng


def folder_settings(outdir, names, files, locs):
    have = lambda s: sum(1 for n in names if n + s in files)  # noqa: E731
    rows = [("folder", os.path.abspath(outdir)), ("query images", str(len(names)))]
    counts = [len(v) for v in locs.values() if v is not None]
    if counts:
        rows.append(("locations per image", f"{min(counts)} to {max(counts)}"
                     if min(counts) != max(counts) else str(counts[0])))
        radii = sorted({int(r) for v in locs.values() if v is not None for r in v[:, 2]})
        if radii:
            rows.append(("radii found", ", ".join(map(str, radii))
                         + f" (pyramid levels up to {int(np.log2(radii[-1])) - 2})"))
    rows.append(("saliency maps (_sm.jpg)", f"{have('_sm.jpg')} of {len(names)}"
                 + ("" if have("_sm.jpg") else " (run with -nosm?)")))
    rows.append(("unnormalised maps (_sm.dat)", f"{have('_sm.dat')} of {len(names)}"))
    rows.append(("marked copies (_salloc.jpg)", f"{have('_salloc.jpg')} of {len(names)}"
                 + ("" if have("_salloc.jpg") else " (run with -d 0?)")))
    rows.append(("scale maps (_scalemap.dat)", f"{have('_scalemap.dat')} of {len(names)}"))
    return rows


def picture(outdir, rel, files, alt):
    if rel not in files and not os.path.exists(os.path.join(outdir, rel)):
        return f'<span class="missing">no {html.escape(alt)}</span>'
    size = image_size(os.path.join(outdir, rel))
    dims = f' title="{size[0]} x {size[1]}"' if size else ""
    return (f'<a href="{quote(rel)}"><img class="shot" src="{quote(rel)}" '
            f'alt="{html.escape(alt)}"{dims}></a><br>{link(rel)}')


def report(outdir, log=None, nlocs=5):
    files = set(os.listdir(outdir))
    files.discard("index.html")
    names = base_names(files)
    locs = {}
    notes = {}
    for n in names:
        try:
            locs[n] = sio.read_locations(os.path.join(outdir, n + "_salloc"))
        except sio.DatError as e:
            locs[n] = None
            notes[n] = str(e)
    settings = folder_settings(outdir, names, files, locs)
    if log:
        settings += parse_log(log)

    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           f"<title>Lumivar results: {html.escape(os.path.basename(os.path.abspath(outdir)))}</title>",
           f"<style>{STYLE}</style>", f"<script>{CHECK_SCRIPT}</script>", "</head><body>",
           f"<h1>Lumivar results in {html.escape(os.path.abspath(outdir))}</h1>",
           '<h2>Run</h2><dl class="settings">']
    for k, v in settings:
        out.append(f"<dt>{html.escape(k)}</dt><dd>{html.escape(v)}</dd>")
    out.append("</dl>")
    if log:
        out.append(f'<p class="note">Settings below the folder\'s come from {html.escape(log)}.</p>')

    out.append('<h2>Query images</h2><table class="run"><tr><th>image</th><th>marked copy</th>'
               f"<th>saliency map</th><th>first {nlocs} locations</th></tr>")
    for n in names:
        sm = picture(outdir, n + "_sm.jpg", files, "saliency map")
        if n + "_sm.dat" in files:
            rel, extra = map_preview(outdir, n, draw=n + "_sm.jpg" not in files)
            if rel:
                sm = picture(outdir, rel, files, "saliency map")
            sm += f'<br>{link(n + "_sm.dat")} <span class="note">{html.escape(extra)}</span>'
        if n + "_scalemap.dat" in files:
            sm += f"<br>{link(n + '_scalemap.dat')}"
        if locs[n] is None:
            table = f'<span class="missing">{html.escape(notes[n])}</span>'
        else:
            rows = "".join("<tr>" + "".join(f"<td>{v}</td>" for v in
                                            (i + 1, int(r[0]), int(r[1]), int(r[2]), f"{r[3]:.4g}"))
                           + "</tr>" for i, r in enumerate(locs[n][:nlocs]))
            table = ('<table class="locs"><tr><th>#</th><th>row</th><th>col</th><th>radius</th>'
                     f"<th>saliency</th></tr>{rows}</table>{link(n + '_salloc')}"
                     f' <span class="note">({len(locs[n])} in all)</span>')
        out.append(f"<tr><td>{html.escape(n)}</td><td>{picture(outdir, n + '_salloc.jpg', files, 'marked copy')}"
                   f"</td><td>{sm}</td><td>{table}</td></tr>")
    out.append("</table>")

    out.append("<h2>All files</h2><ul>")
    for f in sorted(files | ({ASSETS} if os.path.isdir(os.path.join(outdir, ASSETS)) else set())):
        out.append(f"<li>{link(f + '/' if os.path.isdir(os.path.join(outdir, f)) else f)}</li>")
    out.append('</ul><pre id="imgcheck" hidden></pre></body></html>')
    path = os.path.join(outdir, "index.html")
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    os.replace(path + ".tmp", path)
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir", help="Lumivar's output folder")
    ap.add_argument("--log", help="Lumivar's standard output, for the settings it prints")
    ap.add_argument("--locations", type=int, default=5, help="locations shown per image")
    a = ap.parse_args(argv)
    if not os.path.isdir(a.outdir):
        print(f"lumivar_report: {a.outdir}: no such folder", file=sys.stderr)
        return 1
    if a.log and not os.path.isfile(a.log):
        print(f"lumivar_report: {a.log}: no such log file", file=sys.stderr)
        return 1
    try:
        print(report(a.outdir, a.log, a.locations))
    except OSError as e:
        print(f"lumivar_report: {e.filename or a.outdir}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
