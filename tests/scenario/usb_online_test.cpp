// SPDX-License-Identifier: MIT
// The USB source's online flag: its POWER_SUPPLY_ONLINE text read as an unsigned decimal
// number, online whenever that number is not 0.
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace vh {
namespace {

using story::send_change;

TEST(UsbOnline, TheFlagIsAnUnsignedNumberThatIsNotZero) {
    struct Case {
        const char *text;
        bool online;
    };
    const Case cases[] = {
        {"1", true},
        {"0", false},
        {"-1", true},                   // wraps to the largest unsigned value
        {"4294967296", true},           // 2^32: not 0 once its upper bits are kept
        {"18446744073709551616", true}, // beyond 64 bits: the largest value
        {"-0", false},
        {" 2", true},
        {"+1", true},
        {"00", false},
        {"x1", false},
        {"", false},
    };
    Scenario s;
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err("---- Current State ----\n"));
    int32_t current_ua = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("POWER_SUPPLY_ONLINE=\"") + c.text + "\"");
        // Each event has a negotiated current of its own, which finds its report line.
        current_ua += 100'000;
        send_change(s, path::tcpm,
                    {{"OF_NAME", "typec"},
                     {"POWER_SUPPLY_ONLINE", c.text},
                     {"POWER_SUPPLY_VOLTAGE_NOW", "5000000"},
                     {"POWER_SUPPLY_CURRENT_NOW", std::to_string(current_ua)},
                     {"POWER_SUPPLY_USB_TYPE", "[C] PD PD_PPS"}});
        char tail[64];
        std::snprintf(tail, sizeof tail, "Neg: %4.01f;  Type: [C] PD PD_PPS", current_ua * 1e-6);
        ASSERT_TRUE(s.expect_err(std::string(tail) + "\n"));
        std::string usb_line;
        for (const std::string &line : d.lines_err()) {
            if (line.ends_with(tail)) {
                usb_line = line;
                break;
            }
        }
        EXPECT_TRUE(usb_line.starts_with(c.online ? "USB(1) - V:" : "USB(0) - V:")) << usb_line;
    }
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
