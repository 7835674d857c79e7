// The charging policy seen from outside: the daemon in the virtual headset, driven by USB-C
// sources, the charger's QPH2 and AICL notifications, loads, batteries, the pack and the
// manual control files; observed through its console report, its writes and its files.
#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace vh {
namespace {

using namespace std::chrono_literals;

const std::string charger_attr(const std::string &name) {
    return path::charger + "/" + name;
}
const std::string hotswap_attr(const std::string &name) {
    return path::hotswap + "/" + name;
}

// The 20 s loop timeout takes one second, the 60 s hold-off three.
constexpr double fast_time = 20.0;

ScenarioOptions with_time_warp(HeadsetConfig config, double factor = fast_time) {
    ScenarioOptions options;
    options.headset = std::move(config);
    options.time_warp = factor;
    return options;
}

// A battery that takes a high charge current: QPH2 stays until something else ends it.
HeadsetConfig charging_battery(int32_t capacity = 45) {
    HeadsetConfig config;
    config.internal.capacity = capacity;
    config.internal.current_avg_ua = 2'000'000;
    return config;
}

// The daemon is running and has handled the events of its own start-up.
void start_and_settle(Scenario &s) {
    s.start();
    ASSERT_TRUE(s.expect_err("---- Current State ----\n"));
    ASSERT_TRUE(s.expect_err_line("QPH(1) - Sel: 1; Load: 0x0"));
}

// Writes under the charger's directory after the given write number.
std::vector<FakeSysfs::Write> charger_writes_after(Scenario &s, uint64_t seq) {
    const std::string dir = s.fs().canonical(path::charger) + "/";
    std::vector<FakeSysfs::Write> found;
    for (const FakeSysfs::Write &write : s.fs().writes()) {
        if (write.seq > seq && write.path.rfind(dir, 0) == 0) {
            found.push_back(write);
        }
    }
    return found;
}

std::string describe(const std::vector<FakeSysfs::Write> &writes) {
    std::string text;
    for (const FakeSysfs::Write &write : writes) {
        text += "  " + write.path + " <- \"" + write.text + "\"\n";
    }
    return text;
}

// Every pass ends with a heartbeat, so there are at least as many as reports.
void expect_heartbeat_per_report(Scenario &s) {
    const int reports = s.daemon().count(Stream::err, "---- Current State ----\n");
    EXPECT_TRUE(s.expect_heartbeats(reports));
}

// Runs trigger and returns the QPH line of the next report that follows it.
std::string qph_line_after(Scenario &s, const std::function<void()> &trigger) {
    Daemon &daemon = s.daemon();
    daemon.skip_to_end(Stream::err);
    trigger();
    if (!s.expect_err("---- Current State ----\n")) {
        return "";
    }
    const size_t report = daemon.cursor(Stream::err);
    if (!s.expect_err("QPH(") || !s.expect_err("\n")) {
        return "";
    }
    const std::string text = daemon.text(Stream::err);
    const size_t start = text.find("QPH(", report);
    return text.substr(start, text.find('\n', start) - start);
}

// Waits until the report after the next one is complete: the cycle in between is done.
void wait_for_full_cycle(Scenario &s) {
    s.daemon().skip_to_end(Stream::err);
    ASSERT_TRUE(s.expect_err("---- Current State ----\n"));
    ASSERT_TRUE(s.expect_err("---- Current State ----\n"));
}

// The elapsed seconds of the hold-off lines printed after the last line that begins with
// after and before the first line after it that begins with until.
std::vector<long> holdoff_seconds(Scenario &s, const std::string &after, const std::string &until) {
    static const std::regex holdoff(R"(QPH2 re-entry holdoff: (-?\d+) / 60 sec)");
    const std::vector<std::string> lines = s.daemon().lines_err();
    const auto begins = [](const std::string &line, const std::string &prefix) {
        return line.rfind(prefix, 0) == 0;
    };
    auto first = lines.end();
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        if (begins(*it, after)) {
            first = it;
        }
    }
    std::vector<long> seconds;
    for (auto it = first; it != lines.end() && !begins(*it, until); ++it) {
        std::smatch match;
        if (std::regex_match(*it, match, holdoff)) {
            seconds.push_back(std::stol(match[1]));
        }
    }
    return seconds;
}

