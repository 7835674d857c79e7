// SPDX-License-Identifier: MIT
// The self-tests run inside the sandbox: a private mount and network namespace entered
// before gtest starts any thread, so the fake /sys and the injected events stay in here.
#include "headset/hang_report.hpp"
#include "headset/sandbox.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

class NeedsRoot : public testing::Environment {
  public:
    explicit NeedsRoot(bool must_run) : must_run_(must_run) {}
    void SetUp() override {
        if (must_run_) {
            FAIL() << "the virtual headset needs root (namespaces, FUSE, netlink), and CI=true "
                      "requires these tests to run";
        }
        GTEST_SKIP() << "the virtual headset needs root (namespaces, FUSE, netlink); run as "
                        "root to exercise it";
    }

  private:
    bool must_run_;
};

bool in_ci() {
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS(); // test discovery: no namespaces, no privileges needed
    }
    if (!vh::running_as_root()) {
        testing::AddGlobalTestEnvironment(new NeedsRoot(in_ci()));
        return RUN_ALL_TESTS();
    }
    try {
        vh::enter_sandbox();
    } catch (const std::runtime_error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    // libudev accepts a /sys that is not the kernel's only with this switch.
    setenv("SYSTEMD_DEVICE_VERIFY_SYSFS", "0", 1);
    // Within CTest's 30 s per test, so a hang is reported from inside first.
    vh::report_hung_tests_after(std::chrono::seconds(20));
    return RUN_ALL_TESTS();
}
