#!/usr/bin/env bash
# Builds pondrel.so for x86-64 and for the armhf board and prints where they are.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

for preset in native armhf; do
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" --target pondrel >/dev/null
    echo "${preset}: $(pwd)/build/${preset}/driver/pondrel.so"
done
