#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh built: control fields,
# contents, the armhf plug-in's machine, the amd64 package unpacked into a
# throw-away root, whose pondrel-host runs two rounds against its built-in
# simulated meter with the installed plug-in, its service unit (verified, its
# exposure measured), and the amd64 package installed with dpkg into a
# throw-away Debian root (as root): its user made, its files' owners and modes.
set -euo pipefail
cd "$(dirname "$0")/../.."

failures=0
passes=0
check() {  # check DESCRIPTION COMMAND...
    local what="$1"
    shift
    if "$@" >/dev/null 2>&1; then
        echo "ok: ${what}"
        passes=$((passes + 1))
    else
        echo "FAILED: ${what}"
        failures=$((failures + 1))
    fi
}

# The project's version with Debian revision 1, as the changelog says.
version="$(sed -nE 's/^project\(pondrel VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)-1"
armhf_deb="build/packages/pondrel_${version}_armhf.deb"
amd64_deb="build/packages/pondrel_${version}_amd64.deb"
check "doc/changelog names version ${version}" test "$(dpkg-parsechangelog -l doc/changelog -S Version)" = "${version}"
field() { dpkg-deb --field "$1" "$2"; }

for deb in "${armhf_deb}" "${amd64_deb}"; do
    check "${deb} exists" test -f "${deb}"
    check "${deb}: package name" test "$(field "${deb}" Package)" = pondrel
    check "${deb}: version ${version}" test "$(field "${deb}" Version)" = "${version}"
    check "${deb}: maintainer" test -n "$(field "${deb}" Maintainer)"
    check "${deb}: description" grep -q "18-circuit" <(field "${deb}" Description)
    check "${deb}: depends on libstdc++" grep -q "libstdc++6" <(field "${deb}" Depends)
    for doc in README.md copyright changelog.Debian.gz; do
        check "${deb}: ${doc}" grep -q "usr/share/doc/pondrel/${doc}$" <<<"$(dpkg-deb --contents "${deb}")"
    done
    # Debian's package checker: no error and no warning.
    lintian_out=$(lintian --pedantic "${deb}" 2>&1 || true)
    if grep -qE '^[EW]: ' <<<"${lintian_out}"; then
        echo "FAILED: ${deb}: lintian"
        grep -E '^[EWIPX]: ' <<<"${lintian_out}"
        failures=$((failures + 1))
    else
        echo "ok: ${deb}: lintian shows no E: or W: line"
        passes=$((passes + 1))
        grep -E '^[IPX]: ' <<<"${lintian_out}" || true
    fi
    check "${deb}: no headers" bash -c "! dpkg-deb --contents '${deb}' | grep -q '/include/'"
done

check "armhf: architecture" test "$(field "${armhf_deb}" Architecture)" = armhf
check "armhf: only the plug-in, its documents and its lintian overrides" \
    test "$(dpkg-deb --contents "${armhf_deb}" | grep -cv '/$')" -eq 6
check "amd64: architecture" test "$(field "${amd64_deb}" Architecture)" = amd64
check "armhf: no dependency on jsoncpp (the host provides it)" \
    bash -c "! dpkg-deb --field '${armhf_deb}' Depends | grep -q jsoncpp"
check "amd64: pondrel-host depends on jsoncpp" grep -q "libjsoncpp25" <(field "${amd64_deb}" Depends)
check "amd64: depends on libmodbus and SQLite" \
    grep -qE "libmodbus5.*libsqlite3-0|libsqlite3-0.*libmodbus5" <(field "${amd64_deb}" Depends)

root=$(mktemp -d)
trap 'rm -rf "${root}"' EXIT
dpkg-deb -x "${armhf_deb}" "${root}/armhf"
check "armhf: plug-in in lib/arm-linux-gnueabihf/pondrel" \
    test -f "${root}/armhf/usr/lib/arm-linux-gnueabihf/pondrel/pondrel.so"
check "armhf: plug-in is a 32-bit ARM ELF" \
    grep -q "ELF 32-bit LSB shared object, ARM" <(file -L "${root}/armhf/usr/lib/arm-linux-gnueabihf/pondrel/pondrel.so")
check "armhf: plug-in exports get_providers" \
    grep -qE " T get_providers$" <(nm -D "${root}/armhf/usr/lib/arm-linux-gnueabihf/pondrel/pondrel.so")

