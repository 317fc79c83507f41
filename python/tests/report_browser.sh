#!/bin/sh
# A small run's report pages in headless Chromium: every picture must load
# at its real size, both for a run with all outputs and for one without
# maps or marked copies (-nosm -d 0) but with a map kept as a datfile.
#   sh report_browser.sh SENDRAL LUMIVAR SOURCE_DIR    (exit 77: no Chromium)
set -u
py=/usr/bin/python3
tools=$3/python
chromium=/usr/bin/chromium
[ -x "$chromium" ] || { echo "chromium not installed; skipped"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/report_browser.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -n 15 "$work"/*.log; exit 1; }

for l in background coin query; do head -n 2 "$3/demo/lists/$l.txt" | sed "s|^|$3/|" >"$work/$l.txt"; done
printf '%s\n%s\n' "$work/background.txt" "$work/coin.txt" >"$work/train.txt"
mkdir "$work/model" "$work/full" "$work/bare"
"$1" -exBfea "$work/train.txt" 2 "$work/model" >"$work/sendral.log" 2>&1 || fail "Sendral"
"$2" -f 3 -d 2 -s "$work/model" 1 "$work/query.txt" "$work/full" >"$work/full.log" 2>&1 || fail "Lumivar"
"$2" -f 3 -d 0 -nosm "$work/model" 1 "$work/query.txt" "$work/bare" >"$work/bare.log" 2>&1 \
  || fail "Lumivar -nosm -d 0"
"$py" -c "import sys; sys.path.insert(0, '$tools'); import numpy, sendral_io as s
s.write_dat('$work/bare/q00_sm.dat', numpy.outer(numpy.arange(240.0), numpy.ones(320)))" || fail "write_dat"
"$py" "$tools/sendral_features.py" "$work/model" >"$work/features.log" 2>&1 || fail "sendral_features.py"

for page in "full 4" "bare 1"; do  # folder, pictures on its page
  set -- $page
  "$py" "$tools/lumivar_report.py" "$work/$1" --log "$work/$1.log" >"$work/report.log" 2>&1 \
    || fail "lumivar_report.py $1"
  timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$(mktemp -d "$work/profile.XXXXXX")" --virtual-time-budget=10000 --dump-dom \
    "file://$work/$1/index.html" >"$work/$1.dom" 2>"$work/chromium.log" || fail "chromium on $1"
  "$py" - "$work/$1" "$work/$1.dom" "$2" <<'PY' || fail "pictures of the $1 page"
import html, re, sys
from urllib.parse import unquote
from PIL import Image
folder, dom, want = sys.argv[1], open(sys.argv[2]).read(), int(sys.argv[3])
m = re.search(r'<pre id="imgcheck"[^>]*>(.*?)</pre>', dom, re.S)
if not m:
    sys.exit("the page's picture check did not run")
lines = html.unescape(m.group(1)).splitlines()
bad = [l for l in lines if l.split()[1:2] != [str(Image.open(folder + "/" + unquote(l.split()[0])).width)]]
if len(lines) != want or bad:
    sys.exit(f"want {want} pictures at their real widths, got {lines}")
PY
done
echo "report pages load every picture"
