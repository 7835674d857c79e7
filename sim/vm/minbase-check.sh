#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The package on a minimal Debian 12 where systemd does not run (a container image, a root
# being built): install, upgrade, remove and purge with dpkg in a minbase root made by
# mmdebstrap (cached under build/vm/), each step's exit status and what it leaves checked.
#   minbase-check.sh --prepare   only build the cached root (./run test does it early)
#   minbase-check.sh DEB         the checks with that package and one of a higher version
# Every check prints PASS/FAIL; the exit status is 0 when all passed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

[ "$(id -u)" -eq 0 ] || vm_die "run as root"
sources=("deb http://deb.debian.org/debian bookworm main"
         "deb http://deb.debian.org/debian bookworm-updates main"
         "deb http://deb.debian.org/debian-security bookworm-security main")
key=$(echo "minbase ${sources[*]}" | sha256sum | cut -c1-16)
tarball=$vm_build/minbase-$key.tar
if [ ! -f "$tarball" ]; then
    vm_ensure_packages mmdebstrap
    mkdir -p "$vm_build"
    rm -f "$vm_build"/minbase-*.tar
    vm_log "building a minbase root (bookworm)"
    mmdebstrap --quiet --variant=minbase --format=tar bookworm "$tarball.part" "${sources[@]}"
    mv "$tarball.part" "$tarball"
fi
[ "${1:-}" = --prepare ] && exit 0
[ $# -eq 1 ] && [ -f "$1" ] || vm_die "usage: minbase-check.sh [--prepare | PACKAGE.deb]"
deb=$(realpath "$1")

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
tar -xf "$tarball" -C "$root"
install -m 0644 "$deb" "$root/root/charged.deb"
vm_upgrade_package "$deb" "$root/root/charged-upgrade.deb"
version=$(dpkg-deb -f "$deb" Version)

passed=0 failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
in_root() { chroot "$root" "$@"; }
step() { # step DESCRIPTION DPKG_ARGS...: the step's output shown when it fails
    local what=$1 output
    shift
    if output=$(in_root dpkg "$@" 2>&1); then
        pass "$what"
    else
        fail "$what"
        echo "$output" | sed 's/^/    /'
    fi
}

echo "== the package in a minbase root without systemd (no adduser, no running init)"
# Debian 12's apt still depends on adduser, so minbase brings it; a system without it (a
# slimmed image, a later release) is made by taking it out.
if chroot "$root" dpkg-query -W adduser >/dev/null 2>&1; then
    chroot "$root" dpkg --purge --force-depends adduser >/dev/null 2>&1
fi
check "the root has no adduser and no running systemd" \
    bash -c "! chroot '$root' sh -c 'command -v addgroup' >/dev/null && [ ! -d '$root/run/systemd/system' ]"
step "dpkg -i installs charged $version" -i /root/charged.deb
check "the system user charged exists, in its group, without a login shell" bash -c "
    chroot '$root' getent passwd charged | grep -q ':/usr/sbin/nologin$' &&
    [ \"\$(chroot '$root' id -gn charged)\" = charged ]"
check "the daemon, its unit and its udev rules are installed" \
    test -x "$root/usr/sbin/charged" -a -f "$root/lib/systemd/system/charged.service" \
    -a -f "$root/usr/lib/udev/rules.d/60-charged.rules"
# deb-systemd-helper (init-system-helpers, Essential) enables the unit without systemd, so
# the image's first boot starts it.
check "the unit is enabled for the image's first boot" \
    test -L "$root/etc/systemd/system/multi-user.target.wants/charged.service"
step "dpkg -i upgrades it to $version.1" -i /root/charged-upgrade.deb
check "the upgraded package is configured" \
    bash -c "chroot '$root' dpkg-query -W -f='\${Status} \${Version}' charged | grep -qx 'install ok installed $version.1'"
step "dpkg -r removes it" -r charged
check "removal took the daemon, keeps the user" \
    bash -c "[ ! -e '$root/usr/sbin/charged' ] && chroot '$root' getent passwd charged >/dev/null"
step "dpkg -P purges it" -P charged
check "nothing of the package is left in dpkg's database" \
    bash -c "! chroot '$root' dpkg-query -W charged >/dev/null 2>&1"
echo "RESULT: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
