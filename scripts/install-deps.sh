#!/bin/sh
# Installs the Debian 12 packages the demo needs, only those missing: the
# build tools, MagickCore, pybind11 and the Python headers for the Python
# module the build makes, and NumPy and Pillow for the tools the demo runs.
# What only the tests need is installed by scripts/install-test-deps.sh.
#   sh scripts/install-deps.sh [more packages...]
set -e
pkgs="cmake g++ make pkg-config libmagickcore-6.q16-dev python3-dev pybind11-dev
      python3-numpy python3-pil $*"
missing=""
for p in $pkgs; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
echo "Installing:$missing"
$SUDO apt-get install -y --no-install-recommends $missing \
  || { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends $missing; }
