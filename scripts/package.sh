#!/usr/bin/env bash
# Builds the Debian packages into build/packages from the trees the tests run:
# pondrel_<version>_amd64.deb (the plug-in, pondrel-host, pondrel-meter-sim,
# pondrel-history, pondrel-check-host and the service) from build/native, and
# pondrel_<version>_armhf.deb (the plug-in, cross-built) from build/armhf. Both
# presets build with Debian's own flags and install under /usr, so what the
# tests ran is what is packaged; a tree already built is only packaged.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh >/dev/null
rm -f build/packages/pondrel_*.deb
for arch in armhf amd64; do
    preset=$([ "${arch}" = amd64 ] && echo native || echo armhf)
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}"
    cpack --preset "${arch}"
done
ls -l build/packages/*.deb
