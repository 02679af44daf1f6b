#!/usr/bin/env bash
# pondrel-check-host: a host that fits, one whose table has two slots swapped,
# one that lacks a function, and files it cannot read; exit codes and lines.
# Usage: check_host_test.sh CHECKER PLUGIN FITTING-HOST SWAPPED-HOST MISSING-HOST
set -uo pipefail
checker=$1 plugin=$2 fits=$3 swapped=$4 missing=$5
failures=0
expect() {  # expect DESCRIPTION EXIT-CODE PATTERN... -- ARGS...
    local what=$1 code=$2
    shift 2
    local patterns=()
    while [ "$1" != "--" ]; do patterns+=("$1"); shift; done
    shift
    local out rc
    out=$("${checker}" "$@" 2>&1)
    rc=$?
    local ok=1
    [ "${rc}" -eq "${code}" ] || ok=0
    for p in "${patterns[@]}"; do grep -qE -- "${p}" <<<"${out}" || ok=0; done
    if [ "${ok}" -eq 1 ]; then
        echo "ok: ${what}"
    else
        echo "FAILED: ${what} (exit ${rc}, wanted ${code})"
        echo "${out}"
        failures=$((failures + 1))
    fi
}

expect "a host that provides everything fits" 0 "0 not found" "compared with 4 host tables, 0 mismatches" "^fits$" \
    -- "${fits}" "${plugin}"
expect "swapped virtual operations are named slot by slot" 1 \
    "^slot 29 of Pondrel: the plug-in has KovSPDevice::OpenPort\(\), the host's SPModbus has KovSPDevice::ClosePort\(\)" \
    "^slot 30 of Pondrel: the plug-in has KovSPDevice::ClosePort\(\), the host's SPModbus has KovSPDevice::OpenPort\(\)" \
    -- "${swapped}" "${plugin}"
expect "a missing host function is named" 1 "1 not found" "^undefined symbol _Z9get_ttime.*\(get_ttime\(boost::posix_time::ptime\)\)" \
    -- "${missing}" "${plugin}"
expect "a file that is not ELF cannot be read" 3 "^pondrel-check-host: cannot read" -- "${BASH_SOURCE[0]}" "${plugin}"
expect "a file that does not exist cannot be read" 3 "^pondrel-check-host: cannot read" -- /nonexistent "${plugin}"
expect "no host is bad usage" 2 "usage" --

[ "${failures}" -eq 0 ]
