#!/bin/sh
# train-parallel.sh and detect-parallel.sh with two local jobs on generated
# images, in a folder whose name holds a blank: the merged model and the
# parted detection must equal single runs, and failures must be named. Then
# again on paths full of parallel's replacement strings, quotes and $(...),
# which must reach the programs as they are.
#   sh parallel_scripts.sh SENDRAL LUMIVAR SOURCE_DIR
set -u
sendral=$1
lumivar=$2
scripts=$3/scripts
parallel --version 2>/dev/null | grep -q 'GNU parallel' || { echo "GNU parallel is absent: skipped"; exit 77; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/parallel_scripts.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/a b" && cd "$tmp/a b" && mkdir img q r
. "$3/tests/support/expect.sh"
. "$3/tests/support/pgm.sh"
for c in 0 1; do
  for i in 0 1 2 3 4; do pgm "img/c$c-$i.pgm" 64 64 $c $((10 * c + i + 1)); echo "img/c$c-$i.pgm"; done >"class$c.txt"
done
printf 'class0.txt\nclass1.txt\n' >train.txt
pgm q/x.1.pgm 80 72 1 31; pgm q/y.pgm 80 72 0 32; pgm r/z 80 72 1 33
printf 'q/x.1.pgm\nq/y.pgm r/z\n' >query.txt

# --- Training: 3 parts on 2 jobs against one run --------------------------
"$sendral" train.txt 2 "single model" >single.log 2>&1
expect "the single training failed" [ $? -eq 0 ]
bash "$scripts/train-parallel.sh" --sendral "$sendral" -j 2 --parts 3 train.txt 2 "merged model" >train.log 2>&1
expect "train-parallel.sh failed: $(tail -n 3 train.log)" [ $? -eq 0 ]
for f in sortidx.dat/data salientfeaturenum Qor_class_0 Qor_class_1; do
  expect "merged $f differs from a single run's" cmp -s "single model/$f" "merged model/$f"
done

# --- Detection: 2 parts against one run, byte for byte ---------------------
"$lumivar" -d 2 -s "single model" 1 query.txt "single out" >lumivar.log 2>&1
expect "the single detection failed" [ $? -eq 0 ]
bash "$scripts/detect-parallel.sh" --lumivar "$lumivar" -j 2 --parts 2 -d 2 -s "single model" 1 \
  query.txt "parted out" >detect.log 2>&1
expect "detect-parallel.sh failed: $(tail -n 3 detect.log)" [ $? -eq 0 ]
expect "parted outputs differ from a single run's" diff -r "single out" "parted out"

# --- Failures: a part that fails, and outputs that would collide ----------
printf 'q/y.pgm\nq/missing.pgm\nr/z\n' >bad.txt
bash "$scripts/detect-parallel.sh" --lumivar "$lumivar" -j 2 --parts 2 "single model" 1 bad.txt bad >bad.log 2>&1
expect "a failed detection part was reported as success" [ $? -ne 0 ]
expect "the failed part was not named" grep -q 'part 2/2 .*failed' bad.log
printf 'q/y.pgm\nimg/c0-1.pgm\nq/x.1.pgm q/x.1.png\n' >same.txt
bash "$scripts/detect-parallel.sh" --lumivar "$lumivar" "single model" 1 same.txt same >same.log 2>&1
expect "colliding outputs were not refused" [ $? -ne 0 ]
expect "the colliding entries were not named" grep -q 'q/x.1.pgm and q/x.1.png both write outputs named x.1' same.log
expect "a part started despite the collision" [ ! -e same ]
printf 'img/c1-0.pgm\nimg/missing.pgm\n' >class2.txt
printf 'class0.txt\nclass2.txt\n' >badtrain.txt
bash "$scripts/train-parallel.sh" --sendral "$sendral" --parts 2 badtrain.txt 2 badmodel >badtrain.log 2>&1
expect "a failed shard was reported as success" [ $? -ne 0 ]
expect "the failed shard was not named" grep -q 'shard 1/2 failed' badtrain.log
expect "a model was merged from a failed shard" [ ! -e badmodel ]
expect "a failed shard left a staging folder" [ -z "$(ls -A badmodel.shards | grep '^[.]')" ]

# --- Paths reach the parts literally ---------------------------------------
# Folder names with blanks, parallel's replacement strings, quotes and
# command substitutions; list names with all of that but the blanks.
odd="$tmp/a b/{} {.} {/} {#} {%} {= \$_='perl' =} 'q' \"d\" \$(touch ran) \`touch ran\`"
word="{}{.}{=\$_=uc=}'\"\$(touch\${IFS}ran)\`touch\${IFS}ran\`"
mkdir -p "$odd/bin" && ln -s "$sendral" "$odd/bin/Sendral" && ln -s "$lumivar" "$odd/bin/Lumivar"
cp class1.txt "c$word.txt" && cp q/x.1.pgm "q/x$word.pgm"
printf 'class0.txt\nc%s.txt\n' "$word" >"$odd/t$word.txt"
printf 'q/x%s.pgm\nq/y.pgm\n' "$word" >"$odd/q$word.txt"
bash "$scripts/train-parallel.sh" --sendral "$odd/bin/Sendral" -j 2 --parts 3 "$odd/t$word.txt" 2 \
  "$odd/model" >odd-train.log 2>&1
expect "train-parallel.sh failed on odd paths: $(tail -n 3 odd-train.log)" [ $? -eq 0 ]
for f in sortidx.dat/data salientfeaturenum Qor_class_0 Qor_class_1; do
  expect "merged $f on odd paths differs from a single run's" cmp -s "single model/$f" "$odd/model/$f"
done
"$lumivar" -d 2 "single model" 1 "$odd/q$word.txt" "single odd" >/dev/null 2>&1
bash "$scripts/detect-parallel.sh" --lumivar "$odd/bin/Lumivar" -j 2 --parts 2 -d 2 "$odd/model" 1 \
  "$odd/q$word.txt" "$odd/out" >odd-detect.log 2>&1
expect "detect-parallel.sh failed on odd paths: $(tail -n 3 odd-detect.log)" [ $? -eq 0 ]
expect "parted outputs on odd paths differ from a single run's" diff -r "single odd" "$odd/out"
expect "a path was run as a command" [ -z "$(find "$tmp" -name ran)" ]

expect_summary
