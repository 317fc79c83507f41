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

# --- The tools as commands, from another folder --------------------------
tools="lumivar-report lumivar-score sendral-features lumivar-tune sendral-lists"
for t in $tools; do
  expect "bin/$t is not installed as a program" [ -x "$prefix/bin/$t" ]
  expect "bin/$t does not start with Debian's /usr/bin/python3" \
    [ "$(head -n 1 "$prefix/bin/$t")" = "#!/usr/bin/python3" ]
done
if [ -n "${SENDRAL_PYDIR:-}" ] && [ -d "$pydir/sendral" ]; then
  for t in $tools; do
    expect "$t --help fails when run from /" \
      step sh -c 'cd / && PYTHONPATH="$1" "$2" --help' - "$pydir" "$prefix/bin/$t"
  done
else
  echo "SKIP: the tools' --help: no Python packages under the prefix"
fi

# --- Man pages -----------------------------------------------------------
if command -v man >/dev/null 2>&1; then
  for p in Sendral Lumivar; do
    page=$prefix/share/man/man1/$p.1
    expect "man does not find $p under the prefix" \
      [ "$(MANPATH="$prefix/share/man" man -w "$p" 2>/dev/null)" = "$page" ]
    expect "man -l $p.1 warns" \
      [ -z "$(MANWIDTH=80 man -l --warnings "$page" 2>&1 >/dev/null)" ]
    expect "man -l $p.1 renders no EXIT STATUS section" \
      sh -c 'MANWIDTH=80 MANPAGER=cat man -l "$1" 2>/dev/null | grep -q "^EXIT STATUS"' - "$page"
  done
else
  echo "SKIP: man pages: no man"
fi

# --- Bash completions ----------------------------------------------------
comp=$prefix/share/bash-completion/completions
# completes WANT COMMAND WORD...: what the installed completion of COMMAND
# offers for the last word is WANT.
completes() {
  want=$1; shift
  got=$(bash -c '. "$1/$2" || exit 1; shift
    f=$(complete -p "$1" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    "$f" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"' - "$comp" "$@" 2>&1)
  [ "$got" = "$want" ] || { echo "completion of \"$*\": \"$got\", not \"$want\""; return 1; }
}
if command -v bash >/dev/null 2>&1; then
  for c in Sendral Lumivar $tools; do
    expect "the completion file $c does not define one for $c" \
      step bash -c '. "$1/$2" && complete -p "$2"' - "$comp" "$c"
  done
  expect "Lumivar -m does not complete the map kinds" completes "0 1 2" Lumivar -m ""
  expect "Lumivar does not offer the model's classes" completes "0 1" Lumivar -f 3 "$work/model" ""
  expect "Sendral does not complete its options" completes "-exBfea" Sendral -e
  expect "Sendral does not offer a folder for the result" \
    completes "$work/model" Sendral -j 2 "$work/train.txt" 2 "$work/mo"
else
  echo "SKIP: completions: no bash"
fi

# --- The Debian package --------------------------------------------------
# Made from the build folder's CPack configuration into the temporary folder,
# so that no package file is left in the build tree.
cpack=$(dirname "$cmake")/cpack
[ -x "$cpack" ] || cpack=cpack
if ! command -v "$cpack" >/dev/null 2>&1 || ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "SKIP: the Debian package: no cpack or dpkg-deb"
elif ! step "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb"; then
  expect "cpack -G DEB failed" false
else
  deb=$(ls "$work"/deb/*.deb)
  dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/deb.list"
  # What the prefix holds, under /usr, with the Python packages in Debian's
  # own folder for /usr.
  entries="bin/Sendral bin/Lumivar $(for t in $tools; do echo "bin/$t"; done)
           $libdir/libsendral.so.$version include/sendral/lumivar.hpp
           $libdir/cmake/Sendral/SendralConfig.cmake $libdir/pkgconfig/sendral.pc
           lib/python3/dist-packages/sendral/__init__.py lib/python3/dist-packages/sendral/io.py
           lib/python3/dist-packages/lumivar/__init__.py
           share/man/man1/Sendral.1 share/man/man1/Lumivar.1
           $(for c in Sendral Lumivar $tools; do echo "share/bash-completion/completions/$c"; done)"
  for f in $entries; do
    expect "the package does not hold /usr/$f" grep -qx "\./usr/$f" "$work/deb.list"
  done
  if ls "$pydir"/sendral/_native* >/dev/null 2>&1; then
    expect "the package does not hold the compiled Python module" \
      grep -q "^\./usr/lib/python3/dist-packages/sendral/_native" "$work/deb.list"
  fi
  expect "the package is not sendral $version" \
    [ "$(dpkg-deb -f "$deb" Package Version)" = "$(printf 'Package: sendral\nVersion: %s' "$version")" ]
  expect "the package does not depend on MagickCore and NumPy" \
    sh -c 'dpkg-deb -f "$1" Depends | grep -q "libmagickcore.*python3-numpy\|python3-numpy.*libmagickcore"' - "$deb"
fi
expect_summary
