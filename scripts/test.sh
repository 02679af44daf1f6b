#!/usr/bin/env bash
# Installs what is missing, builds and runs every check; fails if any fails:
#   native  all tests on x86-64 (with the lifecycle under valgrind's memcheck)
#   armhf   the plug-in's tests on the 32-bit ARM target under qemu-arm
#   asan    all tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    the concurrency tests with ThreadSanitizer
#   fuzz    each fuzz target for FUZZ_SECONDS (30) seconds
# Reuses build/<preset> when it exists.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

for preset in native armhf asan tsan; do
    echo "== ${preset}: configure, build, test"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}"
    ctest --preset "${preset}"
done

echo "== fuzz"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

echo "== packages"
bash scripts/package.sh
bash tests/package_test.sh
