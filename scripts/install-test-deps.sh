#!/bin/sh
# Installs, besides what scripts/install-deps.sh installs, the Debian 12
# packages only the test suite needs, only those missing: GoogleTest, Chromium
# (the report pages' browser test), GNU parallel (the parallel scripts),
# man-db (the installed man pages), dpkg-dev (dpkg-shlibdeps, for the
# Debian package's dependencies), Slurm with munge (the README's Slurm
# recipe, on a one-node cluster the test starts itself) and clang-format
# (the format check).
set -e
sh "$(dirname "$0")/install-deps.sh" libgtest-dev chromium parallel man-db dpkg-dev slurm-wlm munge clang-format
