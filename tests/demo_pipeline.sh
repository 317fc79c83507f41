#!/bin/sh
# The demo pipeline on a few images and a shallow pyramid: Sendral trains on
# part of demo/, Lumivar runs on two queries, and every file each of them is
# meant to write must be there and well formed.
#   sh demo_pipeline.sh SENDRAL LUMIVAR SOURCE_DIR
set -u
sendral=$1
lumivar=$2
src=$3
depth=2

work=$(mktemp -d "${TMPDIR:-/tmp}/demo_pipeline.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$src/tests/support/expect.sh"

# Qor_class_ file: one line per feature (cost, score, level, index).
feature_file_ok() {
  [ "$(awk -F'\t' -v d="$depth" 'NF==4 && $3>=0 && $3<d && $4>=0 && $4<64' "$1" | wc -l)" \
    -eq $((64 * depth)) ]
}
# Location file: row and column inside the 320x240 query, a radius that a
# depth-2 pyramid can give, a saliency value.
locations_ok() {
  [ -s "$1" ] && awk -F'\t' 'NF != 4 || $1 < 0 || $1 >= 240 || $2 < 0 || $2 >= 320 ||
                            ($3 != 4 && $3 != 8) { bad = 1 } END { exit bad }' "$1"
}

# Reduced lists with absolute paths, so the run does not depend on the
# working directory.
head -n 3 "$src/demo/lists/background.txt" | sed "s|^|$src/|" >"$work/background.txt"
head -n 3 "$src/demo/lists/coin.txt" | sed "s|^|$src/|" >"$work/coin.txt"
printf '%s\n%s\n' "$work/background.txt" "$work/coin.txt" >"$work/train.txt"
head -n 2 "$src/demo/lists/query.txt" | sed "s|^|$src/|" >"$work/query.txt"
mkdir "$work/model" "$work/out"

# --- Training ------------------------------------------------------------
"$sendral" -exBfea "$work/train.txt" "$depth" "$work/model" >"$work/sendral.log" 2>&1
status=$?
expect "Sendral exited with $status" [ "$status" -eq 0 ]
for f in "Allmnt$depth.dat" Allalpha.dat Allbeta.dat classMD.dat StandVar.dat \
         sortMDs.dat sortCosts.dat sortidx.dat pyddepth salientfeaturenum \
         Qor_class_0 Qor_class_1 timeusage; do
  expect "Sendral did not write $f" [ -e "$work/model/$f" ]
done
expect "pyddepth does not hold $depth" [ "$(cat "$work/model/pyddepth" 2>/dev/null)" = "$depth" ]
expect "salientfeaturenum has not one line per class" \
  [ "$(wc -l <"$work/model/salientfeaturenum" 2>/dev/null)" = 2 ]
for c in 0 1; do
  expect "Qor_class_$c is not $((64 * depth)) feature lines" feature_file_ok "$work/model/Qor_class_$c"
done
nsal=$(sed -n 2p "$work/model/salientfeaturenum" 2>/dev/null)
expect "the coin class has no salient feature" [ "${nsal:-0}" -gt 0 ]

# --- Detection -----------------------------------------------------------
"$lumivar" -f 3 -d 2 -s "$work/model" 1 "$work/query.txt" "$work/out" >"$work/lumivar.log" 2>&1
status=$?
expect "Lumivar exited with $status" [ "$status" -eq 0 ]
for q in $(sed 's|.*/||; s|\.[^.]*$||' "$work/query.txt"); do
  for suffix in _sm.jpg _salloc _scalemap.dat _salloc.jpg; do
    expect "Lumivar did not write $q$suffix" [ -e "$work/out/$q$suffix" ]
  done
  expect "$q: empty saliency map image" [ -s "$work/out/${q}_sm.jpg" ]
  expect "$q: empty marked image" [ -s "$work/out/${q}_salloc.jpg" ]
  expect "$q: malformed location file" locations_ok "$work/out/${q}_salloc"
done

# The scorer reads these outputs against the demo's boxes; queries not run
# count as missing, so it must say so and fail.
/usr/bin/python3 "$src/python/lumivar_score.py" "$work/out" "$src/demo/query/boxes.csv" \
  --object "the coin" >"$work/score.log" 2>&1
status=$?
expect "the scorer did not count the two queries" grep -q 'on the coin: [0-2] of 10 query' "$work/score.log"
expect "the scorer passed over missing location files" [ "$status" -ne 0 ]

if [ "$failures" -ne 0 ]; then
  echo "--- Sendral output (end)"; tail -n 20 "$work/sendral.log"
  echo "--- Lumivar output (end)"; tail -n 20 "$work/lumivar.log"
fi
expect_summary
