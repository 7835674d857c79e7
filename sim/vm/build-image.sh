#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the guest's root file system: Debian 12 (minbase) with systemd, udev, kmod and the
# kernel that Debian's linux-image-amd64 installs, as a tarball under build/vm/, cached by a
# hash of its inputs (this script, the package list, the kernel package's version). Prints
# the tarball's path; its kernel release is in the file of the same name ending in .kernel.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

suite=bookworm
# The point release with its updates and security fixes, as a Debian 12 host sees it (the
# kernel comes from bookworm-security).
sources=("deb http://deb.debian.org/debian bookworm main"
         "deb http://deb.debian.org/debian bookworm-updates main"
         "deb http://deb.debian.org/debian-security bookworm-security main")
include=systemd,systemd-sysv,udev,kmod,dbus,linux-image-amd64,e2fsprogs,procps
# The story tests copied into the guest: their virtual headset library and time warp.
include+=,libfuse3-3,libfaketime

vm_ensure_packages mmdebstrap
mkdir -p "$vm_build"

kernel_version=$(apt-cache policy linux-image-amd64 | sed -n 's/^ *Candidate: //p')
[ -n "$kernel_version" ] && [ "$kernel_version" != "(none)" ] ||
    vm_die "linux-image-amd64 is not in the archive (apt-get update?)"
key=$( { cat "${BASH_SOURCE[0]}"; echo "$suite ${sources[*]} $include $kernel_version"; } |
         sha256sum | cut -c1-16)
image=$vm_build/base-$key.tar

if [ ! -f "$image" ]; then
    vm_log "building the guest's root file system ($suite, linux-image-amd64 $kernel_version)"
    rm -f "$vm_build"/base-*.tar "$vm_build"/base-*.kernel
    # Documentation and translations are left out: the disk stays small and quick to make.
    mmdebstrap --quiet --format=tar --variant=minbase --include="$include" \
        --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        --dpkgopt='path-exclude=/usr/share/doc/*' \
        "$suite" "$image.part" "${sources[@]}"
    release=$(tar -tf "$image.part" | sed -n 's|^\./boot/vmlinuz-||p' | head -n1)
    [ "linux-image-$release" = "$(apt-cache depends linux-image-amd64 |
                                   sed -n 's/^ *Depends: //p' | head -n1)" ] ||
        vm_die "the guest got linux-image-$release, not what linux-image-amd64 installs here"
    [ -n "$release" ] || vm_die "no kernel in the guest's root file system"
    echo "$release" >"$image.kernel"
    mv "$image.part" "$image"
fi
echo "$image"
