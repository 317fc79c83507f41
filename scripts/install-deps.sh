#!/bin/sh
# Installs the Debian 12 packages the build, the Python modules and tools, their
# browser test and the parallel scripts need, only those missing.
set -e
pkgs="cmake g++ make pkg-config libgtest-dev libmagickcore-6.q16-dev python3-dev pybind11-dev
      python3-numpy python3-pil chromium
      parallel"
missing=""
for p in $pkgs; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
echo "Installing:$missing"
$SUDO apt-get install -y --no-install-recommends $missing \
  || { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends $missing; }