// ---- Fast charge ----

TEST(FastCharge, NineVoltSourceLeadsThroughAiclIntoQph2) {
    Scenario s(charging_battery(45));
    start_and_settle(s);
    s.skip_writes();

    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    EXPECT_TRUE(s.expect_write(charger_attr("aicl_rerun"), "1"));

    ASSERT_TRUE(s.expect_err("AICL Complete - Entering QPH2\n"));
    EXPECT_TRUE(s.expect_write(charger_attr("aicl_enable"), "0"));
    EXPECT_TRUE(s.expect_write(charger_attr("termination_enable"), "0"));
    EXPECT_TRUE(s.expect_write(charger_attr("qph2_allow"), "1"));
    EXPECT_TRUE(s.expect_write(charger_attr("qph2_resume"), "1"));

    // Up to 64 % the charger may take the full QPH2 current.
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "2700000"));
    ASSERT_TRUE(s.expect_err("QPH2 Entered\n"));
    EXPECT_TRUE(s.expect_write(charger_attr("aicl_enable"), "1"));

    EXPECT_EQ(qph_line_after(s, [&] { s.hs().charger.emit_change(); }),
              "QPH(2) - Sel: 2; Load: 0x0");
    EXPECT_TRUE(s.expect_file("ac_status", "Connected slow")); // 27 W
    EXPECT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=9000mV, Current=3000mA"));
    expect_heartbeat_per_report(s);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(FastCharge, LowCurrentExitHoldsOffReentryForSixtySeconds) {
    Scenario s(with_time_warp(charging_battery(70)));
    start_and_settle(s);
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("QPH2 Entered\n"));
    // Above 64 % the QPH2 current is halved.
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1350000"));

    s.skip_writes();
    s.hs().battery.set_current_avg_ua(500'000);
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_err("Exiting QPH2 - Low Current and No Load\n"));
    s.hs().battery.set_current_avg_ua(2'000'000); // charging well again after the re-entry
    EXPECT_TRUE(s.expect_write(charger_attr("aicl_enable"), "0"));
    EXPECT_TRUE(s.expect_write(charger_attr("qph2_allow"), "0"));
    EXPECT_TRUE(s.expect_write(charger_attr("termination_enable"), "1"));
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    EXPECT_TRUE(s.expect_write(charger_attr("aicl_enable"), "1"));
    EXPECT_TRUE(s.expect_write(charger_attr("aicl_rerun"), "1"));

    // Timeout passes count the hold-off up; the first pass after 60 s enters again.
    ASSERT_TRUE(s.expect_err("QPH2 re-entry holdoff: "));
    ASSERT_TRUE(s.expect_err("QPH2 Entered\n"));
    const std::vector<long> seconds =
        holdoff_seconds(s, "Exiting QPH2 - Low Current and No Load", "QPH2 Entered");
    ASSERT_GE(seconds.size(), 2u) << s.daemon().transcript_text(80);
    EXPECT_TRUE(std::is_sorted(seconds.begin(), seconds.end()));
    EXPECT_GE(seconds.front(), 0);
    EXPECT_LE(seconds.back(), 59);
    EXPECT_GE(seconds.back(), 20) << "the hold-off ended early";
}

TEST(FastCharge, WaitingStatesGiveUpOnlyOnATimeoutPass) {
    HeadsetConfig config = charging_battery(45);
    config.auto_aicl = false; // the charger never completes AICL
    config.auto_qph2 = false; // nor enters QPH2
    Scenario s(with_time_warp(config, 10.0));
    start_and_settle(s);

    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
    s.skip_writes();
    // Event passes keep waiting: each report shows the state the previous pass left.
    EXPECT_EQ(qph_line_after(s, [&] { s.hs().charger.emit_change(); }),
              "QPH(1) - Sel: AICL; Load: 0x0");
    EXPECT_EQ(qph_line_after(s, [&] { s.hs().charger.emit_change(); }),
              "QPH(1) - Sel: AICL; Load: 0x0");

    ASSERT_TRUE(s.expect_err("QPH2 AICL Timeout, Trying anyway\n"));
    EXPECT_TRUE(s.expect_write(charger_attr("qph2_resume"), "1"));
    EXPECT_EQ(qph_line_after(s, [&] { s.hs().charger.emit_change(); }),
              "QPH(1) - Sel: 1->2; Load: 0x0");
    EXPECT_EQ(qph_line_after(s, [&] { s.hs().charger.emit_change(); }),
              "QPH(1) - Sel: 1->2; Load: 0x0");

    ASSERT_TRUE(s.expect_err("QPH2 Timeout, Exiting\n"));
    EXPECT_TRUE(s.expect_write(charger_attr("qph2_allow"), "0"));
    EXPECT_TRUE(s.expect_write(charger_attr("termination_enable"), "1"));
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    // The charger never reported QPH2, so the next pass is back in normal charging.
    ASSERT_TRUE(s.expect_err_line("QPH(1) - Sel: 2->1; Load: 0x0"));
    ASSERT_TRUE(s.expect_err_line("QPH(1) - Sel: 1; Load: 0x0"));
}

