// SPDX-License-Identifier: MIT
#include "sandbox.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vh {

namespace {

[[noreturn]] void fail(const std::string &what) {
    const int saved_errno = errno;
    throw std::runtime_error("virtual headset sandbox: " + what + ": " +
                             std::strerror(saved_errno));
}

void make_dir(const char *path) {
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
        fail(std::string("cannot create ") + path);
    }
}

} // namespace

bool running_as_root() {
    return geteuid() == 0;
}

void enter_sandbox() {
    if (!running_as_root()) {
        throw std::runtime_error("virtual headset sandbox: needs root (namespaces, mounts and "
                                 "netlink sending), running as uid " +
                                 std::to_string(geteuid()));
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        fail("unshare(CLONE_NEWNS | CLONE_NEWNET) failed (is the process multi-threaded?)");
    }
    // Before any mount: otherwise mounts propagate back into the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail("cannot make / recursively private");
    }
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        fail("cannot mount a tmpfs on /run");
    }
    // libudev's monitor only listens when udevd appears to run, which it tests by this file.
    make_dir("/run/udev");
    const int fd = open("/run/udev/control", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("cannot create /run/udev/control");
    }
    close(fd);
}

} // namespace vh
