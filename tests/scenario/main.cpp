// Entry of the scenario tests. Each test runs the daemon in the virtual headset, which needs
// private mount and network namespaces: entered here, while the process has one thread.
#include "headset/sandbox.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

// Without root there is no sandbox: every test skips with the reason, except in CI, where a
// skipped scenario suite would hide that nothing was tested.
class NoSandbox : public testing::Environment {
  public:
    explicit NoSandbox(std::string reason) : reason_(std::move(reason)) {}
    void SetUp() override {
        const char *ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true")
            FAIL() << reason_ << " (CI=true: scenario tests must run here)";
        GTEST_SKIP() << reason_;
    }

  private:
    std::string reason_;
};

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    if (!vh::running_as_root()) {
        testing::AddGlobalTestEnvironment(new NoSandbox(
            "scenario tests need root: the virtual headset mounts a fake /sys in private mount "
            "and network namespaces"));
    } else {
        try {
            vh::enter_sandbox();
        } catch (const std::exception &error) {
            std::fprintf(stderr, "scenario tests: %s\n", error.what());
            return 1;
        }
    }
    return RUN_ALL_TESTS();
}