TEST(FastCharge, ChargerLeavingQph2ByItselfIsNamedByTheMeasuredVoltage) {
    Scenario s(with_time_warp(charging_battery(45)));
    start_and_settle(s);
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("QPH2 Entered\n"));

    s.hs().charger.leave_qph2(); // the input still measures 9 V
    ASSERT_TRUE(s.expect_err("Exiting QPH2 - Unknown\n"));

    // Back in QPH2 after the hold-off; then the input sags below 9 V.
    ASSERT_TRUE(s.expect_err("QPH2 Entered\n"));
    s.hs().adc.set_vusb_uv(8'500'000);
    s.hs().charger.leave_qph2();
    ASSERT_TRUE(s.expect_err("Exiting QPH2 - USB Voltage Drop\n"));
}

TEST(FastCharge, UnplugStartsOverWithoutChargerWritesOrHoldoff) {
    // The charger here leaves QPH2 only when told to: the daemon must see the source go
    // while the charger still reports QPH2.
    HeadsetConfig config = charging_battery(45);
    config.auto_qph2 = false;
    Scenario s(with_time_warp(config));
    start_and_settle(s);
    const auto charger_takes_qph2 = [&] {
        ASSERT_TRUE(s.expect_write(charger_attr("qph2_resume"), "1"));
        s.hs().charger.enter_qph2();
        ASSERT_TRUE(s.expect_err("QPH2 Entered\n"));
        ASSERT_TRUE(s.expect_write(charger_attr("aicl_enable"), "1"));
    };
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    charger_takes_qph2();

    // Unplugged in QPH2: the state is reset and the exit sequence does not run.
    const uint64_t before_unplug = s.fs().last_seq();
    s.hs().usb.unplug();
    ASSERT_TRUE(s.expect_err("USB(0)"));
    s.hs().charger.leave_qph2();
    ASSERT_TRUE(s.expect_err_line("QPH(1) - Sel: 1; Load: 0x0"));
    for (const char *attribute :
         {"qph2_allow", "termination_enable", "aicl_enable", "aicl_rerun"}) {
        s.set_write_cursor(before_unplug);
        EXPECT_TRUE(s.writes_since_cursor(charger_attr(attribute)).empty()) << attribute;
    }
    // A whole cycle without a source writes nothing to the charger.
    const uint64_t offline = s.fs().last_seq();
    wait_for_full_cycle(s);
    EXPECT_TRUE(charger_writes_after(s, offline).empty())
        << describe(charger_writes_after(s, offline));
    EXPECT_TRUE(s.expect_file("ac_status", "Disconnected"));
    EXPECT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));

    // Back in QPH2, then a low-current exit starts the hold-off ...
    s.skip_writes();
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("AICL Complete - Entering QPH2\n"));
    charger_takes_qph2();
    s.hs().battery.set_current_avg_ua(100'000);
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_err("Exiting QPH2 - Low Current and No Load\n"));
    s.hs().charger.leave_qph2();
    ASSERT_TRUE(s.expect_err("QPH2 re-entry holdoff: "));

    // ... which a new source does not inherit.
    s.hs().battery.set_current_avg_ua(2'000'000);
    s.hs().usb.unplug();
    ASSERT_TRUE(s.expect_err("USB(0)"));
    s.skip_writes();
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("USB(1)"));
    ASSERT_TRUE(s.expect_err("AICL Complete - Entering QPH2\n"));
    charger_takes_qph2();
    EXPECT_TRUE(holdoff_seconds(s, "USB(0)", "QPH2 Entered").empty())
        << s.daemon().transcript_text(80);
}

