#!/bin/sh
# Rebuilds the demo images under demo/ from the sample photographs that
# Debian's python3-skimage package ships. The results are committed, so the
# demo itself never runs this; it is kept so the data can be remade or changed.
#
#   apt-get install python3-skimage imagemagick
#   sh scripts/demo_make_data.sh [skimage-data-dir]
#
# Recipe: ancient coins are cut as discs out of coins.png; background images
# are crops of the other photographs; training images of the coin class and
# the query images are further crops with coins pasted at seeded random
# places, whose boxes are written down. Nothing here is drawn except the disc
# mask that cuts a coin out of its tray.
set -e
cd "$(dirname "$0")/.."
src=${1:-/usr/lib/python3/dist-packages/skimage/data}
[ -f "$src/coins.png" ] || { echo "no coins.png in $src (install python3-skimage)" >&2; exit 1; }
command -v convert >/dev/null || { echo "convert not found (install imagemagick)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=${OUT:-demo}
scale=${SCALE:-110}
margin=${MARGIN:-32}
tsize=${TSIZE:-256}
half=$((tsize / 2))
rm -rf "$out/train" "$out/query"
mkdir -p "$out/train/background" "$out/train/coin" "$out/query" "$out/lists"

# Source photographs, brought to a common working size.
convert "$src/astronaut.png" "$work/astronaut.png"
convert "$src/camera.png" "$work/camera.png"
convert "$src/chelsea.png" -resize 600x "$work/chelsea.png"
convert "$src/coffee.png" "$work/coffee.png"
convert "$src/rocket.jpg" "$work/rocket.png"
convert "$src/hubble_deep_field.jpg" -resize 50% "$work/hubble.png"
convert "$src/retina.jpg" -resize 480x480 "$work/retina.png"
convert "$src/clock_motion.png" -resize 600x "$work/clock.png"
convert "$src/brick.png" "$work/brick.png"
convert "$src/grass.png" "$work/grass.png"
convert "$src/gravel.png" "$work/gravel.png"

# The 24 coins of coins.png as centre x, centre y, radius, in reading order.
coins="44 53 27;101 56 25;155 51 28;216 51 27;276 52 23;334 43 32;45 124 25;103 126 23;153 127 23;206 124 23;271 120 28;337 125 22;43 197 21;102 195 25;154 197 22;212 193 26;274 194 25;348 186 35;46 260 30;114 266 24;172 261 30;244 264 27;301 263 27;358 268 25"
i=0
echo "$coins" | tr ';' '\n' | while read -r cx cy r; do
  [ -n "$cx" ] || continue
  d=$((2 * r))
  convert "$src/coins.png" -crop "${d}x${d}+$((cx - r))+$((cy - r))" +repage \
    \( -size "${d}x${d}" xc:black -fill white -draw "circle $r,$r $r,1" -blur 0x1 \) \
    -alpha off -compose CopyOpacity -composite "$work/coin$i.png"
  i=$((i + 1))
done

# crop PHOTO W H X Y OUT
crop() { convert "$work/$1.png" -crop "$2x$3+$4+$5" +repage "$6"; }

# paste BASE OUT SCALE% ROT then "coin x y" triples; prints the boxes.
paste_coins() {
  base=$1; dst=$2; scale=$3; rot=$4; shift 4
  set -- "$@"
  args=""
  while [ $# -ge 3 ]; do
    c=$1; x=$2; y=$3; shift 3
    dd=$(size_of "$c")
    args="$args ( $work/coin$c.png -rotate $rot -resize ${dd}x${dd}! ) -geometry +$x+$y -composite"
    echo "$x $y $((x + dd - 1)) $((y + dd - 1))"
  done
  # shellcheck disable=SC2086
  convert "$base" $args -quality 90 "$dst"
}

# size_of COIN: its pasted diameter at the chosen scale.
size_of() { w=$(identify -format %w "$work/coin$1.png"); echo $(( (w * scale + 50) / 100 )); }

rand() { awk -v s="$1" -v n="$2" 'BEGIN{srand(s); print int(rand()*n)}'; }

# Background class: plain crops of the photographs.
n=0
for place in "astronaut 0 0" "astronaut 256 256" "camera 0 0" "camera 256 200" \
            "chelsea 300 0" "coffee 0 0" "coffee 340 140" "rocket 0 0" "rocket 380 160" \
            "hubble 0 0" "hubble 240 180" "retina 100 100" "clock 300 100" \
            "brick 0 0" "grass 128 128" "gravel 256 0"; do
  set -- $place
  name=$(printf 'bg%02d' "$n")
  crop "$1" 256 256 "$2" "$3" "$work/crop_$name.png"
  convert "$work/crop_$name.png" -quality 90 "$out/train/background/$name.jpg"
  echo "$out/train/background/$name.jpg"
  n=$((n + 1))
done > "$out/lists/background.txt"

# Coin class: other crops with four of coins 0..15 pasted, one per quarter.
n=0
for place in "astronaut 256 0" "astronaut 0 256" "camera 256 0" "camera 0 256" \
            "chelsea 0 40" "coffee 170 0" "coffee 0 144" "rocket 190 0" "rocket 100 170" \
            "hubble 240 0" "hubble 0 180" "retina 220 200" "clock 0 40" \
            "brick 256 256" "grass 0 0" "gravel 0 256"; do
  set -- $place
  name=$(printf 'coin%02d' "$n")
  crop "$1" "$tsize" "$tsize" "$2" "$3" "$work/crop_$name.png"
  triples=""
  q=0
  for cell in "0 0" "$half 0" "0 $half" "$half $half"; do
    set -- $cell
    c=$(( (n * 4 + q) % 16 ))
    room=$(( half - $(size_of $c) ))
    x=$(( $1 + $(rand $((n * 10 + q)) $room) ))
    y=$(( $2 + $(rand $((n * 10 + q + 100)) $room) ))
    triples="$triples $c $x $y"
    q=$((q + 1))
  done
  # shellcheck disable=SC2086
  paste_coins "$work/crop_$name.png" "$out/train/coin/$name.jpg" "$scale" $(( (n % 4) * 90 )) $triples >/dev/null
  echo "$out/train/coin/$name.jpg"
  n=$((n + 1))
done > "$out/lists/coin.txt"

printf '%s\n' "$out/lists/background.txt" "$out/lists/coin.txt" > "$out/lists/train.txt"

# Queries: 320x240 crops with one of the held-out coins 16..23 at a seeded
# random place; boxes.csv gives each query's file name, then the coin's
# rows and columns (top, bottom, left, right, inclusive), as the scorer,
# the report and the tuner read them.
echo "name,top,bottom,left,right" > "$out/query/boxes.csv"
n=0
for place in "astronaut 120 220" "camera 160 40" "chelsea 150 150" "coffee 260 60" \
            "rocket 300 100" "hubble 100 150" "retina 120 100" "clock 150 200" \
            "astronaut 180 0" "coffee 40 80"; do
  set -- $place
  name=$(printf 'q%02d' "$n")
  crop "$1" 320 240 "$2" "$3" "$work/crop_$name.png"
  c=$(( 16 + n % 8 ))
  x=$(( margin + $(rand $((500 + n)) $(( 320 - 2 * margin - $(size_of $c) )) ) ))
  y=$(( margin + $(rand $((600 + n)) $(( 240 - 2 * margin - $(size_of $c) )) ) ))
  box=$(paste_coins "$work/crop_$name.png" "$out/query/$name.jpg" "$scale" $(( (n / 8) * 90 )) $c $x $y)
  set -- $box  # x0 y0 x1 y1
  echo "$name.jpg,$2,$4,$1,$3" >> "$out/query/boxes.csv"
  echo "$out/query/$name.jpg"
  n=$((n + 1))
done > "$out/lists/query.txt"

du -sh "$out"
