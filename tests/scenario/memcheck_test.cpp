// SPDX-License-Identifier: MIT
// One whole story with the daemon under valgrind's memcheck: start-up, a 9 V source through
// AICL into QPH2 and out again, loads, the pack attached and detached, a SIGHUP, SIGTERM and
// the shutdown sequence. Memcheck must find no error and no leak; nothing is suppressed.
//
// Not in the sanitizer build: valgrind cannot run a binary built with AddressSanitizer.
#if !defined(__SANITIZE_ADDRESS__)

#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

namespace vh {
namespace {

using namespace std::chrono_literals;

constexpr int memcheck_failed = 99; // valgrind's exit status when it found anything

TEST(Memcheck, AWholeStoryHasNoErrorAndNoLeak) {
    TempDir logs("vh-memcheck-");
    const std::string log = (logs.path() / "memcheck.log").string();
    ScenarioOptions options;
    options.daemon_launcher = {"valgrind",
                               "--tool=memcheck",
                               "--error-exitcode=" + std::to_string(memcheck_failed),
                               "--leak-check=full",
                               "--show-leak-kinds=definite,indirect,possible",
                               "--errors-for-leak-kinds=definite,indirect,possible",
                               "--track-fds=no",
                               "--log-file=" + log};
    options.timeout = 60s; // memcheck runs the daemon some thirty times slower
    options.headset.aicl_delay = 50ms;
    Scenario s(options);
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err("---- Current State ----\n")) << [&log] {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }();

    s.hs().usb.plug(9'000'000, 3'000'000, usb_type::pd);
    ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
    ASSERT_TRUE(s.expect_err("AICL Complete - Entering QPH2\n"));
    ASSERT_TRUE(s.expect_err("QPH2 Entered\n"));
    s.hs().loads.set_preboost(true);
    ASSERT_TRUE(s.expect_write(path::charger + "/constant_charge_voltage", "8800000"));
    s.hs().loads.set_preboost(false);
    s.hs().pack.attach();
    ASSERT_TRUE(s.expect_out("Tavlock: external battery detected"));
    s.hs().charger.leave_qph2();
    ASSERT_TRUE(s.expect_err("Exiting QPH2"));
    s.hs().pack.detach();
    ASSERT_TRUE(s.expect_out("Tavlock: external battery disconnected"));
    s.hs().usb.unplug();
    ASSERT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
    d.send_signal(SIGHUP);
    ASSERT_TRUE(s.expect_err("Caught Signal: 1\n"));

    s.skip_writes();
    const ExitStatus status = s.stop(SIGTERM);
    std::ifstream in(log);
    std::stringstream report;
    report << in.rdbuf();
    EXPECT_EQ(status, ExitStatus::with_code(0)) << report.str();
    EXPECT_NE(report.str().find("ERROR SUMMARY: 0 errors"), std::string::npos) << report.str();
    story::expect_shutdown_sequence(s);
    std::printf("%s", report.str().substr(report.str().find("HEAP SUMMARY")).c_str());
}

} // namespace
} // namespace vh

#endif