TEST(ChargerLimits, FollowLoadQph2FlagAndCapacity) {
    HeadsetConfig config;
    config.internal.capacity = 95; // above every QPH2 and charging threshold
    Scenario s(config);
    start_and_settle(s);

    // The first cycle with a source enables charging whatever the capacity. (The charger
    // comes up not charging; the daemon's enable makes it charge.)
    s.fs().set_silently(charger_attr("charging_enable"), "0");
    s.skip_writes();
    s.hs().usb.plug(5_V, 3_A, usb_type::c);
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_voltage"), "8900000"));
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    EXPECT_TRUE(s.expect_write(charger_attr("charging_enable"), "1"));
    // Once the charger reports the new voltage, it is not written again.
    ASSERT_TRUE(s.expect_err("Flt:  8.9;"));

    // 95 % without load: the current is written in every cycle, the enable in none, and
    // the voltage only while the charger reports another one.
    const uint64_t quiet_start = s.fs().last_seq();
    s.skip_writes();
    s.hs().charger.set_status("Discharging");
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    s.hs().charger.emit_change();
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    s.set_write_cursor(quiet_start);
    EXPECT_TRUE(s.writes_since_cursor(charger_attr("charging_enable")).empty());
    EXPECT_TRUE(s.writes_since_cursor(charger_attr("constant_charge_voltage")).empty());

    // A load lowers the voltage and asks for charging; 5 V never tries QPH2.
    s.skip_writes();
    s.hs().loads.set_backlight_left(true);
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_voltage"), "8800000"));
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    EXPECT_TRUE(s.expect_write(charger_attr("charging_enable"), "1"));
    ASSERT_TRUE(s.expect_err_line("QPH(1) - Sel: 1; Load: 0x4"));

    // Without load, 93 % asks for charging too.
    s.hs().battery.set_capacity(93);
    s.hs().charger.set_status("Discharging");
    ASSERT_TRUE(s.expect_err("Stat: Discharging\n"));
    s.skip_writes();
    s.hs().loads.set_backlight_left(false);
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_voltage"), "8900000"));
    EXPECT_TRUE(s.expect_write(charger_attr("charging_enable"), "1"));

    // A charger that already charges gets no enable.
    s.hs().charger.set_status("Charging");
    ASSERT_TRUE(s.expect_err("Stat: Charging\n"));
    const uint64_t charging_start = s.fs().last_seq();
    s.skip_writes();
    s.hs().charger.emit_change();
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    s.hs().charger.emit_change();
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1000000"));
    s.set_write_cursor(charging_start);
    EXPECT_TRUE(s.writes_since_cursor(charger_attr("charging_enable")).empty())
        << s.daemon().transcript_text(60) << describe(s.fs().writes());

    // The current follows the QPH2 flag the charger reports, whatever the state.
    s.skip_writes();
    s.hs().charger.enter_qph2();
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "1350000"));
    s.hs().battery.set_capacity(64);
    s.hs().charger.emit_change();
    EXPECT_TRUE(s.expect_write(charger_attr("constant_charge_current"), "2700000"));
    ASSERT_TRUE(s.expect_err_line("QPH(2) - Sel: 1; Load: 0x0"));
}

// ---- Status files ----

