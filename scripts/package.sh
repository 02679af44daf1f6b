#!/usr/bin/env bash
# Builds the Debian packages into build/packages: pondrel_<version>_armhf.deb
# (the plug-in, cross-built) and pondrel_<version>_amd64.deb (the plug-in,
# pondrel-host and pondrel-meter-sim).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh >/dev/null
rm -f build/packages/pondrel_*.deb
for arch in armhf amd64; do
    cmake --preset "package-${arch}" >/dev/null
    cmake --build --preset "package-${arch}"
    cpack --preset "${arch}"
done
ls -l build/packages/*.deb
