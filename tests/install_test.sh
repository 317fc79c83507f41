#!/bin/sh
# The installed tree as another project sees it: `cmake --install` into a
# temporary prefix, a consumer program built against it once through the
# CMake package and once through pkg-config alone, and the consumer's map of
# a query compared, byte for byte, with what the installed Lumivar -v writes
# for the same model trained by the installed Sendral.
#   sh install_test.sh SENDRAL LUMIVAR SOURCE_DIR BUILD_DIR
# The environment names the tools and flags of the build (CMAKE, CXX,
# CXXFLAGS, LDFLAGS: a sanitizer build's consumer needs the same runtime)
# and the library folder under the prefix (SENDRAL_LIBDIR).
set -u
sendral=$1
lumivar=$2
src=$3
build=$4
cmake=${CMAKE:-cmake}
cxx=${CXX:-c++}
libdir=${SENDRAL_LIBDIR:-lib}
depth=2

for tool in "$cmake" "$cxx" pkg-config cmp; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: no $tool"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/install_test.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$src/tests/support/expect.sh"
prefix=$work/prefix
lib=$prefix/$libdir

# Runs a step with its output in $work/log, shown only when it fails.
step() {
  "$@" >"$work/log" 2>&1 || { cat "$work/log"; return 1; }
}

if ! step "$cmake" --install "$build" --prefix "$prefix"; then
  echo "FAIL: cmake --install"; exit 1
fi
export PKG_CONFIG_PATH="$lib/pkgconfig"
version=$(pkg-config --modversion sendral)
expect "pkg-config does not find sendral.pc" [ -n "$version" ]

# --- The installed files -------------------------------------------------
for f in bin/Sendral bin/Lumivar include/sendral/error.hpp include/sendral/sendral.hpp \
         include/sendral/lumivar.hpp "$libdir/libsendral.so.$version" \
         "$libdir/cmake/Sendral/SendralConfig.cmake" \
         "$libdir/cmake/Sendral/SendralConfigVersion.cmake" \
         "$libdir/cmake/Sendral/SendralTargets.cmake"; do
  expect "$f is not installed" [ -f "$prefix/$f" ]
done
# MagickCore is the library's own business: nothing of it in a consumer's
# compile flags.
expect "pkg-config --cflags sendral carries MagickCore's flags" \
  sh -c '! pkg-config --cflags sendral | grep -qiE "magick|openmp"'
for p in "Sendral $sendral" "Lumivar $lumivar"; do
  expect "installed ${p%% *} does not report the built one's version" \
    [ "$("$prefix/bin/${p%% *}" --version)" = "$("${p#* }" --version)" ]
done

# --- The consumer, built two ways ----------------------------------------
expect "the consumer does not configure with find_package(Sendral)" \
  step "$cmake" -S "$src/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix"
expect "the consumer does not build with find_package(Sendral)" \
  step "$cmake" --build "$work/cmake-build"
mkdir "$work/pc-build"
# shellcheck disable=SC2046,SC2086 # the flags are lists of words
expect "the consumer does not build with pkg-config's flags alone" \
  step "$cxx" ${CXXFLAGS:-} -std=c++17 -o "$work/pc-build/consumer" "$src/tests/consumer/main.cpp" \
    $(pkg-config --cflags --libs sendral) ${LDFLAGS:-}

# --- The same map from the installed programs and from the library -------
head -n 3 "$src/demo/lists/background.txt" | sed "s|^|$src/|" >"$work/background.txt"
head -n 3 "$src/demo/lists/coin.txt" | sed "s|^|$src/|" >"$work/coin.txt"
printf '%s\n%s\n' "$work/background.txt" "$work/coin.txt" >"$work/train.txt"
query=$src/$(head -n 1 "$src/demo/lists/query.txt")
echo "$query" >"$work/query.txt"
name=$(basename "$query" | sed 's|\.[^.]*$||')

expect "installed Sendral failed" \
  step "$prefix/bin/Sendral" -exBfea "$work/train.txt" "$depth" "$work/model"
expect "installed Lumivar -v failed" \
  step "$prefix/bin/Lumivar" -v "$work/model" 1 "$work/query.txt" "$work/out"
expect "Lumivar -v wrote no map data" [ -s "$work/out/${name}_sm.dat/data" ]
for kind in cmake pc; do
  # CMake gives its build a run path to the imported library; the
  # pkg-config build has none and is pointed at the prefix.
  [ "$kind" = cmake ] && path=${LD_LIBRARY_PATH:-} || path=$lib
  LD_LIBRARY_PATH=$path "$work/$kind-build/consumer" "$work/model" 1 "$query" "$work/$kind.map" \
    >"$work/$kind.out" 2>"$work/$kind.err"
  status=$?
  expect "$kind consumer exited with $status: $(head -n 3 "$work/$kind.err")" [ "$status" -eq 0 ]
  expect "$kind consumer's library reports another version than $version" \
    [ "$(head -n 1 "$work/$kind.out")" = "$version" ]
  expect "$kind consumer's map differs from Lumivar's ${name}_sm.dat" \
    cmp -s "$work/$kind.map" "$work/out/${name}_sm.dat/data"
done
# --- The Python packages, from another folder, with Debian's python3 -----
pydir=$prefix/${SENDRAL_PYDIR:-}
if [ -n "${SENDRAL_PYDIR:-}" ] && [ -d "$pydir/sendral" ] && ls "$pydir"/sendral/_native* >/dev/null 2>&1; then
  expect "the installed packages do not reproduce ${name}_sm.dat" \
    step sh -c 'cd / && PYTHONPATH="$1" /usr/bin/python3 -c "
import sys, numpy as np, lumivar, sendral, sendral.io as sio
m = lumivar.Model(sys.argv[1], 1).detect(sys.argv[2]).map
assert sendral.__file__.startswith(sys.argv[4]), sendral.__file__
assert np.array_equal(m, sio.read_dat(sys.argv[3])), \"maps differ\"
" "$2" "$3" "$4" "$1"' - "$pydir" "$work/model" "$query" "$work/out/${name}_sm.dat"
fi
expect_summary
