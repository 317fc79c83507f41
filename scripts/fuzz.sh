#!/bin/sh
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time.
#
#   sh scripts/fuzz.sh [seconds-per-target] [target ...]
#
# Targets: dat_header (datfile header through the open path), dat_read
# (reading a datfile and the matrix bridge) and list_file (list-file
# reader). Each starts from its seeds in fuzz/corpus/<target> and the inputs
# that once failed in fuzz/regressions/<target>; new inputs collect in
# build-fuzz/corpus/<target>, failing ones in build-fuzz/artifacts/<target>.
# Exits non-zero when any target reports a finding.
set -e
cd "$(dirname "$0")/.."
secs=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-dat_header dat_read list_file}

missing=""
for p in clang-14 libclang-rt-14-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  echo "Installing:$missing"
  $SUDO apt-get install -y --no-install-recommends $missing \
    || { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends $missing; }
fi
cxx=$(command -v clang++-14 || command -v clang++)

out=build-fuzz
mkdir -p "$out/obj"
san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
sh scripts/install-deps.sh
cflags="-std=c++17 -g -O1 -Wall -Wextra $san -Iapi/include -Ilib/mtx -Ilib/img -Ilib/dat -Icommon -Ifuzz
        -DSENDRAL_VERSION=\"fuzz\""

# The code under test and the entry functions, compiled once for all targets
# into an archive. The datfile library's image bridge is a library of its
# own and stays out, so no ImageMagick is needed.
rm -f "$out/obj/"*.o "$out/libfuzzed.a"
dat_sources=$(ls lib/dat/*.cpp | grep -v imgbridge)
for src in lib/mtx/alloc.cpp lib/mtx/fail.cpp $dat_sources common/files.cpp common/cli.cpp fuzz/fuzz_support.cpp \
           fuzz/dat_header_fuzz.cpp fuzz/dat_read_fuzz.cpp fuzz/list_file_fuzz.cpp; do
  "$cxx" $cflags -fsanitize=fuzzer-no-link -c "$src" -o "$out/obj/$(echo "$src" | tr / _).o"
done
ar rcs "$out/libfuzzed.a" "$out/obj/"*.o

failed=""
for t in $targets; do
  echo "== $t: building"
  "$cxx" $cflags -fsanitize=fuzzer -DFUZZ_ENTRY="fuzz_$t" fuzz/libfuzzer_main.cpp "$out/libfuzzed.a" \
    -o "$out/fuzz_$t"
  mkdir -p "$out/corpus/$t" "$out/artifacts/$t"
  dict=""
  case $t in dat_*) dict="-dict=fuzz/dat.dict" ;; esac
  seeds="fuzz/corpus/$t"
  [ -d "fuzz/regressions/$t" ] && seeds="$seeds fuzz/regressions/$t"
  echo "== $t: fuzzing for $secs s"
  # shellcheck disable=SC2086
  if ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" \
     UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
     "$out/fuzz_$t" -max_total_time="$secs" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$out/artifacts/$t/" $dict \
       "$out/corpus/$t" $seeds >"$out/$t.log" 2>&1; then
    grep -E "^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)" "$out/$t.log" || true
    echo "== $t: no finding"
  else
    tail -n 40 "$out/$t.log"
    echo "== $t: FINDING (log $out/$t.log, input in $out/artifacts/$t/)"
    failed="$failed $t"
  fi
done
[ -z "$failed" ] || { echo "Findings in:$failed"; exit 1; }
