// SPDX-License-Identifier: MIT
// The daemon without any capability, as its systemd unit runs it. It still opens and writes
// its attributes, reads the limiter's debugfs counter, receives udev events, writes its
// status files and feeds the watchdog. The unit also runs it as its own user, to whom the
// package's udev rules hand the attributes it writes; the fake sysfs has no owners, so here
// it is root without capabilities, and the user's part is checked in the virtual machine
// (./run vm) on the real kernel.
#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>

namespace vh {
namespace {

// The capability sets of a running process, from /proc: "CapEff" -> "0000000000000000".
std::string capability_set(pid_t pid, const std::string &name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(name + ":"))
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "(no " + name + ")";
}

TEST(ServiceSandbox, TheDaemonDoesItsWorkWithoutAnyCapability) {
    ScenarioOptions options;
    options.headset.throttle_accum = "4711";
    options.without_capabilities = true;
    Scenario s(options);
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_heartbeats(1));
    for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
        EXPECT_EQ(capability_set(d.pid(), set), "0000000000000000") << set;

    // The limiter's attributes opened and written, its debugfs counter read.
    EXPECT_TRUE(s.expect_write(path::bcl_enable, "1"));
    EXPECT_TRUE(s.expect_err(" [4711]\n"));
    // A udev event through netlink, and the charger's attributes written in answer.
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    EXPECT_TRUE(s.expect_err("Triggering AICL\n"));
    EXPECT_TRUE(s.expect_write(path::charger + "/constant_charge_current", "1000000"));
    EXPECT_TRUE(s.expect_file("ac_status", "Connected slow"));
    EXPECT_TRUE(s.read_link("BAT0"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
