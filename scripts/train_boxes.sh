#!/bin/sh
# shellcheck disable=SC2086  # cell lists are split on purpose
# Writes the boxes of the objects in the training images of the bundled
# sets, for Sendral --boxes, from the placements their recipes used when
# they pasted four objects into each image (the same sizes, cells and
# seeded random numbers, without the photographs):
#
#   sh scripts/train_boxes.sh demo    # demo/train/boxes.csv (scripts/demo_make_data.sh)
#   sh scripts/train_boxes.sh faces   # data/faces/train/boxes.csv (scripts/make_faces_data.sh)
#
# The demo's recipe draws its places with awk's rand(), whose sequence
# differs between mawk (Debian's awk, which made the committed images) and
# gawk; run this with the same awk. Both committed files were checked
# against the pasted objects.
set -e
cd "$(dirname "$0")/.."
set_name=${1:-demo}
tsize=256
half=$((tsize / 2))

case "$set_name" in
  demo)
    out=${2:-demo/train/boxes.csv}
    scale=110
    # The radii of the 24 coins of coins.png, in demo_make_data.sh's order.
    radii="27 25 28 27 23 32 25 23 23 23 28 22 21 25 22 26 25 35 30 24 30 27 27 25"
    size_of() { i=$1; set -- $radii; shift "$i"; echo $(( (2 * $1 * scale + 50) / 100 )); }
    rand() { awk -v s="$1" -v n="$2" 'BEGIN{srand(s); print int(rand()*n)}'; }
    prefix=coin; count=16; objects=16 ;;
  faces)
    out=${2:-data/faces/train/boxes.csv}
    size_of() { echo 44; }
    # make_faces_data.sh's integer hash of the seed.
    rand() {
      r=$(( (($1 >> 16) ^ $1) * 0x45d9f3b & 0xffffffff ))
      r=$(( ((r >> 16) ^ r) * 0x45d9f3b & 0xffffffff ))
      echo $(( ((r >> 16) ^ r) % $2 ))
    }
    prefix=face; count=16; objects=60 ;;
  *) echo "usage: sh scripts/train_boxes.sh demo|faces [out.csv]" >&2; exit 2 ;;
esac

{
  echo "entry,top,bottom,left,right"
  n=0
  while [ $n -lt $count ]; do
    name=$(printf '%s%02d.jpg' "$prefix" "$n")
    q=0
    for cell in "0 0" "$half 0" "0 $half" "$half $half"; do
      set -- $cell
      d=$(size_of $(( (n * 4 + q) % objects )))
      room=$(( half - d ))
      x=$(( $1 + $(rand $((n * 10 + q)) $room) ))
      y=$(( $2 + $(rand $((n * 10 + q + 100)) $room) ))
      echo "$name,$y,$((y + d - 1)),$x,$((x + d - 1))"
      q=$((q + 1))
    done
    n=$((n + 1))
  done
} > "$out"
echo "$out: $(($(wc -l < "$out") - 1)) boxes"
