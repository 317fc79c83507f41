#!/bin/sh
# The README's "Your own images" steps, word for word, on a set of one's
# own: the build installed into a temporary prefix, the faces set laid out
# as a user's class folders (photos/background, photos/face, photos/query
# with boxes.csv), then every command of the README's block run in order,
# and the lists, the models, the scores and the page checked.
#   sh own_images.sh SOURCE_DIR BUILD_DIR
# The environment names cmake (CMAKE) and the Python packages' folder under
# the prefix (SENDRAL_PYDIR).
set -u
src=$1
build=$2
cmake=${CMAKE:-cmake}
command -v "$cmake" >/dev/null 2>&1 || { echo "SKIP: no cmake"; exit 77; }
ls "$build"/python/sendral/_native* >/dev/null 2>&1 \
  || { echo "SKIP: no Python module in this build"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/own_images.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$src/tests/support/expect.sh"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
export PATH="$prefix/bin:$PATH"
export PYTHONPATH="$prefix/${SENDRAL_PYDIR:-lib/python3/dist-packages}"

# A user's folders: copies, so nothing can lean on the repository's layout.
mkdir -p "$work/user/photos"
cp -r "$src/data/faces/train/background" "$work/user/photos/background"
cp -r "$src/data/faces/train/face" "$work/user/photos/face"
cp -r "$src/data/faces/query" "$work/user/photos/query"

# The steps as the README has them.
sed -n '/<!-- own images: begin -->/,/<!-- own images: end -->/p' "$src/README.md" \
  | sed '1d;$d; s/^    //' >"$work/steps.sh"
expect "the README holds no steps between its markers" [ "$(wc -l <"$work/steps.sh")" -ge 4 ]
(cd "$work/user" && sh -e -x "$work/steps.sh") >"$work/steps.log" 2>&1
status=$?
expect "the README's steps failed with status $status (log below)" [ "$status" -eq 0 ]

u=$work/user
expect "no training list with one list per class" [ "$(wc -l <"$u/lists/train.txt")" -eq 2 ]
expect "a class list names a relative path" sh -c '! grep -hv "^/" "$1"/lists/class*.txt' - "$u"
expect "the query list is not the 12 queries" [ "$(wc -l <"$u/lists/query.txt")" -eq 12 ]
expect "Sendral wrote no class file" [ -s "$u/model/Qor_class_1" ]
expect "Lumivar's record does not parse" /usr/bin/python3 -c \
  "import json, sys; d = json.load(open(sys.argv[1])); assert d['status'] == 0 and len(d['images']) == 12" \
  "$u/detections/run.json"
expect "no score line" grep -q "first location on the object: [0-9]* of 12 query images" "$work/steps.log"
expect "no report page" [ -s "$u/detections/index.html" ]
expect "the page does not show every query" [ "$(grep -o 'q[0-9]*_salloc.jpg"' "$u/detections/index.html" | sort -u | wc -l)" -eq 12 ]
[ "$failures" -eq 0 ] || { echo "--- steps"; cat "$work/steps.log"; }
expect_summary