check "armhf: plug-in leaves the host's symbols to the host" \
    grep -qE " U _ZN10KovVDevice6SendSPEiPKhjb$" \
    <(nm -D "${root}/armhf/usr/lib/arm-linux-gnueabihf/pondrel/pondrel.so")

check "armhf: plug-in names no jsoncpp library, its symbols come from the host" \
    bash -c "! readelf -d '${root}/armhf/usr/lib/arm-linux-gnueabihf/pondrel/pondrel.so' | grep -q jsoncpp"
check "armhf: plug-in leaves jsoncpp's symbols undefined" \
    grep -qE " U _ZN4Json5ValueC1ENS_9ValueTypeE$" \
    <(nm -D "${root}/armhf/usr/lib/arm-linux-gnueabihf/pondrel/pondrel.so")

dpkg-deb -x "${amd64_deb}" "${root}/amd64"
check "amd64: plug-in names no jsoncpp library" \
    bash -c "! readelf -d '${root}/amd64/usr/lib/x86_64-linux-gnu/pondrel/pondrel.so' | grep -q jsoncpp"
check "amd64: plug-in in lib/x86_64-linux-gnu/pondrel" \
    test -f "${root}/amd64/usr/lib/x86_64-linux-gnu/pondrel/pondrel.so"
check "amd64: tools in bin" test -x "${root}/amd64/usr/bin/pondrel-host" -a -x "${root}/amd64/usr/bin/pondrel-meter-sim" \
    -a -x "${root}/amd64/usr/bin/pondrel-check-host"
amd64_contents=$(dpkg-deb --contents "${amd64_deb}")
for program in pondrel-host pondrel-meter-sim pondrel-history pondrel-check-host; do
    check "amd64: ${program} in bin" grep -q "usr/bin/${program}$" <<<"${amd64_contents}"
    check "amd64: manual page of ${program}" grep -q "usr/share/man/man1/${program}.1.gz$" <<<"${amd64_contents}"
    check "amd64: bash completion of ${program}" \
        grep -q "usr/share/bash-completion/completions/${program}$" <<<"${amd64_contents}"
done
check "amd64: Prometheus' alerting rules" \
    grep -q "usr/share/pondrel/prometheus/pondrel-alerts.yml$" <<<"${amd64_contents}"
check "amd64: depends on what pondrel-check-host runs on" grep -q "python3-pyelftools" <(field "${amd64_deb}" Depends)
check "installed pondrel-check-host: the installed plug-in fits the installed pondrel-host" \
    "${root}/amd64/usr/bin/pondrel-check-host" "${root}/amd64/usr/bin/pondrel-host" \
    "${root}/amd64/usr/lib/x86_64-linux-gnu/pondrel/pondrel.so"
check "installed pondrel-check-host: the armhf plug-in does not fit an x86-64 host" \
    bash -c "! '${root}/amd64/usr/bin/pondrel-check-host' '${root}/amd64/usr/bin/pondrel-host' \
        '${root}/armhf/usr/lib/arm-linux-gnueabihf/pondrel/pondrel.so'"

# The installed host, run from another folder, finds the installed plug-in.
out="${root}/run.out"
err="${root}/run.err"
if (cd "${root}" && XDG_STATE_HOME="${root}/state" "${root}/amd64/usr/bin/pondrel-host" \
        --rounds 2 --interval 0.2 >"${out}" 2>"${err}"); then
    echo "ok: installed pondrel-host ran two rounds"
    passes=$((passes + 1))
else
    echo "FAILED: installed pondrel-host"
    cat "${err}"
    failures=$((failures + 1))
fi
check "installed pondrel-host printed two snapshots" test "$(grep -c '^{' "${out}")" -eq 2
check "installed pondrel-host used the installed plug-in" \
    grep -q "loaded plug-in ${root}/amd64/usr/lib/x86_64-linux-gnu/pondrel/pondrel.so" "${err}"
check "installed pondrel-host kept its history" test -s "${root}/state/pondrel/history.db"

