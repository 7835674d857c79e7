# SPDX-License-Identifier: MIT
# Shared by the scripts of sim/vm: where things go, the packages they need from Debian's
# archive and the kernel the guest boots. Sourced, not run.

vm_root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
vm_build=$vm_root_dir/build/vm

vm_log() { echo "vm: $*" >&2; }
vm_die() { echo "vm: $*" >&2; exit 1; }

# Installs what is missing from Debian's archive (as root, like ./run's other commands).
vm_ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || vm_die "missing packages: ${missing[*]} (run as root to install them)"
    vm_log "installing ${missing[*]}"
    if [ -z "${vm_apt_updated:-}" ]; then
        apt-get update -qq
        vm_apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# The kernel package the archive serves now, e.g. "6.1.0-57-amd64": the guest boots it and
# the module is built against its headers.
vm_kernel_release() {
    local package
    package=$(apt-cache depends linux-image-amd64 2>/dev/null |
                  sed -n 's/^ *Depends: linux-image-\([0-9].*-amd64\)$/\1/p' | head -n1)
    [ -n "$package" ] || vm_die "cannot tell which kernel linux-image-amd64 installs"
    echo "$package"
}

# vm_upgrade_package DEB OUT: the same package with a higher version (VERSION.1), the upgrade
# that the checks install.
vm_upgrade_package() {
    local version scratch
    version=$(dpkg-deb -f "$1" Version)
    scratch=$(mktemp -d)
    dpkg-deb -R "$1" "$scratch/pkg"
    sed -i "s/^Version: .*/Version: $version.1/" "$scratch/pkg/DEBIAN/control"
    dpkg-deb -b "$scratch/pkg" "$2" >/dev/null
    rm -rf "$scratch"
    dpkg --compare-versions "$version.1" gt "$version" || vm_die "$version.1 is not above $version"
}
