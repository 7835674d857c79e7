#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What a boot of the guest needs before its disk is made: the host's packages (the kernel
# image comes from the guest's root file system; the host needs only the headers, which
# build-module.sh installs, and what builds and boots the disk), the guest's root file system
# (cached) and the module built for its kernel. Prints the tarball's path and the module's,
# one a line. ./run test runs it in the background while it compiles.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
here=$(dirname "${BASH_SOURCE[0]}")

[ "$(id -u)" -eq 0 ] || vm_die "run as root"
vm_ensure_packages qemu-system-x86 mmdebstrap e2fsprogs gcc g++ make kmod dpkg
image=$("$here/build-image.sh")
"$here/minbase-check.sh" --prepare
module=$("$here/build-module.sh" "$(cat "$image.kernel")")
echo "$image"
echo "$module"