TEST(StatusFiles, PublishThePowerStateForOtherSoftware) {
    HeadsetConfig config;
    config.internal.capacity = 95;
    config.internal.time_to_empty_avg_s = 14'000;
    config.internal.time_to_full_avg_s = 0;
    Scenario s(config);
    start_and_settle(s);
    EXPECT_TRUE(s.expect_file("ac_status", "Disconnected"));
    EXPECT_TRUE(s.expect_file("battery_percent", "100.0"));
    EXPECT_TRUE(s.expect_file("secs_until_shutdown_request", "14000"));
    EXPECT_TRUE(s.expect_file("secs_until_battery_full", "0"));
    EXPECT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));

    struct Contract {
        int32_t voltage_uv;
        int32_t current_ua;
        const char *ac_status;
        const char *typec_contract;
    };
    const Contract contracts[] = {
        {5'000'000, 3'000'000, "Connected slow", "Valid=1, Voltage=5000mV, Current=3000mA"},
        {20'000'000, 2'000'000, "Connected", "Valid=1, Voltage=20000mV, Current=2000mA"},
        {9'000'000, 3'000'000, "Connected slow", "Valid=1, Voltage=9000mV, Current=3000mA"},
        {15'000'000, 3'000'000, "Connected", "Valid=1, Voltage=15000mV, Current=3000mA"},
        {8'999'999, -1'500, "Connected slow", "Valid=1, Voltage=8999mV, Current=-1mA"},
    };
    s.hs().usb.plug(contracts[0].voltage_uv, contracts[0].current_ua, usb_type::pd);
    for (const Contract &c : contracts) {
        s.hs().usb.renegotiate(c.voltage_uv, c.current_ua, usb_type::pd);
        EXPECT_TRUE(s.expect_file("typec_contract", c.typec_contract));
        EXPECT_TRUE(s.expect_file("ac_status", c.ac_status)) << c.typec_contract;
    }

    struct Battery {
        int32_t capacity;
        int32_t current_avg_ua;
        const char *charger_status;
        const char *battery_percent;
        const char *battery_status;
    };
    const Battery batteries[] = {
        {94, -900'000, "Discharging", "100.0", "Full"},
        {93, -5'000, "Discharging", "100.0", "Not charging"},
        {93, -10'000, "Discharging", "100.0", "Discharging"},
        {45, 0, "Discharging", "50.0", "Discharging"},
        {89, 1'000'000, "Charging", "98.0", "Charging"},
    };
    // The charger keeps the status it is given: it ignores the daemon's charging enable.
    s.fs().fail_writes(charger_attr("charging_enable"), EIO);
    for (const Battery &b : batteries) {
        s.hs().battery.set_capacity(b.capacity);
        s.hs().battery.set_current_avg_ua(b.current_avg_ua);
        s.hs().charger.set_status(b.charger_status);
        EXPECT_TRUE(s.expect_file("battery_status", b.battery_status)) << b.capacity;
        EXPECT_TRUE(s.expect_file("battery_percent", b.battery_percent)) << b.capacity;
    }

    s.hs().battery.set_time_to_empty_avg_s(-1);
    s.hs().battery.set_time_to_full_avg_s(5400);
    s.hs().charger.emit_change();
    EXPECT_TRUE(s.expect_file("secs_until_shutdown_request", "-1"));
    EXPECT_TRUE(s.expect_file("secs_until_battery_full", "5400"));

    // Without a source the charger's own status stands, even when full.
    s.hs().battery.set_capacity(100);
    s.hs().usb.unplug();
    s.hs().charger.set_status("Discharging");
    EXPECT_TRUE(s.expect_file("ac_status", "Disconnected"));
    EXPECT_TRUE(s.expect_file("battery_status", "Discharging"));
}

// ---- Pack power source ----

const char *const control_files[] = {"set_internal_batt_primary", "set_external_batt_primary",
                                     "cross_charge_secondary", "disable_cross_charging"};

void set_manual(Scenario &s, bool internal, bool external, bool secondary, bool disable) {
    const bool flags[] = {internal, external, secondary, disable};
    for (size_t i = 0; i < 4; ++i) {
        s.write_file(control_files[i], flags[i] ? "1" : "0");
    }
}

HeadsetConfig with_pack(int32_t internal_capacity, int32_t pack_capacity) {
    HeadsetConfig config;
    config.pack_attached = true;
    config.internal.capacity = internal_capacity;
    config.pack.capacity = pack_capacity;
    return config;
}

// The report's manual-control line for the four flags.
std::string manual_line(int internal, int external, int secondary, int disable) {
    return "  Manual control: internal as primary: " + std::to_string(internal) +
           ", external as primary: " + std::to_string(external) +
           ", x-charge secondary: " + std::to_string(secondary) +
           ", disable x-charging: " + std::to_string(disable);
}

TEST(PackPolicy, ManualFilesAreResetOncePerProcess) {
    Scenario s(with_pack(50, 50));
    s.write_file("set_internal_batt_primary", "1\n");
    s.write_file("set_external_batt_primary", "10");
    s.write_file("cross_charge_secondary", "1");
    // disable_cross_charging does not exist
    start_and_settle(s);
    EXPECT_TRUE(s.expect_file("set_internal_batt_primary", "0\n"));
    EXPECT_TRUE(s.expect_file("set_external_batt_primary", "00"));
    EXPECT_TRUE(s.expect_file("cross_charge_secondary", "0"));
    EXPECT_FALSE(s.read_file("disable_cross_charging").has_value());
    EXPECT_EQ(s.daemon().count(Stream::err, "Open disable_cross_charging failed on -1\n"), 1);

    // From now on the files are followed, never reset.
    s.skip_writes();
    s.write_file("set_internal_batt_primary", "1");
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_out_line(manual_line(1, 0, 0, 0)));
    EXPECT_TRUE(s.expect_write(hotswap_attr("use_internal_battery"), "1"));
    EXPECT_TRUE(s.expect_write(hotswap_attr("enable_cross_charger"), "0"));
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_out_line(manual_line(1, 0, 0, 0)));
    EXPECT_EQ(s.read_file("set_internal_batt_primary"), "1");
    EXPECT_EQ(s.daemon().count(Stream::err, "Open disable_cross_charging failed on -1\n"), 1);
}

TEST(PackPolicy, RulesChooseThePowerSourceAndCrossCharging) {
    Scenario s(with_pack(97, 97));
    for (const char *name : control_files) {
        s.write_file(name, "0");
    }
    start_and_settle(s);
    ASSERT_TRUE(s.expect_out("Tavlock: external battery detected"));

    const auto expect_commands = [&](const char *use_internal, const char *cross_charger,
                                     const char *charge_from_int) {
        s.skip_writes();
        s.hs().charger.emit_change();
        EXPECT_TRUE(s.expect_write(hotswap_attr("use_internal_battery"), use_internal));
        EXPECT_TRUE(s.expect_write(hotswap_attr("enable_cross_charger"), cross_charger));
        if (charge_from_int != nullptr) {
            // Right after a power-source change the controller may refuse once; the next
            // cycle asks again.
            s.hs().charger.emit_change();
            EXPECT_TRUE(s.expect_write(hotswap_attr("charge_from_int"), charge_from_int));
        }
    };

    // On USB a nearly full internal battery is spared while the pack can take charge.
    s.hs().usb.plug(5_V, 3_A, usb_type::c);
    expect_commands("0", "0", nullptr);
    s.hs().battery.set_capacity(96);
    expect_commands("1", "0", nullptr);
    s.hs().battery.set_capacity(97);
    s.hs().pack.set_capacity(98);
    expect_commands("1", "0", nullptr);

    // On batteries the pack powers the device and charges the internal battery down to 4 %.
    s.hs().usb.unplug();
    s.hs().pack.set_capacity(4);
    expect_commands("0", "1", "0");
    s.hs().pack.set_capacity(3);
    expect_commands("1", "0", nullptr);

    // Manual choices come first; internal wins when both are set.
    set_manual(s, true, true, false, false);
    expect_commands("1", "0", nullptr);
    set_manual(s, true, false, true, false);
    expect_commands("1", "1", "1");
    set_manual(s, false, true, true, false);
    expect_commands("0", "1", "0");

    // Disabling cross-charging leaves the power source alone and switches the charger off.
    set_manual(s, true, false, true, true);
    // A cycle already under way may have read the four files half written: count from a
    // cycle that saw all of them.
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_out_line(manual_line(1, 0, 1, 1)));
    const uint64_t cycle_start = s.fs().last_seq();
    expect_commands("1", "0", nullptr);
    s.set_write_cursor(cycle_start);
    EXPECT_TRUE(s.writes_since_cursor(hotswap_attr("charge_from_int")).empty());
    EXPECT_TRUE(s.writes_since_cursor(hotswap_attr("enable_cross_charger")).size() >= 1);
    for (const FakeSysfs::Write &write :
         s.writes_since_cursor(hotswap_attr("enable_cross_charger"))) {
        EXPECT_EQ(write.text, "0");
    }
}

