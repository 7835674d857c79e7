#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The daemon's package on a real Linux: Debian 12's kernel, systemd and udevd in a qemu
# virtual machine (TCG: no nested virtualisation here), with the headset's devices as the
# kernel module vheadset.
#
#   boot.sh DEB            the checks: the guest installs nothing at boot but runs
#                          vm-checks (the service, the package, the module's probe, the
#                          stories), prints their report and powers itself off; the exit
#                          status is 0 when every check passed
#   boot.sh --shell DEB    a root shell on the guest's serial console, the module loaded and
#                          the daemon running (Ctrl-A X ends qemu)
#
# DEB is the amd64 package of the tree (./run vm builds it). The guest's root file system is
# the cached base (build-image.sh) with the module, the package installed by dpkg in a
# chroot (its maintainer scripts and sysusers run there; systemd is not running, so the
# unit is enabled but not started) and the checks. Leaves build/vm/console.log (the guest's
# serial console) and build/vm/vm-result.txt.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

shell=0
[ "${1:-}" = --shell ] && { shell=1; shift; }
[ $# -eq 1 ] && [ -f "$1" ] || vm_die "usage: boot.sh [--shell] PACKAGE.deb"
deb=$(realpath "$1")
# mmdebstrap, the guest's file ownerships, chroot and the packages need root.
[ "$(id -u)" -eq 0 ] || vm_die "run as root"
here=$(dirname "${BASH_SOURCE[0]}")
started=$(date +%s)

{ read -r image && read -r module; } < <("$here/prepare.sh")
[ -f "$image" ] && [ -f "$module" ] || vm_die "the guest's root file system or module is missing"
release=$(cat "$image.kernel")
vm_log "guest kernel $release"

root=$vm_build/root
disk=$vm_build/disk.img
rm -rf "$root" "$disk"
mkdir -p "$root"
tar -xf "$image" -C "$root"

# The module, where modprobe finds it (it needs industrialio, which depmod records).
install -D -m 0644 "$module" "$root/lib/modules/$release/extra/vheadset.ko"
chroot "$root" depmod -a "$release"

# The package, installed as on a device's image build. A second package of the same files
# with a higher version is the upgrade the checks install.
install -m 0644 "$deb" "$root/root/charged.deb"
version=$(dpkg-deb -f "$deb" Version)
vm_upgrade_package "$deb" "$root/root/charged-upgrade.deb"
vm_log "installing charged $version in the guest's root"
chroot "$root" dpkg -i /root/charged.deb >&2

# The story tool and its tests, where the other side built them.
if [ -x "$vm_root_dir/build/sim/vheadset" ]; then
    install -m 0755 "$vm_root_dir/build/sim/vheadset" "$root/usr/local/bin/"
fi
if [ -x "$vm_root_dir/build/tests/scenario/scenario_tests" ] &&
    [ -f "$vm_root_dir/tests/scenario/kernel-tests.txt" ]; then
    install -m 0755 "$vm_root_dir/build/tests/scenario/scenario_tests" "$root/usr/local/bin/"
    install -D -m 0644 "$vm_root_dir/tests/scenario/kernel-tests.txt" \
        "$root/usr/local/share/vheadset/kernel-tests.txt"
fi

# The probe's measuring helper (the host's and the guest's glibc are Debian 12's) and the
# scripts.
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$root/usr/local/bin/vhprobe" "$here/guest/vhprobe.cpp" -lpthread
install -m 0755 "$here/guest/vheadset-probe.sh" "$root/usr/local/sbin/vheadset-probe"
install -D -m 0644 "$here/guest/guest-lib.sh" "$root/usr/local/lib/vheadset/guest-lib.sh"
echo vheadset >"$root/etc/hostname"

if [ $shell = 1 ]; then
    # The module at boot, a root login on the serial console and what to do there.
    echo vheadset >"$root/etc/modules-load.d/vheadset.conf"
    mkdir -p "$root/etc/systemd/system/serial-getty@ttyS0.service.d"
    printf '[Service]\nExecStart=\nExecStart=-/sbin/agetty --autologin root --keep-baud 115200,57600,38400,9600 %%I $TERM\n' \
        >"$root/etc/systemd/system/serial-getty@ttyS0.service.d/autologin.conf"
    install -m 0644 "$here/guest/shell-help.txt" "$root/etc/motd"
    if [ -x "$root/usr/local/bin/vheadset" ]; then
        printf '\nThe story tool: vheadset --help\n\n' >>"$root/etc/motd"
    fi
else
    # VM_CHECKS: another script in its place, e.g. while a new check is being written.
    install -m 0755 "${VM_CHECKS:-$here/guest/vm-checks.sh}" "$root/usr/local/sbin/vm-checks"
    install -m 0644 "$here/guest/vm-checks.service" "$root/etc/systemd/system/"
    ln -sf /etc/systemd/system/vm-checks.service \
        "$root/etc/systemd/system/multi-user.target.wants/vm-checks.service"
    # The serial console shows the checks, not a login prompt.
    ln -sf /dev/null "$root/etc/systemd/system/serial-getty@ttyS0.service"
fi

size_mb=$(( $(du -sm "$root" | cut -f1) + 256 ))
mkfs.ext4 -q -F -L root -d "$root" "$disk" "${size_mb}M"
vm_log "disk ready $(( $(date +%s) - started )) s after the start"

# No display, no network: the guest needs neither (and no DRM driver makes debugfs/dri).
# The disk is thrown away after the run: the guest's flushes (dpkg's, journald's) need not
# reach the host's disk (cache=unsafe).
qemu=(qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 -no-reboot -vga none -nic none
      -kernel "$root/boot/vmlinuz-$release" -initrd "$root/boot/initrd.img-$release"
      -drive "file=$disk,if=virtio,format=raw,cache=unsafe")
if [ $shell = 1 ]; then
    vm_log "booting the guest (TCG, about a minute); Ctrl-A X ends it"
    exec "${qemu[@]}" -nographic -serial mon:stdio \
        -append "root=/dev/vda rw console=ttyS0 panic=-1 quiet"
fi

vm_log "booting the guest (TCG, several minutes); console: build/vm/console.log"
start=$(date +%s)
timeout 1800 "${qemu[@]}" -nographic -append "root=/dev/vda rw console=ttyS0 panic=-1 quiet" \
    </dev/null >"$vm_build/console.log" 2>&1 || vm_log "qemu ended with status $?"
vm_log "the guest ran $(( $(date +%s) - start )) s; $(( $(date +%s) - started )) s in all"

result=$vm_build/vm-result.txt
debugfs -R "cat /root/vm-result.txt" "$disk" >"$result" 2>/dev/null || true
if [ ! -s "$result" ]; then
    tail -n 40 "$vm_build/console.log" >&2
    vm_die "no result in the guest's disk (see build/vm/console.log)"
fi
cat "$result"
# The last RESULT line is the whole run's (the probe prints its own before).
grep "^RESULT:" "$result" | tail -n 1 | grep -q "^RESULT: [0-9]* passed, 0 failed$"
