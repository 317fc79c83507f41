#!/bin/sh
# Fails when a C++ file of the project differs from what clang-format makes
# of it under .clang-format, and names the files; `-i` formats them instead.
set -e
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null 2>&1 || sh scripts/install-deps.sh clang-format
files=$(git ls-files '*.cpp' '*.h' '*.inc')
if [ "$1" = "-i" ]; then
  # shellcheck disable=SC2086
  clang-format -i $files
  exit 0
fi
bad=""
for f in $files; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad="$bad $f"
done
if [ -n "$bad" ]; then
  echo "Not formatted as .clang-format says (sh scripts/check-format.sh -i fixes it):"
  for f in $bad; do echo "  $f"; done
  exit 1
fi
