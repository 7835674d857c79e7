#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds kernel/headset (vheadset.ko) against Debian's headers for a kernel release, out of
# the source tree: build/vm/module/vheadset.ko. Usage: build-module.sh [RELEASE]
# (default: the release that linux-image-amd64 installs now, e.g. 6.1.0-57-amd64).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

release=${1:-}
if [ -z "$release" ]; then
    release=$(vm_kernel_release)
fi
# The headers must lie under /usr/src: their Makefiles name that path.
vm_ensure_packages make gcc "linux-headers-$release"
headers=/usr/src/linux-headers-$release
[ -d "$headers" ] || vm_die "no $headers"

out=$vm_build/module
mkdir -p "$out"
cp "$vm_root_dir"/kernel/headset/{vheadset.c,Kbuild} "$out/"
make -s -C "$headers" M="$out" modules >&2
modinfo -F vermagic "$out/vheadset.ko" | grep -q "^$release " ||
    vm_die "vheadset.ko was not built for $release"
echo "$out/vheadset.ko"
