#!/bin/sh
# Counts how many first salient locations fall inside the true boxes.
#   sh scripts/demo_score.sh BOXES DETECTIONS_DIR
# BOXES holds one line per query: name x0 y0 x1 y1 (columns then rows,
# inclusive). The first line of DETECTIONS_DIR/name_salloc is the first
# location: row, column, radius, saliency, separated by tabs.
# Prints one line per query and then "k of n"; exits 1 when a location file
# is missing.
set -e
[ $# -eq 2 ] || { echo "usage: sh scripts/demo_score.sh BOXES DETECTIONS_DIR" >&2; exit 2; }
boxes=$1
dir=$2
missing=0
k=0
n=0
while read -r name x0 y0 x1 y1; do
  [ -n "$name" ] || continue
  n=$((n + 1))
  f=$dir/${name}_salloc
  if [ ! -r "$f" ]; then
    echo "  $name: no location file $f"
    missing=1
    continue
  fi
  set -- $(head -n 1 "$f")
  row=$1
  col=$2
  if [ "$col" -ge "$x0" ] && [ "$col" -le "$x1" ] && [ "$row" -ge "$y0" ] && [ "$row" -le "$y1" ]; then
    verdict=hit
    k=$((k + 1))
  else
    verdict=miss
  fi
  printf '  %-6s first location row %3d col %3d   coin rows %d-%d cols %d-%d   %s\n' \
    "$name" "$row" "$col" "$y0" "$y1" "$x0" "$x1" "$verdict"
done <"$boxes"
echo "  first location on the coin: $k of $n query images"
exit $missing
