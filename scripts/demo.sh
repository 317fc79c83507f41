#!/bin/sh
# The demo: installs what is missing, builds both programs in Release mode,
# trains Sendral on the coin photographs under demo/, runs Lumivar on the
# query photographs, says how often its first location hit the coin and
# writes pages of the results (a report of the detections and a picture of
# the coin's features). Then it trains again with the boxes of the coins in
# the training images (Sendral --boxes) and detects with the learned
# weights (Lumivar --learned), for one more summary line.
# Settings can be changed through the environment: DEPTH, FEATURES, CIRCLES
# and MAP (Lumivar's map kind).
set -e
cd "$(dirname "$0")/.."
root=$(pwd)

depth=${DEPTH:-2}
features=${FEATURES:-12}
circles=${CIRCLES:-3}
mapkind=${MAP:-0}
# Paths relative to the top folder, so that logs, records and pages name no
# machine's folders.
build=build-release
out=$build/demo
model=$out/model
detections=$out/detections
learned_model=$out/model-boxes
learned_detections=$out/detections-learned

now() { date +%s.%N; }

echo "== Installing missing packages"
sh scripts/install-deps.sh

echo "== Building Sendral and Lumivar (Release) in $build"
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSENDRAL_TESTS=OFF >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target Sendral Lumivar -j "$(nproc)"
sendral=$build/trainer/Sendral
lumivar=$build/detector/Lumivar

rm -rf "$out"
mkdir -p "$model" "$detections" "$learned_detections"

ntrain=$(cat demo/lists/background.txt demo/lists/coin.txt | wc -l)
echo "== Training Sendral: $ntrain images in 2 classes (0 background, 1 coin), pyramid depth $depth"
t0=$(now)
"$sendral" -exBfea demo/lists/train.txt "$depth" "$model" >"$out/sendral.log" 2>&1 \
  || { tail -20 "$out/sendral.log"; echo "Sendral failed; its output is in $out/sendral.log"; exit 1; }
t1=$(now)

nquery=$(wc -l <demo/lists/query.txt)
echo "== Running Lumivar: class 1 on $nquery query images, $features features, map kind $mapkind"
t2=$(now)
"$lumivar" -f "$features" -d "$circles" -m "$mapkind" --json "$detections/run.json" "$model" 1 \
  demo/lists/query.txt "$detections" \
  >"$out/lumivar.log" 2>&1 \
  || { tail -20 "$out/lumivar.log"; echo "Lumivar failed; its output is in $out/lumivar.log"; exit 1; }
t3=$(now)

echo "== Training with the coins' boxes (demo/train/boxes.csv) and detecting with the learned weights"
t4=$(now)
"$sendral" -exBfea --boxes demo/train/boxes.csv demo/lists/train.txt "$depth" "$learned_model" \
  >"$out/sendral-boxes.log" 2>&1 \
  || { tail -20 "$out/sendral-boxes.log"; echo "Sendral --boxes failed; its output is in $out/sendral-boxes.log"; exit 1; }
t5=$(now)
"$lumivar" --learned -d "$circles" --json "$learned_detections/run.json" "$learned_model" 1 \
  demo/lists/query.txt "$learned_detections" >"$out/lumivar-learned.log" 2>&1 \
  || { tail -20 "$out/lumivar-learned.log"; echo "Lumivar --learned failed; its output is in $out/lumivar-learned.log"; exit 1; }
t6=$(now)

echo
echo "Outputs"
echo "  trained model (result directory): $model"
echo "  per query image, in $detections:"
echo "    NAME_sm.jpg      saliency map"
echo "    NAME_salloc      salient locations (row, column, radius, saliency)"
echo "    NAME_salloc.jpg  the image with the first $circles locations circled"
echo "  program logs: $out/sendral.log, $out/lumivar.log"
echo "  with the boxes: $learned_model (learned_class_1), $learned_detections"
echo
echo "Summary"
awk -v a="$t0" -v b="$t1" -v n="$ntrain" 'BEGIN{printf "  training time:   %.2f s for %d images\n", b - a, n}'
awk -v a="$t2" -v b="$t3" -v n="$nquery" 'BEGIN{printf "  detection time:  %.2f s per image (%d images)\n", (b - a) / n, n}'
# A query without its location file is reported and fails the demo.
/usr/bin/python3 python/lumivar_score.py "$detections" demo/query/boxes.csv --object "the coin"
learned_hits=$(/usr/bin/python3 python/lumivar_score.py "$learned_detections" demo/query/boxes.csv \
  --object "the coin" | sed -n 's/^ *first location on the coin: \([0-9]*\) of .*/\1/p')
awk -v k="${learned_hits:-?}" -v n="$nquery" -v a="$t4" -v b="$t5" -v c="$t6" 'BEGIN{
  printf "  with learned weights (--boxes, --learned): first location on the coin in %s of %d\n", k, n
  printf "    (training with the boxes %.2f s, detection %.2f s per image)\n", b - a, (c - b) / n}'

/usr/bin/python3 python/lumivar_report.py "$detections" --boxes demo/query/boxes.csv >/dev/null
/usr/bin/python3 python/sendral_features.py "$model" >/dev/null
# A picture of the report page, where a browser is at hand (docs/report.png is one).
for browser in chromium chromium-browser; do
  command -v "$browser" >/dev/null 2>&1 || continue
  "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$out/.browser" --hide-scrollbars --window-size=1200,1500 \
    --screenshot="$root/$out/report.png" "file://$root/$detections/index.html" >/dev/null 2>&1 \
    && echo "  (a picture of the report page: $out/report.png)"
  rm -rf "$out/.browser"
  break
done
echo
echo "Pages (open in a browser)"
echo "  detections: $detections/index.html"
echo "  features:   $model/features.html (picture $model/features.png)"
