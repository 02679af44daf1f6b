#!/usr/bin/env bash
# Benchmarks and footprint figures: the benchmark suite on x86-64, the
# footprint of drivers on x86-64 and on armhf (under qemu-arm), the stripped
# size of the armhf plug-in, pondrel-host on a paced serial line against
# the line's floor and a minimal poller (LINE_ROUNDS rounds a run, 30), and
# pondrel-host polling a site (about four minutes), the monitoring, and the
# page (its month of history is made once in build/native/web_bench), and the
# hourly statistics with reports from a year of them.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh >/dev/null
for preset in native armhf; do
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" --target pondrel pondrel_footprint >/dev/null
done
cmake --build --preset native --target pondrel_bench pondrel_line_bench pondrel_site_bench pondrel_monitoring_bench pondrel_web_bench pondrel_statistics_bench >/dev/null

echo "== benchmarks (x86-64, $(date -u +%Y-%m-%d))"
build/native/testing/bench/pondrel_bench --benchmark_min_time=0.5 --benchmark_color=false "$@"

echo
echo "== footprint"
build/native/testing/bench/pondrel_footprint
qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib \
    build/armhf/testing/bench/pondrel_footprint

stripped=$(mktemp)
arm-linux-gnueabihf-strip -o "${stripped}" build/armhf/board/driver/pondrel.so
echo "stripped armhf pondrel.so: $(stat -c %s "${stripped}") bytes"
rm -f "${stripped}"

echo
echo "== pondrel-host on a paced line (x86-64)"
build/native/testing/bench/pondrel_line_bench "${LINE_ROUNDS:-30}"

echo
echo "== pondrel-host polling a site (x86-64)"
build/native/testing/bench/pondrel_site_bench

echo
echo "== the monitoring: a scrape, and an MQTT broker on loopback (x86-64)"
build/native/testing/bench/pondrel_monitoring_bench

echo
echo "== the page: a month of history, and the page in headless Chromium (x86-64)"
build/native/testing/bench/pondrel_web_bench build/native/web_bench

echo
echo "== hourly statistics: storing with them, each tier's size, reports of a year (x86-64)"
build/native/testing/bench/pondrel_statistics_bench build/native/statistics_bench
