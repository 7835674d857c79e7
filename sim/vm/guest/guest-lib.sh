# SPDX-License-Identifier: MIT
# Shared by the guest's scripts (vm-checks, vheadset-probe); installed as
# /usr/local/lib/vheadset/guest-lib.sh and sourced.

# A class device found by its "name" attribute, as the daemon's udev lookup does.
by_name() { # by_name CLASS_DIR NAME
    local d
    for d in "$1"/*; do
        [ "$(cat "$d/name" 2>/dev/null)" = "$2" ] && { readlink -f "$d"; return 0; }
    done
    return 1
}