TEST(PackPolicy, CrossChargerNotReadyGetsTheEnableButNoDirection) {
    HeadsetConfig config = with_pack(50, 50);
    config.mp2652_with_pack = false; // the cross-charger never appears
    Scenario s(config);
    set_manual(s, false, true, true, false);
    start_and_settle(s);
    ASSERT_TRUE(s.expect_out("x-charge ready: 0"));
    const uint64_t start = s.fs().last_seq();
    s.skip_writes();
    s.hs().charger.emit_change();
    EXPECT_TRUE(s.expect_write(hotswap_attr("use_internal_battery"), "0"));
    EXPECT_TRUE(s.expect_write(hotswap_attr("enable_cross_charger"), "1"));
    s.hs().charger.emit_change();
    EXPECT_TRUE(s.expect_write(hotswap_attr("enable_cross_charger"), "1"));
    s.set_write_cursor(start);
    EXPECT_TRUE(s.writes_since_cursor(hotswap_attr("charge_from_int")).empty());
    // The report shows the pack but nothing of a cross-charger that is not ready.
    EXPECT_GT(s.daemon().count(Stream::out, "  FG EXT - V: "), 0);
    EXPECT_EQ(s.daemon().count(Stream::out, "  Cross-charger:\n"), 0);
}

TEST(PackPolicy, HeadstrapWithoutPackOnlyReadsTheControlFiles) {
    Scenario s(HeadsetConfig{}); // headstrap on, no pack
    for (const char *name : control_files) {
        s.write_file(name, "1");
    }
    start_and_settle(s);
    ASSERT_TRUE(s.expect_out("Tavlock: external battery disconnected, power source: "));
    ASSERT_TRUE(s.expect_out("  Vint: "));
    ASSERT_TRUE(s.expect_out_line(manual_line(0, 0, 0, 0)));
    for (const char *name : control_files) {
        EXPECT_EQ(s.read_file(name), "0") << name;
    }
    s.write_file("cross_charge_secondary", "1");
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_out_line(manual_line(0, 0, 1, 0)));
    EXPECT_TRUE(s.fs().writes_to(hotswap_attr("use_internal_battery")).empty());
    EXPECT_TRUE(s.fs().writes_to(hotswap_attr("enable_cross_charger")).empty());
    EXPECT_EQ(s.daemon().count(Stream::out, "  Vext: "), 0);
    EXPECT_EQ(s.daemon().count(Stream::out, "  FG EXT"), 0);
}

