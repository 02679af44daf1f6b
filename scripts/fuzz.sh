#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) and runs each for a
# bounded time, two at a time: `bash scripts/fuzz.sh [SECONDS]` (default 30 a
# target).
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
# One target a core: two at a time.
run_target() {  # run_target NAME: its line, and exit 1 when it found anything
    local target="$1" log="build/fuzz/fuzz_$1.log"
    mkdir -p "build/fuzz/corpus/${target}"
    if build/fuzz/testing/fuzz/fuzz_${target} -max_total_time="${seconds}" -rss_limit_mb=4096 \
            -artifact_prefix="build/fuzz/artifacts/${target}-" \
            "build/fuzz/corpus/${target}" "testing/fuzz/corpus/${target}" >"${log}" 2>&1; then
        echo "fuzz_${target}: $(grep -E '^Done' "${log}" | tail -1)"
    else
        echo "fuzz_${target}: FAILED, see ${log}"
        tail -30 "${log}"
        return 1
    fi
}
status=0
for pair in "device_io_control load_from_cache" "init_setting polling"; do
    pids=()
    for target in ${pair}; do
        run_target "${target}" > "build/fuzz/fuzz_${target}.result" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "${pid}" || status=1; done
    for target in ${pair}; do cat "build/fuzz/fuzz_${target}.result"; done
done
exit "${status}"
