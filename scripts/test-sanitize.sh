#!/bin/sh
# Builds the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in its own build folder and runs it; any sanitizer report fails the run.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-test-deps.sh
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags"
cmake --build build-sanitize -j "$(nproc)"
# Leaks are reported: a fatal exit (which leaves the blocks its callers own)
# skips the check by itself (lib/mtx/fail.cpp), every other exit is checked;
# scripts/lsan.supp names the leaks of the libraries we use. Huge-size tests
# need a null return from the allocator instead of a sanitizer abort.
ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:abort_on_error=0" \
LSAN_OPTIONS="suppressions=$(pwd)/scripts/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)"