TEST(PackPolicy, NoHeadstrapNoPackLinesAndControlFilesUntouched) {
    HeadsetConfig config;
    config.headstrap = false;
    Scenario s(config);
    for (const char *name : control_files) {
        s.write_file(name, "1\n");
    }
    start_and_settle(s);
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_err("---- Current State ----\n"));
    ASSERT_TRUE(s.expect_err("BCL("));
    for (const char *name : control_files) {
        EXPECT_EQ(s.read_file(name), "1\n") << name;
    }
    EXPECT_EQ(s.daemon().count(Stream::out, "Tavlock: external battery"), 0);
    EXPECT_EQ(s.daemon().count(Stream::out, "  Manual control:"), 0);
}

TEST(PackPolicy, ReportShowsThePackAndThePackGovernsFastCharge) {
    // The internal battery is nearly full, the pack is not; with the pack as the power source
    // its capacity decides whether QPH2 is tried, while the status files stay internal.
    HeadsetConfig config = with_pack(95, 50);
    config.internal.current_avg_ua = 0;
    Scenario s(config);
    set_manual(s, false, true, false, false);
    start_and_settle(s);
    s.write_file("set_external_batt_primary", "1"); // after the reset of this process
    s.hs().charger.emit_change();
    ASSERT_TRUE(s.expect_out_line("Tavlock: external battery detected, power source: External"));
    ASSERT_TRUE(s.expect_out("  Vext: ok, x-charge ready: 1, x-charge: "));
    ASSERT_TRUE(
        s.expect_out_line("  FG EXT - V: 7.900;          Cur:  0.00;             SOC:  50 %"));
    ASSERT_TRUE(s.expect_out_line("  Cross-charger:"));
    ASSERT_TRUE(s.expect_out("    float_voltage_uv:       "));
    ASSERT_TRUE(s.expect_out("    health:                 "));
    ASSERT_TRUE(s.expect_out_line(manual_line(0, 1, 0, 0)));

    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
    EXPECT_TRUE(s.expect_err("SOC:  95 %"));
    EXPECT_TRUE(s.expect_file("battery_status", "Full"));
}

} // namespace
} // namespace vh
