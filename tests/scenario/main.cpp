// SPDX-License-Identifier: MIT
// Entry of the scenario tests. Each test runs the daemon in the virtual headset, which needs
// private mount and network namespaces: entered here, while the process has one thread.
// With VH_BACKEND=kernel the devices are the vheadset kernel module's, in this system's own
// /sys, and the events come from its kernel and udevd: no namespace then.
#include "headset/hang_report.hpp"
#include "headset/headset.hpp"
#include "headset/kernel_devices.hpp"
#include "headset/sandbox.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

namespace {

constexpr const char *no_root_reason =
    "scenario tests need root: the virtual headset mounts a fake /sys in private mount and "
    "network namespaces";

// Without root no test can run. They count as skipped (CTest recognises the marker), except
// in CI, where a skipped scenario suite would hide that nothing was tested.
int without_sandbox() {
    const char *ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true") {
        std::printf("[  FAILED  ] every scenario test: %s (CI=true: they must run here)\n",
                    no_root_reason);
        return 1;
    }
    std::printf("[  SKIPPED ] every scenario test: %s\n", no_root_reason);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    if (!vh::running_as_root())
        return without_sandbox();
    if (vh::default_backend() == vh::backend::kernel) {
        if (!vh::KernelDevices::loaded()) {
            std::fprintf(stderr, "scenario tests: VH_BACKEND=kernel, but the vheadset module's "
                                 "control file is missing (modprobe vheadset)\n");
            return 1;
        }
        vh::report_hung_tests_after(std::chrono::seconds(240));
        return RUN_ALL_TESTS();
    }
    try {
        vh::enter_sandbox();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "scenario tests: %s\n", error.what());
        return 1;
    }
    // Within CTest's 300 s per test, so a hang is reported from inside first.
    vh::report_hung_tests_after(std::chrono::seconds(240));
    return RUN_ALL_TESTS();
}
