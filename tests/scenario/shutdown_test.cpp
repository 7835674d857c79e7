// SPDX-License-Identifier: MIT
// The shutdown sequence's fast-charge exit measures the input again (an AICL run) only when
// the USB source of the last update cycle was online.
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>

namespace vh {
namespace {

const std::string aicl_rerun = path::charger + "/aicl_rerun";

TEST(ShutdownSequence, RerunsAiclOnlyWithTheSourceOnline) {
    struct Case {
        const char *story;
        std::function<void(Scenario &)> before_stop;
        bool aicl_rerun;
    };
    // 5 V is too little for fast charge: the policy itself never starts an AICL run.
    const Case cases[] = {
        {"no source", [](Scenario &s) { EXPECT_TRUE(s.expect_err("USB(0) - V:")); }, false},
        {"a 5 V source",
         [](Scenario &s) {
             s.hs().usb.plug(5_V, 3_A, usb_type::c);
             EXPECT_TRUE(s.expect_err("USB(1) - V:"));
         },
         true},
        {"a source plugged and pulled again",
         [](Scenario &s) {
             s.hs().usb.plug(5_V, 3_A, usb_type::c);
             EXPECT_TRUE(s.expect_err("USB(1) - V:"));
             s.hs().usb.unplug();
             EXPECT_TRUE(s.expect_err("USB(0) - V:"));
         },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.story);
        Scenario s;
        s.start();
        c.before_stop(s);
        s.skip_writes();
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
        story::expect_shutdown_sequence(s);
        if (c.aicl_rerun) {
            EXPECT_TRUE(s.expect_write(aicl_rerun, "1"));
        } else {
            EXPECT_TRUE(s.writes_since_cursor(aicl_rerun).empty());
        }
        EXPECT_EQ(s.fs().writes_to(aicl_rerun).size(), c.aicl_rerun ? 1U : 0U);
    }
}

} // namespace
} // namespace vh
