// SPDX-License-Identifier: MIT
// The headstrap's external battery pack as a user sees it: the hot-swap controller found at
// start-up, the pack attached and pulled, the report's pack lines, and the commands the
// controller refuses.
#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

namespace vh {
namespace {

const std::string hotswap_uevent = path::hotswap + "/uevent";
const std::string interrupt_clear = path::hotswap + "/interrupt_clear";
const std::string enable_cross_charger = path::hotswap + "/enable_cross_charger";
const std::string charge_from_int = path::hotswap + "/charge_from_int";
const std::string use_internal_battery = path::hotswap + "/use_internal_battery";
const std::string mp2652_uevent = path::mp2652 + "/uevent";
const std::string mp2652_status = path::mp2652 + "/status";

constexpr const char *refused_cross_charge =
    "Tavlock: failed to enable cross charging, illegal state\n";

// The report's line of the controller's interrupt and control flags, as the daemon must
// print it for the controller's present attributes.
std::string vint_line(Headset &hs) {
    struct Bit {
        const char *attribute;
        int mask;
    };
    const Bit bits[] = {
        {"realtime_hw_batt_control", 0x01}, {"realtime_use_int_batt", 0x02},
        {"interrupt_charger_fault", 0x04},  {"interrupt_pack_installed", 0x08},
        {"interrupt_pack_removed", 0x10},   {"interrupt_vint_not_valid", 0x20},
    };
    int status = 0;
    for (const Bit &bit : bits) {
        if (hs.hotswap.get(bit.attribute)) {
            status |= bit.mask;
        }
    }
    char line[64];
    std::snprintf(line, sizeof line, "  Vint: %s, status: 0x%02x",
                  hs.hotswap.get("internal_voltage_ok") ? "ok" : "not ok!", status);
    return line;
}

// Flips a controller flag that nothing else touches and waits for the report of the cycle
// its notification causes: everything the daemon was given before has been handled then.
// A flip that lands while the controller's own event is being handled is taken in by that
// event's refresh, which asks for no cycle; the notification then finds nothing new, and
// only the 20 s timeout would show it. So flip again until a report shows the flag.
bool settle(Scenario &s) {
    constexpr int attempts = 4;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        s.hs().hotswap.set("realtime_hw_batt_control",
                           !s.hs().hotswap.get("realtime_hw_batt_control"));
        if (s.daemon().wait_for_line(Stream::out, vint_line(s.hs()), std::chrono::seconds(3))) {
            return true;
        }
    }
    return s.expect_out_line(vint_line(s.hs()));
}

int report_count(Scenario &s) {
    return s.daemon().count(Stream::out, "Tavlock: external battery ");
}

// Started, and the controller's answer to "change" handled: the module has followed the
// pack's presence since. The answer may come before or after the first reports.
void start_with_headstrap(Scenario &s) {
    s.start();
    ASSERT_TRUE(s.expect_out_line("Found Tavlock Headstrap"));
    ASSERT_TRUE(s.expect_out_line("Tavlock status: Discharging, external battery connected: 0"));
    ASSERT_TRUE(settle(s));
}

// Attached, and the policy has settled on the pack with cross-charging into the internal
// battery (USB offline, the pack well charged).
void attach_and_settle(Scenario &s) {
    s.hs().pack.attach();
    ASSERT_TRUE(s.expect_out("external battery connected: 1\n"));
    ASSERT_TRUE(s.expect_out_line("Tavlock: external battery detected, power source: External"));
    ASSERT_TRUE(s.expect_out_line("  Vext: ok, x-charge ready: 1, x-charge: Ext->Int"));
    ASSERT_TRUE(s.expect_out_line("    status:                 Charging"));
    ASSERT_TRUE(settle(s));
}

TEST(PackScenario, HeadstrapFoundAsksTheControllerForThePack) {
    Scenario s;
    s.start();
    ASSERT_TRUE(s.expect_out_line("Found Tavlock Headstrap"));
    EXPECT_TRUE(s.expect_write(hotswap_uevent, "change"));
    EXPECT_TRUE(s.expect_out_line("Tavlock status: Discharging, external battery connected: 0"));
    // No pack: nothing to take up, the cross-charger is (again) uninitialised.
    EXPECT_TRUE(s.expect_out_line("Uninitializing mp2652 charger"));
    ASSERT_TRUE(settle(s));
    EXPECT_TRUE(s.expect_out_line("  Manual control: internal as primary: 0, external as "
                                  "primary: 0, x-charge secondary: 0, disable x-charging: 0"));
    EXPECT_GE(s.daemon().count(Stream::out,
                               "Tavlock: external battery disconnected, power source: Internal\n"),
              1);
    EXPECT_EQ(s.daemon().count(Stream::out, "  Vext:"), 0);
    EXPECT_EQ(s.daemon().count(Stream::out, "Initializing mp2652 charger"), 0);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackScenario, WithoutHeadstrapNoPackLinesAreReported) {
    HeadsetConfig config;
    config.headstrap = false;
    Scenario s(config);
    s.start();
    ASSERT_TRUE(s.expect_out_line("Tavlock Headstrap NOT found"));
    // A whole report has been printed once its limiter line is there.
    ASSERT_TRUE(s.expect_err("BCL("));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    EXPECT_EQ(s.daemon().count(Stream::out, "Found Tavlock Headstrap"), 0);
    EXPECT_EQ(s.daemon().count(Stream::out, "Tavlock:"), 0);
    EXPECT_EQ(s.daemon().count(Stream::out, "Manual control"), 0);
    EXPECT_FALSE(s.read_file("set_internal_batt_primary").has_value());
}

TEST(PackScenario, AttachTakesUpTheCrossChargerOnceAndTheExternalGauge) {
    Scenario s;
    start_with_headstrap(s);
    s.skip_writes();
    s.hs().pack.attach();

    ASSERT_TRUE(s.expect_out("external battery connected: 1\n"));
    EXPECT_TRUE(s.expect_write(interrupt_clear, "1"));
    EXPECT_TRUE(s.expect_write(enable_cross_charger, "1"));
    EXPECT_TRUE(s.expect_out_line("Initializing mp2652 charger"));
    EXPECT_TRUE(s.expect_write(mp2652_uevent, "change"));
    ASSERT_TRUE(s.wait_for_file("BAT1"));
    EXPECT_EQ(s.read_link("BAT1"), path::pack_gauge + "/");

    EXPECT_TRUE(s.expect_out_line("Tavlock: external battery detected, power source: External"));
    EXPECT_TRUE(s.expect_out_line("  Vext: ok, x-charge ready: 1, x-charge: Ext->Int"));
    EXPECT_TRUE(
        s.expect_out_line("  FG EXT - V: 7.900;          Cur:  0.00;             SOC:  80 %"));
    EXPECT_TRUE(s.expect_out_line("  Cross-charger:"));
    EXPECT_TRUE(s.expect_out_line("    float_voltage_uv:       8400000"));
    EXPECT_TRUE(s.expect_out_line("    status:                 Charging"));
    EXPECT_TRUE(s.expect_out_line("    charge_type:            3"));
    EXPECT_TRUE(s.expect_out_line("    health:                 1"));
    ASSERT_TRUE(settle(s));
    // The charger's own change events find it initialised already.
    EXPECT_EQ(s.daemon().count(Stream::out, "Initializing mp2652 charger"), 1);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackScenario, PackLinesFollowThePackAndTheController) {
    Scenario s;
    start_with_headstrap(s);
    attach_and_settle(s);

    s.hs().pack.set_capacity(55);
    s.hs().pack.set_voltage_avg_uv(7'450'000);
    s.hs().pack.set_current_avg_ua(-1'250'000);
    ASSERT_TRUE(settle(s));
    EXPECT_TRUE(
        s.expect_out_line("  FG EXT - V: 7.450;          Cur: -1.25;             SOC:  55 %"));

    s.hs().hotswap.set("interrupt_charger_fault", true);
    s.hs().hotswap.set("removable_voltage_ok", false);
    EXPECT_TRUE(s.expect_out_line(vint_line(s.hs())));
    EXPECT_TRUE(s.expect_out_line("  Vext: not ok!, x-charge ready: 1, x-charge: Ext->Int"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackScenario, DetachDropsTheCrossChargerAndTheExternalGauge) {
    Scenario s;
    start_with_headstrap(s);
    attach_and_settle(s);
    // The device path of the charger's status stays the name of its writes once it is gone.
    const std::string mp2652_status_device = s.fs().canonical(mp2652_status);
    ASSERT_FALSE(mp2652_status_device.empty());

    // The controller reports the pack gone while the charger is still there: it is
    // switched off.
    s.skip_writes();
    s.hs().hotswap.set("realtime_pack_connected", false);
    s.hs().hotswap.emit_change();
    ASSERT_TRUE(s.expect_out("external battery connected: 0\n"));
    EXPECT_TRUE(s.expect_out_line("Uninitializing mp2652 charger"));
    EXPECT_TRUE(s.expect_write(mp2652_status_device, "Not charging"));
    EXPECT_TRUE(
        s.expect_out_line("Tavlock: external battery disconnected, power source: External"));
    s.hs().hotswap.set("realtime_pack_connected", true);
    ASSERT_TRUE(settle(s));

    // Pulled for real: the devices vanish.
    s.hs().pack.detach();
    EXPECT_TRUE(
        s.expect_out_line("Tavlock: external battery disconnected, power source: Internal"));
    ASSERT_TRUE(settle(s));
    const int fuel_gauge_lines = s.daemon().count(Stream::out, "  FG EXT");

    // Another report of the controller uninitialises again, but there is nothing to switch
    // off any more.
    s.skip_writes();
    s.hs().hotswap.emit_change();
    EXPECT_TRUE(s.expect_out("external battery connected: 0\n"));
    EXPECT_TRUE(s.expect_out_line("Uninitializing mp2652 charger"));
    ASSERT_TRUE(settle(s));
    EXPECT_TRUE(s.writes_since_cursor(mp2652_status_device).empty());
    EXPECT_EQ(s.daemon().count(Stream::out, "  FG EXT"), fuel_gauge_lines);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackScenario, OnlyAChangedFieldOfTheRecordAsksForACycle) {
    Scenario s;
    start_with_headstrap(s);
    // Cross-charging reported from the pack into the internal battery: a field changes.
    s.hs().hotswap.set("realtime_cross_chg_vint_from_vrem", true);
    ASSERT_TRUE(settle(s));
    const int reports = report_count(s);

    // The other direction as well: the first of the pair decides, no field changes. The
    // pack reported without its fuel gauge: not connected, no field changes.
    s.hs().hotswap.set("realtime_cross_chg_vrem_from_vint", true);
    s.hs().hotswap.set("realtime_pack_connected", true);
    ASSERT_TRUE(settle(s));
    EXPECT_EQ(report_count(s), reports + 1);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackScenario, CrossChargingAgainstThePowerSourceIsRefusedWithoutWrites) {
    HeadsetConfig config;
    config.auto_hotswap = false; // the controller keeps the internal battery as source
    Scenario s(config);
    start_with_headstrap(s);
    s.skip_writes();
    s.hs().pack.attach();

    // The policy asks for the pack as source and cross-charging from it; the controller
    // still runs on the internal battery.
    ASSERT_TRUE(s.expect_out_line("Tavlock: external battery detected, power source: Internal"));
    EXPECT_TRUE(s.expect_write(use_internal_battery, "0"));
    EXPECT_TRUE(s.expect_err(refused_cross_charge));
    ASSERT_TRUE(settle(s));
    EXPECT_TRUE(s.writes_since_cursor(charge_from_int).empty());
    EXPECT_EQ(s.hs().fs().writes_to(mp2652_status).size(), 0u);

    // The controller switches to the pack: now the same request is carried out.
    s.hs().hotswap.set("internal_active", false);
    s.hs().hotswap.set("removable_active", true);
    EXPECT_TRUE(s.expect_write(mp2652_status, "Charging"));
    EXPECT_TRUE(s.expect_write(charge_from_int, "0"));
    ASSERT_TRUE(settle(s));

    // Manual control: internal as primary, charging the pack from it; the controller still
    // runs on the pack.
    s.write_file("set_internal_batt_primary", "1");
    s.write_file("cross_charge_secondary", "1");
    s.skip_writes();
    s.daemon().skip_to_end(Stream::err);
    ASSERT_TRUE(settle(s));
    EXPECT_TRUE(s.expect_write(use_internal_battery, "1"));
    EXPECT_TRUE(s.expect_err(refused_cross_charge));
    ASSERT_TRUE(settle(s));
    EXPECT_TRUE(s.writes_since_cursor(charge_from_int).empty());
    EXPECT_TRUE(s.writes_since_cursor(mp2652_status).empty());
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackScenario, LateCrossChargerIsTakenUpByItsOwnEvent) {
    HeadsetConfig config;
    config.mp2652_with_pack = false;
    Scenario s(config);
    start_with_headstrap(s);
    s.hs().pack.attach();

    ASSERT_TRUE(s.expect_out("external battery connected: 1\n"));
    EXPECT_TRUE(s.expect_write(enable_cross_charger, "1"));
    EXPECT_TRUE(s.expect_out_line("Tavlock: external battery detected, power source: External"));
    EXPECT_TRUE(s.expect_out_line("  Vext: ok, x-charge ready: 0, x-charge: Disabled"));
    ASSERT_TRUE(settle(s));
    EXPECT_EQ(s.daemon().count(Stream::out, "Initializing mp2652 charger"), 0);

    s.skip_writes();
    s.hs().mp2652.appear();
    EXPECT_TRUE(s.expect_out_line("Initializing mp2652 charger"));
    EXPECT_TRUE(s.expect_write(mp2652_uevent, "change"));
    // Its own event asks for no cycle (the status it brings is the one just read); the
    // next cycle shows the cross-charger ready and the policy starts it.
    ASSERT_TRUE(settle(s));
    EXPECT_TRUE(s.expect_out_line("  Vext: ok, x-charge ready: 1, x-charge: Ext->Int"));
    EXPECT_TRUE(s.expect_out_line("    status:                 Charging"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(PackScenario, ShutdownSwitchesTheCrossChargerOff) {
    Scenario s;
    start_with_headstrap(s);
    attach_and_settle(s);
    s.skip_writes();
    s.daemon().skip_to_end(Stream::out);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    EXPECT_TRUE(s.expect_out_line("Uninitializing mp2652 charger"));
    // A cycle just before the signal may have repeated "Charging"; the last word is off.
    const auto writes = s.writes_since_cursor(mp2652_status);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().text, "Not charging");
}

} // namespace
} // namespace vh
