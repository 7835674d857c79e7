// SPDX-License-Identifier: MIT
// The private world the virtual headset lives in: its own mount and network namespaces, so
// the fake /sys, the tmpfs on /run and the injected udev events reach only this process
// tree and vanish with it.
#pragma once

namespace vh {

// True when the process has the effective uid 0 that namespaces, mounts and netlink
// sending need.
bool running_as_root();

// Moves the calling process into a private mount and network namespace: "/" is made
// recursively private first (so no mount leaks to the host), a tmpfs is mounted on /run and
// /run/udev/control is created (without it a libudev monitor stays deaf). Nothing else is
// brought up; the fake /sys is mounted by FakeSysfs::mount. Call it while the process is
// still single-threaded: unshare(CLONE_NEWNS) fails in a multi-threaded process.
// Throws std::runtime_error naming what failed (missing privileges, mount failure).
void enter_sandbox();

} // namespace vh
