// SPDX-License-Identifier: MIT
// The devices the daemon finds and follows: lookups announced at start-up, the charger's
// notifications and udev state, the load mask, the internal fuel gauge and the battery
// current limiter.
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vh {
namespace {

using story::send_change;
using story::tcpm_properties;

constexpr const char *report_header = "---- Current State ----\n";
constexpr const char *vadc = "c400000.spmi:pmic@0:vadc@9000";
constexpr const char *limiter = "c400000.spmi:pmic@1:sensor@4700";
const std::string in0_enable = path::hwmon + "/in0_enable";
const std::string in0_min = path::hwmon + "/in0_min";
const std::string in0_lcrit = path::hwmon + "/in0_lcrit";

Daemon &start_and_settle(Scenario &s) {
    Daemon &d = s.start();
    EXPECT_TRUE(s.expect_err(report_header));
    return d;
}

// Any event of the USB-C source asks for an update cycle.
void request_cycle(Scenario &s) {
    send_change(s, path::tcpm, tcpm_properties("typec", false, 0, 0, std::nullopt));
}

// --- start-up lookups ----------------------------------------------------------------------

TEST(DeviceLookup, StartUpFindsAndAnnouncesEveryDeviceInOrder) {
    Scenario s;
    s.start();
    const std::pair<std::string, std::string> lookups[] = {
        {"mp3317-scene-illum-ir - led_state", path::room_tracking_led + "/led_state"},
        {"tps61377 - state", path::preboost + "/state"},
        {"backlight_left - state", path::backlight_left + "/state"},
        {"backlight_right - state", path::backlight_right + "/state"},
        {std::string(vadc) + " - " + adc_channel::vbat, path::adc + "/" + adc_channel::vbat},
        {std::string(vadc) + " - " + adc_channel::vusb, path::adc + "/" + adc_channel::vusb},
        {std::string(vadc) + " - " + adc_channel::ichg, path::adc + "/" + adc_channel::ichg},
        {std::string(vadc) + " - " + adc_channel::iin, path::adc + "/" + adc_channel::iin},
        {std::string(limiter) + " - in0_enable", in0_enable},
        {std::string(limiter) + " - in0_min", in0_min},
        {std::string(limiter) + " - in0_lcrit", in0_lcrit},
    };
    for (const auto &[searched, attribute] : lookups) {
        EXPECT_TRUE(s.expect_err_line("Searching for " + searched));
        // The device's own sysfs path, as udev enumerates it.
        EXPECT_TRUE(s.expect_err_line("Opened " + s.hs().device_path(attribute)));
    }
    EXPECT_TRUE(s.expect_err(report_header));
    EXPECT_EQ(s.daemon().count(Stream::err, "Open Failed"), 0);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(DeviceLookup, AMissingDeviceEndsStartUpNamingItsSlot) {
    struct Case {
        std::string omitted;
        std::string searched;
        bool device_found; // found without the attribute: "Open Failed on -1"
        std::string slot_message;
    };
    const Case cases[] = {
        {path::preboost, "tps61377 - state", false, "2 open failed\n"},
        {path::preboost + "/state", "tps61377 - state", true, "2 open failed\n"},
        {path::room_tracking_led, "mp3317-scene-illum-ir - led_state", false, "3 open failed\n"},
        {path::adc + "/" + adc_channel::vusb, std::string(vadc) + " - " + adc_channel::vusb, true,
         "1 open failed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.omitted);
        HeadsetConfig config;
        config.omit = {c.omitted};
        Scenario s(config);
        Daemon &d = s.start();
        const std::optional<ExitStatus> status = d.wait_exit();
        ASSERT_TRUE(status.has_value()) << d.transcript_text();
        EXPECT_EQ(*status, ExitStatus::with_code(-1));
        EXPECT_TRUE(s.expect_err_line("Searching for " + c.searched));
        if (c.device_found) {
            EXPECT_TRUE(s.expect_err("Open Failed on -1\n"));
        }
        EXPECT_TRUE(s.expect_err(c.slot_message));
        EXPECT_EQ(d.count(Stream::err, "Open Failed"), c.device_found ? 1 : 0);
        story::expect_shutdown_sequence(s);
    }
}

// --- PMIC charger --------------------------------------------------------------------------

TEST(Charger, StartUpSettingsAndTheChangeRequest) {
    Scenario s;
    s.start();
    const std::string charger = path::charger + "/";
    EXPECT_TRUE(s.expect_write(charger + "constant_charge_voltage", "8800000"));
    EXPECT_TRUE(s.expect_write(charger + "constant_charge_current", "1000000"));
    EXPECT_TRUE(s.expect_write(charger + "termination_enable", "1"));
    EXPECT_TRUE(s.expect_write(charger + "charging_pause", "0"));
    EXPECT_TRUE(s.expect_write(charger + "charging_enable", "1"));
    EXPECT_TRUE(s.expect_write(charger + "uevent", "change"));
    // Both notified flags are read by the first pass, and the event fills the reading.
    EXPECT_TRUE(s.expect_err("qph state changed 0\n"));
    EXPECT_TRUE(s.expect_err("aicl_complete 0\n"));
    EXPECT_TRUE(s.expect_err("Flt:  8.8;"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(Charger, QphAndAiclNotificationsWakeTheLoop) {
    Scenario s;
    start_and_settle(s);
    s.hs().charger.enter_qph2();
    EXPECT_TRUE(s.expect_err("qph state changed 1\n"));
    EXPECT_TRUE(s.expect_err("QPH(2) - Sel:"));
    s.hs().charger.leave_qph2();
    EXPECT_TRUE(s.expect_err("qph state changed 0\n"));
    EXPECT_TRUE(s.expect_err("QPH(1) - Sel:"));
    s.hs().charger.finish_aicl();
    EXPECT_TRUE(s.expect_err("aicl_complete 1\n"));
    EXPECT_TRUE(s.expect_err(report_header));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(Charger, UdevPropertiesAreKeptCurrent) {
    Scenario s;
    start_and_settle(s);
    for (const char *status : {"Full", "Not charging", "Discharging"}) {
        s.hs().charger.set_status(status);
        EXPECT_TRUE(s.expect_err(std::string("Stat: ") + status + "\n"));
    }
    // Only the status is not kept when an event leaves it out.
    send_change(s, path::charger,
                {{"OF_NAME", "charger"},
                 {"POWER_SUPPLY_NAME", "pm8550b-charger"},
                 {"POWER_SUPPLY_ONLINE", "0"}});
    EXPECT_TRUE(s.expect_err("POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE == NULL\n"));
    EXPECT_TRUE(s.expect_err("POWER_SUPPLY_CONSTANT_CHARGE_CURRENT == NULL\n"));
    EXPECT_TRUE(s.expect_err("Charger Status string is NULL\n"));
    EXPECT_TRUE(s.expect_err("Flt:  8.8;"));
    EXPECT_TRUE(s.expect_err("Stat: Unknown\n"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// --- load watchers -------------------------------------------------------------------------

TEST(Loads, MaskFollowsTheBacklightsThePreBoostAndTheLed) {
    Scenario s;
    s.hs().loads.set_backlight_left(true);
    s.hs().loads.set_room_tracking(true);
    s.start();
    // Read once at start-up: the first report already shows them.
    EXPECT_TRUE(s.expect_err("QPH(1) - Sel: 1; Load: 0x5\n"));
    struct Step {
        void (Headset::Loads::*set)(bool);
        bool on;
        const char *mask;
    };
    const Step steps[] = {
        {&Headset::Loads::set_preboost, true, "0x7"},
        {&Headset::Loads::set_backlight_right, true, "0xF"},
        {&Headset::Loads::set_backlight_left, false, "0xB"},
        {&Headset::Loads::set_room_tracking, false, "0xA"},
        {&Headset::Loads::set_all, false, "0x0"},
        {&Headset::Loads::set_backlight_right, true, "0x8"},
    };
    for (const Step &step : steps) {
        (s.hs().loads.*step.set)(step.on);
        EXPECT_TRUE(s.expect_err(std::string("; Load: ") + step.mask + "\n"));
    }
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// --- fuel gauges ---------------------------------------------------------------------------

TEST(FuelGauge, InternalGaugeIsFoundLinkedAndRead) {
    HeadsetConfig config;
    config.internal_gauge_bus = 3;
    config.extra_gauges = {{7, 36}}; // same suffix, later in directory order
    config.internal = {.capacity = 45,
                       .voltage_avg_uv = 7'600'000,
                       .current_avg_ua = -400'000,
                       .time_to_empty_avg_s = 14'000,
                       .time_to_full_avg_s = 0};
    Scenario s(config);
    s.start();
    EXPECT_TRUE(
        s.expect_err("symlink created for BAT0 -> /sys/class/power_supply/max1720x_bat_3-36/\n"));
    EXPECT_EQ(s.read_link("BAT0"), "/sys/class/power_supply/max1720x_bat_3-36/");
    EXPECT_TRUE(s.expect_err("FG INT - V: 7.600;            Cur: -0.40;             SOC:  45 %\n"));
    s.hs().battery.set_capacity(89);
    request_cycle(s);
    EXPECT_TRUE(s.expect_err("SOC:  89 %\n"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(FuelGauge, NoInternalGaugeEndsStartUpWithMinusSix) {
    struct Case {
        const char *what;
        std::vector<std::pair<int, int>> gauges;
    };
    const Case cases[] = {
        {"no gauge at all", {}},
        {"only names the pattern refuses", {{123, 36}, {7, 360}, {7, 76}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HeadsetConfig config;
        config.internal_gauge = false;
        config.extra_gauges = c.gauges;
        Scenario s(config);
        Daemon &d = s.start();
        const std::optional<ExitStatus> status = d.wait_exit();
        ASSERT_TRUE(status.has_value()) << d.transcript_text();
        EXPECT_EQ(*status, ExitStatus::with_code(-6)); // 250
        story::expect_shutdown_sequence(s);
        EXPECT_FALSE(s.read_link("BAT0").has_value());
        EXPECT_EQ(d.count(Stream::err, "Searching for pellgrave"), 0);
    }
}

// --- battery current limiter ---------------------------------------------------------------

struct Thresholds {
    int32_t vbat_uv;
    const char *level0_mv;
    const char *level1_mv;
};

void expect_thresholds(Scenario &s, const Thresholds &t) {
    EXPECT_TRUE(s.expect_write(in0_min, t.level0_mv)) << t.vbat_uv;
    EXPECT_TRUE(s.expect_write(in0_lcrit, t.level1_mv)) << t.vbat_uv;
}

TEST(CurrentLimiter, ThresholdsFollowTheBatteryVoltage) {
    Scenario s;
    s.hs().adc.set_vbat_uv(8'000'000);
    s.start();
    EXPECT_TRUE(s.expect_write(path::bcl_enable, "1"));
    EXPECT_TRUE(s.expect_write(in0_enable, "0"));
    EXPECT_TRUE(s.expect_err("PM8550-BCL: lvl0 diff threshold: 800\n"
                             "PM8550-BCL: lvl1 diff threshold: 800\n"));
    expect_thresholds(s, {8'000'000, "3200", "3200"});
    // In consecutive steps each threshold changes, so no older write can match.
    const Thresholds steps[] = {
        {6'000'000, "2800", "2600"}, // both raised to their floors
        {9'000'000, "3600", "3600"}, // both lowered to the ceiling
        {7'000'000, "2800", "2700"},
        {7'600'000, "3000", "3000"},
    };
    for (const Thresholds &step : steps) {
        s.hs().adc.set_vbat_uv(step.vbat_uv);
        request_cycle(s);
        expect_thresholds(s, step);
    }
    // The report reads the thresholds back.
    request_cycle(s);
    EXPECT_TRUE(s.expect_err("BCL(1): l0=3000 l1=3000 [0]\n"));

    // Outside 6 V to 9 V the thresholds stay: the only writes until the battery is back in
    // range repeat the last thresholds.
    const uint64_t before = s.write_cursor();
    for (const int32_t vbat_uv : {5'999'999, 9'000'001, 8'000'000}) {
        s.hs().adc.set_vbat_uv(vbat_uv);
        request_cycle(s);
    }
    expect_thresholds(s, {8'000'000, "3200", "3200"});
    for (const FakeSysfs::Write &write : s.fs().writes_to(in0_min)) {
        if (write.seq > before && write.text != "3200") {
            EXPECT_EQ(write.text, "3000");
        }
    }

    // Shutdown restores the fixed thresholds and enables the limiter again.
    s.skip_writes();
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    EXPECT_TRUE(s.expect_write(in0_lcrit, "2600"));
    EXPECT_TRUE(s.expect_write(in0_min, "2800"));
    EXPECT_TRUE(s.expect_write(in0_enable, "1"));
}

TEST(CurrentLimiter, MarginsComeFromTheEnvironment) {
    struct Case {
        std::optional<std::string> bcl_l0;
        std::optional<std::string> bcl_l1;
        const char *printed_l0;
        const char *printed_l1;
        const char *level0_mv;
        const char *level1_mv;
    };
    // The battery at 8 V: the base is 4000 mV.
    const Case cases[] = {
        {"500", std::nullopt, "500", "800", "3500", "3200"},
        {" 1000", "1400", "1000", "1400", "3000", "2600"},
        {"abc", "-300", "0", "-300", "3600", "3600"},
        // Extreme margins are clamped, not overflowed; the lines show the 32-bit value.
        {"-2147483648", "99999999999", "-2147483648", "1215752191", "3600", "2600"},
        {"2147483647", "-99999999999999999999", "2147483647", "0", "2800", "3600"},
        // Beyond 32 bits the threshold follows the margin the line shows.
        {"4294967296", "4294967796", "0", "500", "3600", "3500"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bcl_l0.value_or("(unset)") + " / " + c.bcl_l1.value_or("(unset)"));
        ScenarioOptions options;
        options.bcl_l0 = c.bcl_l0;
        options.bcl_l1 = c.bcl_l1;
        Scenario s(options);
        s.hs().adc.set_vbat_uv(8'000'000);
        s.start();
        EXPECT_TRUE(s.expect_err(std::string("PM8550-BCL: lvl0 diff threshold: ") + c.printed_l0 +
                                 "\nPM8550-BCL: lvl1 diff threshold: " + c.printed_l1 + "\n"));
        expect_thresholds(s, {8'000'000, c.level0_mv, c.level1_mv});
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    }
}

TEST(CurrentLimiter, AMissingAttributeDisablesItWithoutStoppingStartUp) {
    HeadsetConfig config;
    config.omit = {in0_lcrit};
    Scenario s(config);
    s.hs().adc.set_vbat_uv(8'000'000);
    Daemon &d = s.start();
    EXPECT_TRUE(s.expect_err_line("Searching for " + std::string(limiter) + " - in0_lcrit"));
    EXPECT_TRUE(s.expect_err("Open Failed on -1\n2 open failed, disabling BCL scaling\n"));
    EXPECT_TRUE(s.expect_err("BCL(0): l0=-1 l1=-1 []\n"));
    request_cycle(s);
    EXPECT_TRUE(s.expect_err("BCL(0): l0=-1 l1=-1 []\n"));
    EXPECT_EQ(d.count(Stream::err, "diff threshold"), 0);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    // Neither start-up nor shutdown touched the limiter.
    EXPECT_TRUE(s.fs().writes_to(path::bcl_enable).empty());
    EXPECT_TRUE(s.fs().writes_to(in0_enable).empty());
    EXPECT_TRUE(s.fs().writes_to(in0_min).empty());
}

// --- cost of one cycle ---------------------------------------------------------------------

TEST(UpdateCycle, OpensAFixedSmallNumberOfFiles) {
    ScenarioOptions options;
    options.time_warp = 20; // timeout passes only, one per second
    Scenario s(options);
    start_and_settle(s);
    ASSERT_TRUE(s.expect_err(report_header));
    ASSERT_TRUE(s.expect_err(report_header));
    // Every cycle reads the battery voltage once, through its held descriptor, before it
    // opens anything: the reads count the cycles that ran, however many the machine's speed
    // let into the window. Read before the opens at the start and after them at the end, so
    // that at most one cycle (running at the start) opened files without being counted.
    const std::string vbat = path::adc + "/" + adc_channel::vbat;
    const uint64_t reads_before = s.fs().reads(vbat);
    const uint64_t opens_before = s.fs().opens();
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(s.expect_err(report_header));
    }
    const uint64_t opens = s.fs().opens() - opens_before;
    const uint64_t cycles = s.fs().reads(vbat) - reads_before;
    ASSERT_GE(cycles, 3U);
    RecordProperty("sysfs_opens_per_cycle", static_cast<int>(opens / cycles));
    std::printf("sysfs files opened in %llu cycles: %llu\n",
                static_cast<unsigned long long>(cycles), static_cast<unsigned long long>(opens));
    // Held descriptors serve the ADC, the loads and the limiter's thresholds; what a cycle
    // opens is the fuel gauge's attributes and the limiter's report files.
    EXPECT_LE(opens, (cycles + 1) * 12);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
