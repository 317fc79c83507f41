#!/usr/bin/python3
"""Writes OUTDIR/index.html: a page of Lumivar's results in OUTDIR.

    lumivar-report OUTDIR [--record RUN.json] [--boxes BOXES.csv] [--log LUMIVAR_STDOUT]
                   [--locations N]

One row per query image with its marked copy (NAME_salloc.jpg), its
saliency map (NAME_sm.jpg; a map kept as NAME_sm.dat is drawn into
OUTDIR/index_files/ when there is no JPEG) and its first locations; a
header with the run's settings under their option names, from the run
record (Lumivar --json; the newest in OUTDIR unless --record names one) or
else as far as the folder and Lumivar's printed output (--log) tell them;
with --boxes (the scorer's format), each image's scores and the totals; the
first locations numbered over the marked copy; links to every file. The page uses relative links
only and loads nothing from elsewhere, so the folder can be moved or mailed.
"""
import argparse
import html
import os
import re
import sys
from urllib.parse import quote

import numpy as np

try:
    import sendral.io as sio
except ImportError:  # run from the source tree
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import sendral.io as sio
from sendral import scoring  # noqa: E402
from sendral.safewrite import real_folder, replaced  # noqa: E402

SUFFIXES = ("_salloc.jpg", "_salloc", "_sm.jpg", "_sm.dat", "_scalemap.dat")
ASSETS = "index_files"

STYLE = """
body { font-family: sans-serif; margin: 1em 2em; color: #222; }
table.run { border-collapse: collapse; }
table.run td, table.run th { border-top: 1px solid #ccc; padding: 6px 10px; vertical-align: top; }
img.shot { max-width: 300px; max-height: 300px; border: 1px solid #999; }
table.locs td, table.locs th { border: none; padding: 0 6px; text-align: right; font-size: 90%; }
dl.settings { display: grid; grid-template-columns: max-content auto; gap: 2px 12px; }
dl.settings dt { font-weight: bold; } dl.settings dd { margin: 0; }
.missing { color: #a00; } .note { color: #666; font-size: 90%; }
span.marked { position: relative; display: inline-block; }
span.marked svg { position: absolute; left: 0; top: 0; width: 100%; height: 100%; pointer-events: none; }
.hit { color: #060; } .miss { color: #a00; }
"""

# What Lumivar printed, under the options that set it.
LOG_NAMES = {"SFPath": "salientfeaturepath", "pyrdepth": "pyramid depth (pyddepth)",
             "queryclassidx": "queryclassidx", "QueryFileList": "query_filelist",
             "salientfeaturenum": "-f", "savepath": "outpath", "drawcirclenum": "-d",
             "isenforce": "-enforce"}

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
                settings.append((LOG_NAMES.get(m.group(1), m.group(1)), m.group(2).strip()))
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
    real_folder(os.path.join(outdir, ASSETS))
    with replaced(os.path.join(outdir, rel), "wb") as f:
        Image.fromarray((grey * 255 + 0.5).astype(np.uint8)).save(f, format="PNG")
    return rel, rng


def record_settings(path, rec):
    """[(setting, value)] from a run record: the settings under their
    option names, the model and the run's outcome."""
    def text(v):
        return "yes" if v is True else "no" if v is False else "" if v is None else str(v)
    rows = [("run record", path), ("program", f"{rec.get('program')} {rec.get('version', '')}"),
            ("ImageMagick", rec.get("imagemagick", ""))]
    settings = rec.get("settings", {})
    for k, v in settings.items():
        label = k + (" (map kind)" if k == "-m" else "")
        rows.append((label, text(v)))
    model = rec.get("model", {})
    if model:
        rows.append(("model", f"depth {model.get('pyddepth')}, {model.get('classes')} classes"))
        feats = model.get("features", [])
        rows.append(("features used", ", ".join(f"level {f['level']} index {f['index']}"
                                                 for f in feats) or "none"))
    images = rec.get("images", [])
    failed = [i["entry"] for i in images if i.get("status") == "failed"]
    rows.append(("images", f"{len(images)} ({len(failed)} failed"
                 + (": " + ", ".join(failed) if failed else "") + ")"))
    rows.append(("exit status", text(rec.get("status"))))
    if rec.get("error"):
        rows.append(("error", rec["error"]))
    if "seconds" in rec:
        rows.append(("time", f"{rec['seconds']:.2f} s"))
    return rows


def marked_copy(outdir, name, files, locs, n):
    """The marked copy with its first n locations numbered over it (SVG)."""
    rel = name + "_salloc.jpg"
    pic = picture(outdir, rel, files, "marked copy")
    size = image_size(os.path.join(outdir, rel)) if rel in files else None
    if size is None or locs is None or not len(locs):
        return pic
    w, h = size
    marks = []
    for i, (r, c, rad, _) in enumerate(locs[:n]):
        marks.append(f'<circle cx="{c:g}" cy="{r:g}" r="{max(rad, 2):g}" fill="none" '
                     f'stroke="#ff0" stroke-width="{max(w, h) / 200:.2g}"/>'
                     f'<text x="{c + rad:g}" y="{r - rad:g}" fill="#ff0" stroke="#000" '
                     f'stroke-width="{max(w, h) / 400:.2g}" font-size="{max(w, h) / 18:.3g}" '
                     f'font-family="sans-serif" font-weight="bold">{i + 1}</text>')
    svg = f'<svg viewBox="0 0 {w} {h}" preserveAspectRatio="none">{"".join(marks)}</svg>'
    head, sep, rest = pic.partition("</a>")
    return head.replace("<a ", '<span class="marked"><a ', 1) + sep + svg + "</span>" + rest


