#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: on x86-64, then on the
# armhf target under qemu-arm. Reuses build/<preset> when it exists.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

for preset in native armhf; do
    echo "== ${preset}: configure, build, test"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}"
    ctest --preset "${preset}"
done