# The service: its unit verified (with its commands pointed at the unpacked
# programs) and its exposure measured; its configuration a conffile.
unit="${root}/amd64/lib/systemd/system/pondrel-host.service"
check "amd64: the service's unit" test -f "${unit}"
check "amd64: the service's configuration" test -f "${root}/amd64/etc/pondrel/pondrel.toml"
check "amd64: the configuration is a conffile" \
    grep -qx "/etc/pondrel/pondrel.toml" <(dpkg-deb --ctrl-tarfile "${amd64_deb}" | tar -xO ./conffiles)
check "amd64: depends on adduser (postinst makes the user)" grep -q "adduser" <(field "${amd64_deb}" Depends)
check "amd64: depends on Chart.js (the meter pages)" grep -q "libjs-chart.js" <(field "${amd64_deb}" Depends)
check "amd64: the service's configuration passes --check" \
    "${root}/amd64/usr/bin/pondrel-host" --config "${root}/amd64/etc/pondrel/pondrel.toml" --check
mkdir -p "${root}/unit"
sed "s|/usr/bin/pondrel-host|${root}/amd64/usr/bin/pondrel-host|g" "${unit}" >"${root}/unit/pondrel-host.service"
check "systemd-analyze verify: the unit is clean" systemd-analyze verify --man=no "${root}/unit/pondrel-host.service"
exposure=$(systemd-analyze security --offline=yes "${root}/unit/pondrel-host.service" 2>/dev/null |
    sed -nE 's/.*Overall exposure level for pondrel-host.service: ([0-9.]+).*/\1/p')
echo "systemd-analyze security: exposure ${exposure:-unknown}"
check "systemd-analyze security: exposure at most 2.0" awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }'

# Installed for real in a throw-away Debian root: dpkg runs the postinst,
# which makes the system user; the files have their owners and modes.
if [ "$(id -u)" -eq 0 ]; then
    debian_root="${root}/debian"
    deps=$(field "${amd64_deb}" Depends | sed 's/([^)]*)//g; s/ //g')
    if mmdebstrap --variant=essential --include="${deps}" --quiet bookworm "${debian_root}" \
            http://deb.debian.org/debian >"${root}/mmdebstrap.log" 2>&1; then
        cp "${amd64_deb}" "${debian_root}/tmp/pondrel.deb"
        check "throw-away root: dpkg installs the package" chroot "${debian_root}" dpkg -i /tmp/pondrel.deb
        check "throw-away root: the system user pondrel" \
            grep -qE "^pondrel:x:[0-9]+:[0-9]+:.*:/var/lib/pondrel:/usr/sbin/nologin$" <(chroot "${debian_root}" getent passwd pondrel)
        check "throw-away root: its group pondrel" chroot "${debian_root}" getent group pondrel
        owners=$(chroot "${debian_root}" stat -c '%U:%G %a %n' /etc/pondrel/pondrel.toml \
            /lib/systemd/system/pondrel-host.service /usr/bin/pondrel-host /usr/lib/x86_64-linux-gnu/pondrel/pondrel.so)
        echo "${owners}"
        check "throw-away root: owners and modes" test "${owners}" = "root:root 644 /etc/pondrel/pondrel.toml
root:root 644 /lib/systemd/system/pondrel-host.service
root:root 755 /usr/bin/pondrel-host
root:root 644 /usr/lib/x86_64-linux-gnu/pondrel/pondrel.so"
        check "throw-away root: Chart.js installed where pondrel-host serves it from" \
            test -f "${debian_root}/usr/share/javascript/chart.js/chart.min.js"
        check "throw-away root: the conffile is registered" \
            grep -q "/etc/pondrel/pondrel.toml" <(chroot "${debian_root}" dpkg-query -W -f='${Conffiles}' pondrel)
        check "throw-away root: the service is neither enabled nor started" \
            test ! -e "${debian_root}/etc/systemd/system/multi-user.target.wants/pondrel-host.service"
        check "throw-away root: installed again, the user stays as it was" chroot "${debian_root}" dpkg -i /tmp/pondrel.deb
    else
        echo "FAILED: a throw-away Debian root could not be made"
        tail -5 "${root}/mmdebstrap.log"
        failures=$((failures + 1))
    fi
else
    echo "skipped: the install in a throw-away Debian root needs root"
fi

echo "packages: ${passes} passed, ${failures} failed"
[ "${failures}" -eq 0 ]
