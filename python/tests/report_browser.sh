#!/bin/sh
# A small Sendral and Lumivar run, its report pages opened in headless
# Chromium: every picture on them must load at its real size. One run keeps
# all outputs; the other has no maps or marked copies, only a map kept as a
# datfile, as a -nosm -d 0 run with Lumivar's -v leaves.
#   sh report_browser.sh SENDRAL LUMIVAR SOURCE_DIR
# Exits 77 (skipped) when Chromium is not installed.
set -u
sendral=$1
lumivar=$2
src=$3
py=/usr/bin/python3
tools=$src/python
chromium=/usr/bin/chromium
[ -x "$chromium" ] || { echo "chromium not installed; skipped"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/report_browser.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "--- $f"; tail -n 15 "$f"; done; exit 1; }

head -n 3 "$src/demo/lists/background.txt" | sed "s|^|$src/|" >"$work/background.txt"
head -n 3 "$src/demo/lists/coin.txt" | sed "s|^|$src/|" >"$work/coin.txt"
printf '%s\n%s\n' "$work/background.txt" "$work/coin.txt" >"$work/train.txt"
head -n 2 "$src/demo/lists/query.txt" | sed "s|^|$src/|" >"$work/query.txt"
mkdir "$work/model" "$work/full" "$work/bare"

"$sendral" -exBfea "$work/train.txt" 2 "$work/model" >"$work/sendral.log" 2>&1 || fail "Sendral"
"$lumivar" -f 3 -d 2 -s "$work/model" 1 "$work/query.txt" "$work/full" >"$work/full.log" 2>&1 \
  || fail "Lumivar"
"$lumivar" -f 3 -d 0 -nosm "$work/model" 1 "$work/query.txt" "$work/bare" >"$work/bare.log" 2>&1 \
  || fail "Lumivar -nosm -d 0"
"$py" -c "import sys; sys.path.insert(0, '$tools'); import numpy, sendral_io as s
s.write_dat('$work/bare/q00_sm.dat', numpy.outer(numpy.arange(240.0), numpy.ones(320)))" \
  || fail "write_dat of a map"
"$py" "$tools/sendral_features.py" "$work/model" >"$work/features.log" 2>&1 || fail "sendral_features.py"
"$py" "$tools/lumivar_score.py" "$work/full" "$src/demo/query/boxes.csv" >"$work/score.log" 2>&1
grep -q 'first location on the object: [0-2] of 10 query images' "$work/score.log" \
  || fail "lumivar_score.py did not count the two queries"

# dir, number of pictures the page must show
for page in "full 4" "bare 1"; do
  set -- $page
  "$py" "$tools/lumivar_report.py" "$work/$1" --log "$work/$1.log" >"$work/report.log" 2>&1 \
    || fail "lumivar_report.py $1"
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --virtual-time-budget=10000 --dump-dom \
    "file://$work/$1/index.html" >"$work/$1.dom" 2>"$work/chromium.log" || fail "chromium on $1"
  "$py" - "$work/$1" "$work/$1.dom" "$2" <<'PY' || fail "pictures of the $1 page"
import html, re, sys
from urllib.parse import unquote
from PIL import Image
folder, dom, want = sys.argv[1], open(sys.argv[2]).read(), int(sys.argv[3])
m = re.search(r'<pre id="imgcheck"[^>]*data-loaded="(\d+)"[^>]*>(.*?)</pre>', dom, re.S)
if not m:
    sys.exit("the page's picture check did not run")
lines = html.unescape(m.group(2)).splitlines()
bad = [l for l in lines if l.split()[1] != str(Image.open(folder + "/" + unquote(l.split()[0])).width)]
print("\n".join(lines))
if int(m.group(1)) != want or len(lines) != want or bad:
    sys.exit(f"want {want} pictures at their real widths; not so: {bad or lines}")
PY
done
echo "report pages load every picture"
