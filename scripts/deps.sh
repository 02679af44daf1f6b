#!/usr/bin/env bash
# Installs what the project needs to build and test, for x86-64 and for the
# armhf target. Idempotent: when everything is already there it returns at once.
set -euo pipefail

native=(cmake ninja-build make g++ pkg-config libjsoncpp-dev libboost-date-time-dev
        libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev libsqlite3-dev
        mbpoll clang libclang-rt-14-dev valgrind file binutils dpkg-dev python3-pyelftools
        help2man lintian python3-pymodbus python3-serial-asyncio socat libcli11-dev libtomlplusplus-dev
        prometheus-cpp-dev libmosquitto-dev mosquitto mosquitto-clients prometheus curl openssl
        libsystemd-dev systemd mmdebstrap libcpp-httplib-dev libjs-chart.js chromium
        libyaml-cpp-dev libcrypt-dev libssl-dev apache2-utils libhowardhinnant-date-dev tzdata influxdb)
cross=(g++-arm-linux-gnueabihf qemu-user libjsoncpp-dev:armhf
       libboost-date-time-dev:armhf libgtest-dev:armhf libgmock-dev:armhf)

missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' \
            || echo "$p"
    done
}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
fi

need=$(missing "${native[@]}" "${cross[@]}")
if [ -n "$need" ]; then
    # One package index may be mid-sync and make update exit non-zero while
    # installs still work, so its exit code does not stop us.
    $SUDO apt-get update -qq || true
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need
fi
