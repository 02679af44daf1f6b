#!/usr/bin/env bash
# Builds the plug-in for x86-64 and for the armhf board, then runs pondrel-host
# against the built-in simulated meter for a few rounds: one JSON snapshot a
# line on standard output, the host's status lines on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh >/dev/null

cmake --preset armhf >/dev/null
cmake --build --preset armhf --target pondrel >/dev/null
echo "armhf plug-in: $(pwd)/build/armhf/board/driver/pondrel.so" >&2

cmake --preset native >/dev/null
cmake --build --preset native --target pondrel pondrel-host pondrel-meter-sim >/dev/null
echo "x86-64 plug-in: $(pwd)/build/native/board/driver/pondrel.so" >&2

# Its history stays in the build folder (another --history in "$@" wins).
exec build/native/bin/pondrel-host --rounds "${ROUNDS:-3}" --history build/native/run/history.db "$@"