def folder_settings(outdir, names, files, locs):
    have = lambda s: sum(1 for n in names if n + s in files)  # noqa: E731
    rows = [("folder", outdir), ("query images", str(len(names)))]
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


def report(outdir, log=None, nlocs=5, record=None, boxes=None):
    files = set(os.listdir(outdir))
    files.discard("index.html")
    rec_path, rec = (record, sio.read_record(record)) if record else sio.find_record(outdir)
    if rec is not None:
        files.discard(os.path.basename(rec_path))
        written = {os.path.basename(o) for i in rec.get("images", []) for o in i.get("outputs", [])}
        # Only this run's images; files left by earlier runs are listed below, not shown.
        names = sorted({sio.image_stem(i["entry"]) for i in rec.get("images", [])})
    else:
        written = None
        names = base_names(files)
    locs = {}
    notes = {}
    for n in names:
        try:
            if written is not None and n + "_salloc" not in written:
                raise sio.DatError(f"no {n}_salloc from this run")
            locs[n] = sio.read_locations(os.path.join(outdir, n + "_salloc"))
        except sio.DatError as e:
            locs[n] = None
            notes[n] = str(e)
    settings = folder_settings(outdir, names, files, locs)
    if rec is not None:
        settings += record_settings(rec_path, rec)
    elif log:
        settings += parse_log(log)
    scores = {}
    if boxes:
        for name, top, bottom, left, right, _ in scoring.read_boxes(boxes):
            try:
                scores[name] = scoring.score_image(outdir, name, top, bottom, left, right,
                                                         written)
            except sio.DatError as e:
                scores[name] = str(e)
        good = [s for s in scores.values() if isinstance(s, dict)]
        aucs = [s["auc"] for s in good if s["auc"] is not None]
        settings.append(("scores", f"first location in the box: {sum(s['top1'] for s in good)} of "
                         f"{len(scores)}; any of the first 3: {sum(s['top3'] for s in good)}; "
                         f"mean AUC " + (f"{np.mean(aucs):.3f}" if aucs else "n/a")
                         + f" (boxes {boxes})"))

    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           f"<title>Lumivar results: {html.escape(os.path.basename(os.path.abspath(outdir)))}</title>",
           f"<style>{STYLE}</style>", f"<script>{CHECK_SCRIPT}</script>", "</head><body>",
           f"<h1>Lumivar results in {html.escape(outdir)}</h1>",
           '<h2>Run</h2><dl class="settings">']
    for k, v in settings:
        out.append(f"<dt>{html.escape(k)}</dt><dd>{html.escape(v)}</dd>")
    out.append("</dl>")
    if rec is None and log:
        out.append(f'<p class="note">Settings below the folder\'s come from {html.escape(log)}.</p>')

    out.append('<h2>Query images</h2><table class="run"><tr><th>image</th><th>marked copy</th>'
               f"<th>saliency map</th><th>first {nlocs} locations</th>"
               + ("<th>score</th>" if boxes else "") + "</tr>")
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
        score = ""
        if boxes:
            s = scores.get(n)
            if s is None:
                score = '<td class="note">no box</td>'
            elif isinstance(s, str):
                score = f'<td class="missing">{html.escape(s)}</td>'
            else:
                marks = "<br>".join(
                    f'<span class="{"hit" if s[f"top{k}"] else "miss"}">'
                    f'{"first" if k == 1 else f"top {k}"}: {"hit" if s[f"top{k}"] else "miss"}</span>'
                    for k in scoring.TOPS)
                area = "n/a" if s["auc"] is None else f"{s['auc']:.3f}"
                score = f"<td>{marks}<br>AUC {area}</td>"
        out.append(f"<tr><td>{html.escape(n)}</td><td>{marked_copy(outdir, n, files, locs[n], nlocs)}"
                   f"</td><td>{sm}</td><td>{table}</td>{score}</tr>")
    out.append("</table>")

    out.append("<h2>All files</h2><ul>")
    for f in sorted(files | ({ASSETS} if os.path.isdir(os.path.join(outdir, ASSETS)) else set())):
        out.append(f"<li>{link(f + '/' if os.path.isdir(os.path.join(outdir, f)) else f)}</li>")
    out.append('</ul><pre id="imgcheck" hidden></pre></body></html>')
    path = os.path.join(outdir, "index.html")
    with replaced(path, encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir", help="Lumivar's output folder")
    ap.add_argument("--log", help="Lumivar's standard output, for the settings it prints")
    ap.add_argument("--locations", type=int, default=5, help="locations shown per image")
    ap.add_argument("--record", help="the run record (Lumivar --json; default: the newest in "
                    "OUTDIR)")
    ap.add_argument("--boxes", help="object boxes in the scorer's format, for scores")
    a = ap.parse_args(argv)
    if not os.path.isdir(a.outdir):
        print(f"lumivar_report: {a.outdir}: no such folder", file=sys.stderr)
        return 1
    if a.log and not os.path.isfile(a.log):
        print(f"lumivar_report: {a.log}: no such log file", file=sys.stderr)
        return 1
    try:
        print(report(a.outdir, a.log, a.locations, a.record, a.boxes))
    except OSError as e:
        print(f"lumivar_report: {e.filename or a.outdir}: {e.strerror}", file=sys.stderr)
        return 1
    except (sio.DatError, ValueError) as e:
        print(f"lumivar_report: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
