// SPDX-License-Identifier: MIT
// The cross-charger's own udev events: only a changed charging status asks for an update
// cycle, and only the charger named exactly "mp2652-charger" feeds the reading, although every
// name that begins with it is handed to the cross-charger module.
#include "event_cycles.hpp"
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace vh {
namespace {

using story::cycles_run_by;
using story::send_change;

constexpr const char *uninitializing = "Uninitializing mp2652 charger";
constexpr const char *initializing = "Initializing mp2652 charger";

// The pack attached and the cross-charger running, its status file "Charging": every cycle
// reads the status back from that file.
void attach_pack_with_running_cross_charger(Scenario &s) {
    s.start();
    ASSERT_TRUE(s.expect_out_line("Found Tavlock Headstrap"));
    s.hs().pack.attach();
    ASSERT_TRUE(s.expect_out("external battery connected: 1\n"));
    // The policy starts the cross-charger once the controller runs on the pack; the next
    // cycle reads the status back.
    ASSERT_TRUE(s.expect_write(path::mp2652 + "/status", "Charging"));
    ASSERT_TRUE(story::run_marker_cycle(s));
    ASSERT_TRUE(s.expect_out_line("    status:                 Charging"));
}

TEST(CrossChargerEvents, OnlyAChangedStatusAsksForACycle) {
    struct Case {
        const char *what;
        Properties properties;
        int cycles;
    };
    const Case cases[] = {
        {"the same status with new limits",
         {{"POWER_SUPPLY_NAME", "mp2652-charger"},
          {"POWER_SUPPLY_STATUS", "Charging"},
          {"POWER_SUPPLY_CHARGE_TYPE", "Trickle"},
          {"POWER_SUPPLY_CONSTANT_CHARGE_CURRENT", "500000"},
          {"POWER_SUPPLY_INPUT_CURRENT_LIMIT", "1500000"}},
         0},
        {"another status",
         {{"POWER_SUPPLY_NAME", "mp2652-charger"}, {"POWER_SUPPLY_STATUS", "Not charging"}},
         1},
        // Routed to the cross-charger by its prefix, but not the cross-charger's own event.
        {"another status from a name that merely begins with the charger's",
         {{"POWER_SUPPLY_NAME", "mp2652-charger-2"}, {"POWER_SUPPLY_STATUS", "Not charging"}},
         0},
        {"no status: Unknown", {{"POWER_SUPPLY_NAME", "mp2652-charger"}}, 1},
        {"the status the cycle read back",
         {{"POWER_SUPPLY_NAME", "mp2652-charger"}, {"POWER_SUPPLY_STATUS", "Charging"}},
         0},
    };
    Scenario s;
    ASSERT_NO_FATAL_FAILURE(attach_pack_with_running_cross_charger(s));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(cycles_run_by(s, [&] { send_change(s, path::mp2652, c.properties); }), c.cycles);
    }
    EXPECT_EQ(s.daemon().count(Stream::err, "MP2652: Unknown Charger Status NULL\n"), 1);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(CrossChargerEvents, ANameThatMerelyBeginsWithTheChargersIsIgnoredAfterThePresenceHandling) {
    HeadsetConfig config;
    config.auto_mp2652 = false; // its status writes send no events that would take it up
    Scenario s(config);
    s.start();
    ASSERT_TRUE(s.expect_out_line("Found Tavlock Headstrap"));
    s.hs().pack.attach();
    ASSERT_TRUE(s.expect_out_line(initializing));
    ASSERT_TRUE(s.expect_out("x-charge ready: 1"));
    const std::string devpath = story::devpath_of(s, path::mp2652);
    const auto send_other_charger_event = [&](const char *status) {
        s.hs().events().send(
            "change", devpath, "power_supply",
            {{"POWER_SUPPLY_NAME", "mp2652-charger-2"}, {"POWER_SUPPLY_STATUS", status}});
    };

    // The controller reports the pack gone while the charger is still there: the
    // cross-charger is switched off and uninitialised.
    s.hs().hotswap.set("realtime_pack_connected", false);
    s.hs().hotswap.emit_change();
    ASSERT_TRUE(s.expect_out("external battery connected: 0\n"));
    ASSERT_TRUE(s.expect_out_line(uninitializing));

    // The event takes the present charger up again, and then counts for nothing.
    EXPECT_EQ(cycles_run_by(s, [&] { send_other_charger_event("Charging"); }), 0);
    EXPECT_EQ(s.daemon().count(Stream::out, initializing), 2);
    // The full event that taking it up asked the kernel for went out after the marker.
    ASSERT_TRUE(story::run_marker_cycle(s));

    // A vanished charger is uninitialised by the event, which asks for a cycle.
    s.hs().mp2652.vanish();
    ASSERT_TRUE(s.expect_out_line(uninitializing));
    const int uninitialised = s.daemon().count(Stream::out, uninitializing);
    EXPECT_EQ(cycles_run_by(s, [&] { send_other_charger_event("Full"); }), 1);
    EXPECT_EQ(s.daemon().count(Stream::out, uninitializing), uninitialised + 1);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
