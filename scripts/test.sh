#!/usr/bin/env bash
# Installs what is missing, builds and runs every check; fails if any fails:
#   native  all tests on x86-64 (with the lifecycle under valgrind's memcheck)
#   host-variant  the plug-in built against another set of host headers: its
#           tests, and two rounds of it in pondrel-host (built against host/)
#   armhf   the plug-in's tests on the 32-bit ARM target under qemu-arm
#   asan    all tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    the concurrency tests, the host services registry and a site polled
#           end to end with ThreadSanitizer
#   embedding  the project as a sub-project of another (testing/embedding/)
#   fuzz    each fuzz target for FUZZ_SECONDS (30) seconds
# Reuses build/<preset> when it exists.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

for preset in native host-variant armhf asan tsan; do
    echo "== ${preset}: configure, build, test"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}"
    ctest --preset "${preset}"
done

echo "== host-variant: its plug-in in pondrel-host, which was built against host/"
variant_history=$(mktemp -d)
rounds=$(build/native/bin/pondrel-host --plugin build/host-variant/board/driver/pondrel.so \
    --rounds 2 --interval 0.1 --history "${variant_history}/history.db" 2>/dev/null | grep -c '^{' || true)
rm -rf "${variant_history}"
if [ "${rounds}" != 2 ]; then
    echo "FAILED: pondrel-host ran ${rounds} of 2 rounds with the host-variant plug-in"
    exit 1
fi
echo "ok: two rounds"

echo "== embedding: the project as another project's sub-project"
cmake -S testing/embedding -B build/embedding >/dev/null
cmake --build build/embedding -j2
ctest --test-dir build/embedding --output-on-failure

echo "== fuzz"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

echo "== packages"
bash scripts/package.sh
bash testing/packages/package_test.sh
