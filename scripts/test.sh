#!/usr/bin/env bash
# Installs what is missing, builds and runs every check; fails if any fails.
#   bash scripts/test.sh           every stage below, in order
#   bash scripts/test.sh --quick   the native stage alone (the edit-test loop)
# Stages:
#   native  all tests on x86-64 (with the lifecycle under valgrind's memcheck),
#           built as the amd64 package is (Debian's build flags, under /usr)
#   host-variant  the plug-in built against another set of host headers: its
#           tests, and two rounds of it in pondrel-host (built against host/)
#   armhf   the plug-in's tests on the 32-bit ARM target under qemu-arm, built
#           as the armhf package is
#   asan    all tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    the concurrency tests, the host services registry and a site polled
#           end to end with ThreadSanitizer
#   embedding  the project as a sub-project of another (testing/embedding/)
#   fuzz    each fuzz target for FUZZ_SECONDS (30) seconds
#   packages  both Debian packages made from the native and armhf trees, checked
# Reuses build/<preset> when it exists. Each stage's time is printed at its end.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
case "${1:-}" in
    "") ;;
    --quick) quick=true ;;
    *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

bash scripts/deps.sh

stage_started=0
stage() {  # stage NAME: ends the stage before, if any, with its time
    local now
    now=$(date +%s)
    if [ -n "${stage_name:-}" ]; then
        echo "== ${stage_name}: done in $((now - stage_started)) s"
    fi
    stage_name="${1:-}"
    stage_started=${now}
    if [ -n "${stage_name}" ]; then echo "== ${stage_name}"; fi
}

# A build folder made by another generator (Make, before Ninja) starts afresh.
fresh_if_other_generator() {  # fresh_if_other_generator FOLDER
    if [ -f "$1/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$1/CMakeCache.txt"; then
        rm -rf "$1"
    fi
}

preset() {  # preset NAME: configure, build and test one preset
    stage "$1: configure, build, test"
    fresh_if_other_generator "build/$1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
    ctest --preset "$1"
}

started=$(date +%s)
preset native
if "${quick}"; then
    stage
    exit 0
fi
preset host-variant

stage "host-variant: its plug-in in pondrel-host, which was built against host/"
variant_history=$(mktemp -d)
rounds=$(build/native/bin/pondrel-host --plugin build/host-variant/board/driver/pondrel.so \
    --rounds 2 --interval 0.1 --history "${variant_history}/history.db" 2>/dev/null | grep -c '^{' || true)
rm -rf "${variant_history}"
if [ "${rounds}" != 2 ]; then
    echo "FAILED: pondrel-host ran ${rounds} of 2 rounds with the host-variant plug-in"
    exit 1
fi
echo "ok: two rounds"

preset armhf
preset asan
preset tsan

stage "embedding: the project as another project's sub-project"
fresh_if_other_generator build/embedding
cmake -S testing/embedding -B build/embedding -G Ninja >/dev/null
cmake --build build/embedding -j2
ctest --test-dir build/embedding --output-on-failure

stage "fuzz"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

stage "packages"
bash scripts/package.sh
bash testing/packages/package_test.sh
stage
echo "== every check passed in $(( $(date +%s) - started )) s"
