#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) and runs each for a
# bounded time: `bash scripts/fuzz.sh [SECONDS]` (default 30 a target).
# New inputs go to build/fuzz/corpus/<target>; a crash or a broken invariant
# leaves its input in build/fuzz/artifacts/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p build/fuzz/artifacts
status=0
for target in device_io_control load_from_cache init_setting polling; do
    mkdir -p "build/fuzz/corpus/${target}"
    log="build/fuzz/fuzz_${target}.log"
    if build/fuzz/testing/fuzz/fuzz_${target} -max_total_time="${seconds}" -rss_limit_mb=4096 \
            -artifact_prefix="build/fuzz/artifacts/${target}-" \
            "build/fuzz/corpus/${target}" "testing/fuzz/corpus/${target}" >"${log}" 2>&1; then
        echo "fuzz_${target}: $(grep -E '^Done' "${log}" | tail -1)"
    else
        echo "fuzz_${target}: FAILED, see ${log}"
        tail -30 "${log}"
        status=1
    fi
done
exit "${status}"
