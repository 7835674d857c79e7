// SPDX-License-Identifier: MIT
// The pack's fuel gauge announced by its own udev events: every event whose name begins with
// the gauge's name searches for it and asks for a cycle, and a gauge whose driver comes up
// only after the controller has reported the pack makes the pack detected, and driven by the
// policy, in the cycle of the gauge's own event.
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

constexpr const char *bat1_link_made =
    "symlink created for BAT1 -> /sys/class/power_supply/max1720x_bat_7-76/\n";

TEST(PackGaugeEvents, EveryNameBeginningWithThePackGaugesSearchesAndAsksForACycle) {
    struct Case {
        const char *name;
        bool searched; // and a cycle asked for
    };
    const Case cases[] = {
        {"max1720x_bat_7-7", false},   {"max1720x_bat_3-36", false}, {"max1720x_bat_7-76", true},
        {"max1720x_bat_7-76-1", true}, {"max1720x_bat_7-760", true}, {"max1720x_bat_17-76", false},
    };
    HeadsetConfig config;
    config.extra_gauges = {{7, 76}}; // the pack's gauge, without the pack's other devices
    Scenario s(config);
    s.start();
    ASSERT_TRUE(s.expect_err(story::report_header));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int links = s.daemon().count(Stream::err, bat1_link_made);
        const int cycles = cycles_run_by(s, [&] {
            send_change(s, path::gauge(7, 76), {{"POWER_SUPPLY_NAME", c.name}});
        });
        EXPECT_EQ(cycles, c.searched ? 1 : 0);
        EXPECT_EQ(s.daemon().count(Stream::err, bat1_link_made), links + (c.searched ? 1 : 0));
    }
    EXPECT_EQ(s.read_link("BAT1"), path::pack_gauge + "/");
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackGaugeEvents, AGaugeFoundAfterTheConnectEventIsDrivenInTheCycleOfItsOwnEvent) {
    HeadsetConfig config;
    // The controller's flags change only when the test says so: attaching the pack below
    // then notifies nothing, and only udev events reach the daemon.
    config.auto_hotswap = false;
    Scenario s(config);
    s.start();
    ASSERT_TRUE(s.expect_out_line("Found Tavlock Headstrap"));
    ASSERT_TRUE(s.expect_out_line("Tavlock status: Discharging, external battery connected: 0"));

    // The controller sees the pack before the pack's gauge has a driver: its flags say
    // connected, and its connect event finds no gauge.
    s.hs().hotswap.set("realtime_pack_connected", true);
    s.hs().hotswap.set("removable_voltage_ok", true);
    s.hs().hotswap.set("interrupt_pack_installed", true);
    send_change(s, path::hotswap,
                {{"POWER_SUPPLY_NAME", "pellgrave-hotswap"},
                 {"POWER_SUPPLY_STATUS", "Probing"},
                 {"POWER_SUPPLY_PRESENT", "1"}});
    ASSERT_TRUE(s.expect_out_line("Tavlock status: Probing, external battery connected: 1"));
    ASSERT_TRUE(
        s.expect_out_line("Tavlock: external battery disconnected, power source: Internal"));
    ASSERT_TRUE(story::run_marker_cycle(s));
    ASSERT_FALSE(s.read_link("BAT1").has_value());
    EXPECT_EQ(s.daemon().count(Stream::out, "external battery detected"), 0);

    // Now the gauge comes up with its first change event, and then the controller's.
    s.skip_writes();
    s.daemon().skip_to_end(Stream::out);
    s.hs().pack.attach();
    EXPECT_TRUE(s.expect_out_line("Tavlock: external battery detected, power source: Internal"));
    EXPECT_TRUE(s.expect_out_line("Tavlock status: Discharging, external battery connected: 1"));
    // The policy took the pack as the power source before the controller's event was handled.
    EXPECT_TRUE(s.expect_write(path::hotswap + "/use_internal_battery", "0"));
    EXPECT_TRUE(s.expect_write(path::hotswap + "/interrupt_clear", "1"));
    EXPECT_EQ(s.read_link("BAT1"), path::pack_gauge + "/");
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
