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
# Fatal paths end the process through exit(), so blocks still owned by the
# caller at that moment are expected; leak checking would turn every death
# test's exit status into the sanitizer's own.  Huge-size tests need a null
# return from the allocator instead of a sanitizer abort.
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)"
