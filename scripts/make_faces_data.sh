#!/bin/sh
# shellcheck disable=SC2086  # place lists and paste arguments are split on purpose
# Rebuilds the faces dataset under data/faces/ from sample data that Debian's
# python3-skimage package ships: a second object class, on photographs the
# demo does not use, for trying settings and for following the README's
# steps on your own images. The results are committed; this is kept so the
# data can be remade or changed.
#
#   apt-get install python3-skimage imagemagick python3-numpy
#   sh scripts/make_faces_data.sh [skimage-data-dir]
#
# python3-skimage pulls in SciPy and more; its data alone will do:
#
#   cd /tmp && apt-get download python3-skimage && dpkg -x python3-skimage_*.deb skim
#   sh scripts/make_faces_data.sh /tmp/skim/usr/lib/python3/dist-packages/skimage/data
#
# Recipe: the 100 face crops of lfw_subset.npy are enlarged and cut out as
# ellipses; background images are grey crops of the other photographs; the
# face class's training images and the query images are further crops with
# faces pasted at seeded places, whose boxes are written down. No list files
# are written: making them from the class folders is part of what this data
# is for.
set -e
cd "$(dirname "$0")/.."
src=${1:-/usr/lib/python3/dist-packages/skimage/data}
[ -f "$src/lfw_subset.npy" ] || { echo "no lfw_subset.npy in $src (install python3-skimage)" >&2; exit 1; }
command -v convert >/dev/null || { echo "convert not found (install imagemagick)" >&2; exit 1; }
# Debian's python3 has python3-numpy; another python3 on PATH may not.
py=/usr/bin/python3
[ -x "$py" ] || py=python3
"$py" -c 'import numpy' 2>/dev/null || { echo "$py cannot import numpy (install python3-numpy)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=${OUT:-data/faces}
size=${SIZE:-44}
margin=${MARGIN:-32}
tsize=${TSIZE:-256}
half=$((tsize / 2))
rm -rf "$out/train" "$out/query"
mkdir -p "$out/train/background" "$out/train/face" "$out/query"

# The faces are grey, so everything is made grey: a grey face in a colour
# photograph would stand out by its colour alone.
convert "$src/motorcycle_left.png" -colorspace Gray "$work/motol.png"
convert "$src/motorcycle_right.png" -colorspace Gray "$work/motor.png"
convert "$src/ihc.png" -colorspace Gray "$work/ihc.png"
convert "$src/moon.png" "$work/moon.png"
convert "$src/cell.png" "$work/cell.png"
# page.png and text.png are too small for 256x256 crops as they come.
# -quiet: page.png's colour profile draws a harmless warning.
convert -quiet "$src/page.png" -strip -resize 200% "$work/page.png"
convert "$src/text.png" -resize 150% "$work/text.png"

# lfw_subset.npy holds 200 images of 25x25 as floats in 0..1, the first
# 100 faces, the rest non-faces; only the faces are used, written out as PGM.
"$py" - "$src/lfw_subset.npy" "$work" <<'EOF'
import sys
import numpy as np
faces = np.load(sys.argv[1])
if faces.shape != (200, 25, 25):
    sys.exit(f"lfw_subset.npy: expected 200 images of 25x25, got {faces.shape}")
for i, f in enumerate(faces[:100]):
    with open(f"{sys.argv[2]}/lfw{i:02d}.pgm", "wb") as out:
        out.write(b"P5\n25 25\n255\n")
        out.write(np.rint(np.clip(f, 0, 1) * 255).astype(np.uint8).tobytes())
EOF

# Each face enlarged to size x size and cut out as an upright ellipse with
# a soft edge, so the crop's square corners (hair, backdrop) do not give it away.
rx=$((size * 42 / 100))
ry=$((size * 48 / 100))
mid=$(( (size - 1) / 2 )).$(( (size - 1) % 2 * 5 ))
i=0
while [ $i -lt 100 ]; do
  f=$(printf '%02d' $i)
  convert "$work/lfw$f.pgm" -resize "${size}x${size}!" \
    \( -size "${size}x${size}" xc:black -fill white \
       -draw "ellipse $mid,$mid $rx,$ry 0,360" -blur 0x1 \) \
    -alpha off -compose CopyOpacity -composite "$work/face$i.png"
  i=$((i + 1))
done

# crop PHOTO W H X Y OUT
crop() { convert "$work/$1.png" -crop "$2x$3+$4+$5" +repage "$6"; }

# paste BASE OUT FLOP then "face x y" triples; prints the boxes as
# top bottom left right.
paste_faces() {
  base=$1; dst=$2; flop=$3; shift 3
  args=""
  while [ $# -ge 3 ]; do
    f=$1; x=$2; y=$3; shift 3
    args="$args ( $work/face$f.png $flop ) -geometry +$x+$y -composite"
    echo "$y $((y + size - 1)) $x $((x + size - 1))"
  done
  convert "$base" $args -quality 90 "$dst"
}

# rand SEED N: a number in 0..N-1, from a 32-bit integer hash of SEED.
# Shell arithmetic rather than awk's rand(), whose sequence differs
# between mawk and gawk; a hash, so that neighbouring seeds do not give
# neighbouring places.
rand() {
  r=$(( (($1 >> 16) ^ $1) * 0x45d9f3b & 0xffffffff ))
  r=$(( ((r >> 16) ^ r) * 0x45d9f3b & 0xffffffff ))
  echo $(( ((r >> 16) ^ r) % $2 ))
}

# Background class: plain crops of the photographs.
n=0
for place in "motol 0 0" "motol 480 0" "motol 240 244" "motol 485 244" \
            "motor 240 0" "motor 0 244" "ihc 0 0" "ihc 256 256" \
            "moon 0 0" "moon 256 256" "cell 0 0" "cell 294 404" \
            "page 0 0" "page 512 126" "text 0 0" "text 416 2"; do
  set -- $place
  name=$(printf 'bg%02d' "$n")
  crop "$1" "$tsize" "$tsize" "$2" "$3" "$work/crop_$name.png"
  convert "$work/crop_$name.png" -quality 90 "$out/train/background/$name.jpg"
  n=$((n + 1))
done

# Face class: other crops with four of faces 0..59 pasted, one per quarter;
# every other image has its faces mirrored.
n=0
for place in "motol 240 0" "motol 0 244" "motor 0 0" "motor 480 0" \
            "motor 485 244" "motor 240 244" "ihc 256 0" "ihc 0 256" \
            "moon 256 0" "moon 0 256" "cell 294 0" "cell 0 404" \
            "cell 150 200" "page 256 0" "page 256 126" "text 208 0"; do
  set -- $place
  name=$(printf 'face%02d' "$n")
  crop "$1" "$tsize" "$tsize" "$2" "$3" "$work/crop_$name.png"
  triples=""
  q=0
  room=$((half - size))
  for cell in "0 0" "$half 0" "0 $half" "$half $half"; do
    set -- $cell
    f=$(( (n * 4 + q) % 60 ))
    x=$(( $1 + $(rand $((n * 10 + q)) $room) ))
    y=$(( $2 + $(rand $((n * 10 + q + 100)) $room) ))
    triples="$triples $f $x $y"
    q=$((q + 1))
  done
  flop=""
  [ $((n % 2)) -eq 1 ] && flop=-flop
  paste_faces "$work/crop_$name.png" "$out/train/face/$name.jpg" "$flop" $triples >/dev/null
  n=$((n + 1))
done

# Queries: 320x240 crops, each with one of the held-out faces 60..99 at a
# seeded place; boxes.csv gives its rows and columns, inclusive.
echo "name,top,bottom,left,right" > "$out/query/boxes.csv"
n=0
for place in "motol 100 100" "motor 300 200" "motol 400 250" "ihc 100 150" \
            "ihc 180 20" "moon 120 200" "moon 30 40" "cell 100 300" \
            "cell 200 60" "page 200 100" "text 150 10" "motor 60 30"; do
  set -- $place
  name=$(printf 'q%02d' "$n")
  crop "$1" 320 240 "$2" "$3" "$work/crop_$name.png"
  f=$((60 + n * 3))
  x=$(( margin + $(rand $((500 + n)) $((320 - 2 * margin - size + 1))) ))
  y=$(( margin + $(rand $((600 + n)) $((240 - 2 * margin - size + 1))) ))
  box=$(paste_faces "$work/crop_$name.png" "$out/query/$name.jpg" "" $f $x $y)
  echo "$name.jpg $box" | tr ' ' ',' >> "$out/query/boxes.csv"
  n=$((n + 1))
done

du -sh "$out"
