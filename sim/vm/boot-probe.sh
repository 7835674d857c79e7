#!/usr/bin/env bash
# The headset's devices on a real Linux: Debian 12's kernel, systemd and udevd in a qemu
# virtual machine (TCG: no nested virtualisation here). Builds the guest's root file system
# (cached), the module and the probe, makes a disk of them, boots it; the probe unit loads
# the module, checks the devices and powers the guest off. The probe's report is read back
# from the disk and printed; the exit status is 0 when every check passed.
# Leaves build/vm/console.log (the guest's serial console) and build/vm/probe-result.txt.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

[ $# -eq 0 ] || vm_die "usage: ./run vm (no arguments)"
# mmdebstrap, the guest's file ownerships, chroot and the packages need root.
[ "$(id -u)" -eq 0 ] || vm_die "run as root"
vm_ensure_packages qemu-system-x86 mmdebstrap e2fsprogs linux-image-amd64 gcc make kmod
here=$(dirname "${BASH_SOURCE[0]}")

image=$("$here/build-image.sh")
release=$(cat "$image.kernel")
vm_log "guest kernel $release"
module=$("$here/build-module.sh" "$release")

root=$vm_build/root
disk=$vm_build/disk.img
rm -rf "$root" "$disk"
mkdir -p "$root"
tar -xf "$image" -C "$root"

# The module, where modprobe finds it (it needs industrialio, which depmod records).
install -D -m 0644 "$module" "$root/lib/modules/$release/extra/vheadset.ko"
chroot "$root" depmod -a "$release"
# The probe: its measuring helper (the host's and the guest's glibc are Debian 12's), the
# script and its unit; the serial console shows the probe, not a login prompt.
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$root/usr/local/bin/vhprobe" "$here/guest/vhprobe.cpp" -lpthread
install -m 0755 "$here/guest/vheadset-probe.sh" "$root/usr/local/sbin/vheadset-probe"
install -m 0644 "$here/guest/vheadset-probe.service" "$root/etc/systemd/system/"
ln -sf /etc/systemd/system/vheadset-probe.service \
    "$root/etc/systemd/system/multi-user.target.wants/vheadset-probe.service"
ln -sf /dev/null "$root/etc/systemd/system/serial-getty@ttyS0.service"
echo vheadset >"$root/etc/hostname"

size_mb=$(( $(du -sm "$root" | cut -f1) + 256 ))
mkfs.ext4 -q -F -L root -d "$root" "$disk" "${size_mb}M"

vm_log "booting the guest (TCG, a few minutes); console: build/vm/console.log"
start=$(date +%s)
# No display, no network: the guest needs neither (and no DRM driver makes debugfs/dri).
timeout 900 qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 -nographic -no-reboot \
    -vga none -nic none \
    -kernel "$root/boot/vmlinuz-$release" -initrd "$root/boot/initrd.img-$release" \
    -drive "file=$disk,if=virtio,format=raw" \
    -append "root=/dev/vda rw console=ttyS0 panic=-1 quiet" \
    </dev/null >"$vm_build/console.log" 2>&1 || vm_log "qemu ended with status $?"
vm_log "the guest ran $(( $(date +%s) - start )) s"

result=$vm_build/probe-result.txt
debugfs -R "cat /root/probe-result.txt" "$disk" >"$result" 2>/dev/null || true
if [ ! -s "$result" ]; then
    tail -n 40 "$vm_build/console.log" >&2
    vm_die "no probe result in the guest's disk (see build/vm/console.log)"
fi
cat "$result"
grep -q '^RESULT: [0-9]* passed, 0 failed$' "$result"
