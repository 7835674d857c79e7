// SPDX-License-Identifier: MIT
#include "control/control.hpp"
#include "sensing/regulator.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

usb_contract contract(bool online, int32_t voltage_uv, int32_t current_ua) {
    usb_contract usb{};
    usb.online = online;
    usb.voltage_uv = voltage_uv;
    usb.current_ua = current_ua;
    return usb;
}

// ---- Status texts ----

TEST(AcStatus, FortyWattsSeparatesConnectedFromSlow) {
    struct Case {
        usb_contract usb;
        const char *expected;
    };
    const Case cases[] = {
        {contract(true, 5000000, 3000000), "Connected slow"},  // 15 W
        {contract(true, 9000000, 3000000), "Connected slow"},  // 27 W
        {contract(true, 20000000, 2000000), "Connected"},      // exactly 40 W
        {contract(true, 15000000, 3000000), "Connected"},      // 45 W
        {contract(true, 0, 3000000), "Connected slow"},        // no contract voltage
        {contract(false, 20000000, 2000000), "Disconnected"},  // offline whatever the contract
        {contract(true, 19999999, 2000000), "Connected slow"}, // just below 40 W
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(ac_status_text(c.usb), c.expected)
            << c.usb.voltage_uv << " uV, " << c.usb.current_ua << " uA";
    }
}

TEST(BatteryStatus, InternalGaugeCorrectsTheChargerStatus) {
    struct Case {
        bool charger_online;
        int32_t charger_status;
        int32_t internal_capacity;
        int32_t internal_current_ua;
        int32_t external_capacity; // must never matter
        const char *expected;
    };
    const Case cases[] = {
        {true, CHARGER_STATUS_CHARGING, 94, 500000, 10, "Full"},
        {true, CHARGER_STATUS_DISCHARGING, 94, -900000, 10, "Full"},
        {true, CHARGER_STATUS_CHARGING, 93, 500000, 100, "Charging"},
        {true, CHARGER_STATUS_DISCHARGING, 93, -5000, 100, "Not charging"},
        {true, CHARGER_STATUS_DISCHARGING, 93, -9999, 100, "Not charging"},
        {true, CHARGER_STATUS_DISCHARGING, 93, -10000, 100, "Discharging"},
        {true, CHARGER_STATUS_DISCHARGING, 93, 0, 100, "Discharging"},
        {true, CHARGER_STATUS_CHARGING, 93, -5000, 100, "Charging"},
        {false, CHARGER_STATUS_DISCHARGING, 100, -5000, 100, "Discharging"},
        {false, CHARGER_STATUS_UNKNOWN, 100, 0, 100, "Unknown"},
    };
    for (const Case &c : cases) {
        system_snapshot snapshot{};
        snapshot.charger.online = c.charger_online;
        snapshot.charger.status = c.charger_status;
        snapshot.fg_internal.capacity = c.internal_capacity;
        snapshot.fg_internal.current_avg = c.internal_current_ua;
        snapshot.pack.headstrap_present = true;
        snapshot.pack.pack_connected = true;
        snapshot.pack.power_source = POWER_SOURCE_EXTERNAL;
        snapshot.pack.external_fuel_gauge.capacity = c.external_capacity;
        EXPECT_STREQ(battery_status_name(snapshot), c.expected)
            << "capacity " << c.internal_capacity << ", current " << c.internal_current_ua;
    }
}

TEST(TypecContract, DividesTowardZeroWithoutNewline) {
    char text[64];
    format_typec_contract(contract(true, 8999999, -1500), text, sizeof text);
    EXPECT_STREQ(text, "Valid=1, Voltage=8999mV, Current=-1mA");
    format_typec_contract(contract(false, 5000000, 3000000), text, sizeof text);
    EXPECT_STREQ(text, "Valid=0, Voltage=5000mV, Current=3000mA");
}

// ---- Charger limits ----

TEST(ChargerLimits, VoltageCurrentAndEnableFollowLoadQph2AndCapacity) {
    struct Case {
        const char *name;
        uint8_t load;
        int32_t cv_uv;
        bool qph2_active;
        int32_t charger_status;
        int32_t governing_capacity;
        bool pending;
        charger_limits expected;
    };
    constexpr int32_t discharging = CHARGER_STATUS_DISCHARGING;
    constexpr int32_t charging = CHARGER_STATUS_CHARGING;
    const Case cases[] = {
        {"no load, charger reports nothing",
         0,
         0,
         false,
         discharging,
         50,
         false,
         {true, 8900000, 1000000, true, true}},
        {"no load, voltage already right",
         0,
         8900000,
         false,
         discharging,
         50,
         false,
         {false, 8900000, 1000000, true, true}},
        {"load wants 8.8 V",
         LOAD_BACKLIGHT_LEFT,
         8900000,
         false,
         discharging,
         50,
         false,
         {true, 8800000, 1000000, true, true}},
        {"load, voltage already right",
         0xC,
         8800000,
         false,
         discharging,
         50,
         false,
         {false, 8800000, 1000000, true, true}},
        {"QPH2 at 64 %",
         0,
         8900000,
         true,
         charging,
         64,
         false,
         {false, 8900000, 2700000, true, false}},
        {"QPH2 at 65 %",
         0,
         8900000,
         true,
         charging,
         65,
         false,
         {false, 8900000, 1350000, true, false}},
        {"94 %, nothing pending: no enable check",
         0,
         8900000,
         false,
         discharging,
         94,
         false,
         {false, 8900000, 1000000, false, false}},
        {"93 %: enable check",
         0,
         8900000,
         false,
         discharging,
         93,
         false,
         {false, 8900000, 1000000, true, true}},
        {"100 %, pending",
         0,
         8900000,
         false,
         discharging,
         100,
         true,
         {false, 8900000, 1000000, true, true}},
        {"100 %, load",
         0x1,
         8800000,
         false,
         discharging,
         100,
         false,
         {false, 8800000, 1000000, true, true}},
        {"already charging: check without write",
         0,
         8900000,
         false,
         charging,
         50,
         true,
         {false, 8900000, 1000000, true, false}},
        {"QPH2 flag with 99 % and load",
         0x2,
         8800000,
         true,
         charging,
         99,
         false,
         {false, 8800000, 1350000, true, false}},
    };
    for (const Case &c : cases) {
        system_snapshot snapshot{};
        snapshot.load = c.load;
        snapshot.charger.cv_uv = c.cv_uv;
        snapshot.charger.qph2_active = c.qph2_active;
        snapshot.charger.status = c.charger_status;
        fuel_gauge_reading governing{};
        governing.capacity = c.governing_capacity;
        const charger_limits limits = charger_limits_for(snapshot, governing, c.pending);
        EXPECT_EQ(limits.write_voltage, c.expected.write_voltage) << c.name;
        EXPECT_EQ(limits.voltage_uv, c.expected.voltage_uv) << c.name;
        EXPECT_EQ(limits.current_ua, c.expected.current_ua) << c.name;
        EXPECT_EQ(limits.check_enable, c.expected.check_enable) << c.name;
        EXPECT_EQ(limits.enable_charging, c.expected.enable_charging) << c.name;
    }
}

// ---- Fast-charge state machine ----

TEST(Holdoff, CountsWholeSecondsBorrowingFromNanoseconds) {
    struct Case {
        timespec earlier;
        timespec now;
        int64_t expected;
    };
    const Case cases[] = {
        {{100, 500000000}, {160, 400000000}, 59}, // 59.9 s
        {{100, 500000000}, {160, 500000000}, 60}, {{100, 0}, {159, 999999999}, 59},
        {{100, 999999999}, {101, 0}, 0},          {{5, 0}, {5, 0}, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(elapsed_whole_seconds(c.earlier, c.now), c.expected)
            << c.earlier.tv_sec << "." << c.earlier.tv_nsec << " -> " << c.now.tv_sec << "."
            << c.now.tv_nsec;
    }
}

TEST(FastChargeStateNames, AreTheDisplayTexts) {
    EXPECT_STREQ(fast_charge_state_name(QPH_SEL_1), "1");
    EXPECT_STREQ(fast_charge_state_name(QPH_SEL_2), "2");
    EXPECT_STREQ(fast_charge_state_name(QPH_SEL_2_TO_1), "2->1");
    EXPECT_STREQ(fast_charge_state_name(QPH_SEL_AICL), "AICL");
    EXPECT_STREQ(fast_charge_state_name(QPH_SEL_1_TO_2), "1->2");
}

// A 9 V source, no load, half-full battery, charging, an event pass, no exit on record.
fast_charge_inputs base_inputs(int32_t state) {
    fast_charge_inputs in{};
    in.state = state;
    in.usb_voltage_uv = 9000000;
    in.adc_vusb_uv = 9000000;
    in.governing_capacity = 50;
    in.governing_current_ua = 1000000;
    in.woken_by_event = true;
    in.now = {1000, 0};
    return in;
}

struct Expected {
    int32_t next_state;
    const char *message; // "" for none
    qph2_sequence sequence;
    bool disable_termination = false;
    bool pause_before_entry = false;
    bool aicl_rerun = false;
    bool aicl_enable = false;
    int64_t holdoff_s = -1; // -1: no hold-off line
};

struct Transition {
    const char *name;
    fast_charge_inputs inputs;
    Expected expected;
};

template <typename Change> fast_charge_inputs with(int32_t state, Change change) {
    fast_charge_inputs in = base_inputs(state);
    change(in);
    return in;
}

constexpr auto none = qph2_sequence::none;
constexpr auto enter = qph2_sequence::enter;
constexpr auto exit_seq = qph2_sequence::exit;

TEST(FastChargeStateMachine, EveryTransition) {
    const Transition cases[] = {
        // QPH_SEL_1
        {"5 V contract stays",
         with(QPH_SEL_1, [](auto &in) { in.usb_voltage_uv = 5000000; }),
         {QPH_SEL_1, "", none}},
        {"8.999999 V contract with load stays, termination untouched",
         with(QPH_SEL_1,
              [](auto &in) {
                  in.usb_voltage_uv = 8999999;
                  in.load = 0x4;
              }),
         {QPH_SEL_1, "", none}},
        {"no load above 89 % stays",
         with(QPH_SEL_1, [](auto &in) { in.governing_capacity = 90; }),
         {QPH_SEL_1, "", none}},
        {"no load at 89 % triggers AICL",
         with(QPH_SEL_1, [](auto &in) { in.governing_capacity = 89; }),
         {QPH_SEL_AICL, "Triggering AICL\n", none, false, false, true}},
        {"AICL already complete enters directly",
         with(QPH_SEL_1, [](auto &in) { in.aicl_complete = true; }),
         {QPH_SEL_1_TO_2, "Entering QPH2 Directly\n", enter, false, true}},
        {"load at 95 % disables termination and triggers AICL",
         with(QPH_SEL_1,
              [](auto &in) {
                  in.load = 0x8;
                  in.governing_capacity = 95;
              }),
         {QPH_SEL_AICL, "Triggering AICL\n", none, true, false, true}},
        {"load with AICL complete disables termination and enters directly",
         with(QPH_SEL_1,
              [](auto &in) {
                  in.load = 0x1;
                  in.aicl_complete = true;
              }),
         {QPH_SEL_1_TO_2, "Entering QPH2 Directly\n", enter, true, true}},
        {"59.9 s after an exit holds off",
         with(QPH_SEL_1,
              [](auto &in) {
                  in.last_qph2_exit = {100, 500000000};
                  in.now = {160, 400000000};
              }),
         {QPH_SEL_1, "", none, false, false, false, false, 59}},
        {"60.0 s after an exit proceeds",
         with(QPH_SEL_1,
              [](auto &in) {
                  in.last_qph2_exit = {100, 500000000};
                  in.now = {160, 500000000};
              }),
         {QPH_SEL_AICL, "Triggering AICL\n", none, false, false, true}},
        {"hold-off not tested under load",
         with(QPH_SEL_1,
              [](auto &in) {
                  in.load = 0x2;
                  in.last_qph2_exit = {999, 0};
              }),
         {QPH_SEL_AICL, "Triggering AICL\n", none, true, false, true}},
        {"hold-off not reached above 89 %",
         with(QPH_SEL_1,
              [](auto &in) {
                  in.governing_capacity = 90;
                  in.last_qph2_exit = {999, 0};
              }),
         {QPH_SEL_1, "", none}},
        // QPH_SEL_2
        {"low current without load exits",
         with(QPH_SEL_2,
              [](auto &in) {
                  in.qph2_active = true;
                  in.governing_current_ua = 500000;
              }),
         {QPH_SEL_2_TO_1, "Exiting QPH2 - Low Current and No Load\n", exit_seq}},
        {"current above 500 mA stays in QPH2",
         with(QPH_SEL_2,
              [](auto &in) {
                  in.qph2_active = true;
                  in.governing_current_ua = 500001;
              }),
         {QPH_SEL_2, "", none}},
        {"low current under load stays in QPH2",
         with(QPH_SEL_2,
              [](auto &in) {
                  in.qph2_active = true;
                  in.load = 0x4;
                  in.governing_current_ua = 0;
              }),
         {QPH_SEL_2, "", none}},
        {"charger left QPH2 with 9 V measured",
         with(QPH_SEL_2, [](auto &in) { in.load = 0x4; }),
         {QPH_SEL_2_TO_1, "Exiting QPH2 - Unknown\n", exit_seq}},
        {"charger left QPH2 below 9 V measured, negotiated 9 V",
         with(QPH_SEL_2, [](auto &in) { in.adc_vusb_uv = 8999999; }),
         {QPH_SEL_2_TO_1, "Exiting QPH2 - USB Voltage Drop\n", exit_seq}},
        // QPH_SEL_2_TO_1
        {"charger still in QPH2 keeps waiting",
         with(QPH_SEL_2_TO_1, [](auto &in) { in.qph2_active = true; }),
         {QPH_SEL_2_TO_1, "", none}},
        {"charger out of QPH2 is back to normal",
         with(QPH_SEL_2_TO_1, [](auto &in) { in.woken_by_event = false; }),
         {QPH_SEL_1, "", none}},
        // QPH_SEL_AICL
        {"AICL complete enters",
         with(QPH_SEL_AICL, [](auto &in) { in.aicl_complete = true; }),
         {QPH_SEL_1_TO_2, "AICL Complete - Entering QPH2\n", enter}},
        {"AICL complete on a timeout pass enters",
         with(QPH_SEL_AICL,
              [](auto &in) {
                  in.aicl_complete = true;
                  in.woken_by_event = false;
              }),
         {QPH_SEL_1_TO_2, "AICL Complete - Entering QPH2\n", enter}},
        {"AICL pending on an event pass waits",
         base_inputs(QPH_SEL_AICL),
         {QPH_SEL_AICL, "", none}},
        {"AICL pending on a timeout pass enters anyway",
         with(QPH_SEL_AICL, [](auto &in) { in.woken_by_event = false; }),
         {QPH_SEL_1_TO_2, "QPH2 AICL Timeout, Trying anyway\n", enter}},
        // QPH_SEL_1_TO_2
        {"QPH2 reported",
         with(QPH_SEL_1_TO_2, [](auto &in) { in.qph2_active = true; }),
         {QPH_SEL_2, "QPH2 Entered\n", none, false, false, false, true}},
        {"QPH2 not reported on an event pass waits",
         base_inputs(QPH_SEL_1_TO_2),
         {QPH_SEL_1_TO_2, "", none}},
        {"QPH2 not reported on a timeout pass exits",
         with(QPH_SEL_1_TO_2, [](auto &in) { in.woken_by_event = false; }),
         {QPH_SEL_2_TO_1, "QPH2 Timeout, Exiting\n", exit_seq}},
        // Anything else
        {"unknown state stays", base_inputs(7), {7, "", none}},
    };
    for (const Transition &c : cases) {
        const fast_charge_step step = fast_charge_step_for(c.inputs);
        const Expected &e = c.expected;
        EXPECT_EQ(step.next_state, e.next_state) << c.name;
        EXPECT_STREQ(step.message == nullptr ? "" : step.message, e.message) << c.name;
        EXPECT_EQ(step.sequence, e.sequence) << c.name;
        EXPECT_EQ(step.disable_termination, e.disable_termination) << c.name;
        EXPECT_EQ(step.pause_before_entry, e.pause_before_entry) << c.name;
        EXPECT_EQ(step.aicl_rerun, e.aicl_rerun) << c.name;
        EXPECT_EQ(step.aicl_enable, e.aicl_enable) << c.name;
        EXPECT_EQ(step.holdoff, e.holdoff_s >= 0) << c.name;
        if (e.holdoff_s >= 0) {
            EXPECT_EQ(step.holdoff_elapsed_s, e.holdoff_s) << c.name;
        }
    }
}

// ---- Pack power source ----

TEST(PackPolicy, FiveRulesAndTheCrossChargeBlock) {
    struct Case {
        const char *name;
        manual_control manual;
        bool usb_online;
        int32_t internal_capacity;
        int32_t external_capacity;
        bool cross_charger_ready;
        pack_commands expected;
    };
    constexpr int32_t internal = POWER_SOURCE_INTERNAL;
    constexpr int32_t external = POWER_SOURCE_EXTERNAL;
    constexpr int32_t off = CROSS_CHARGE_OFF;
    const Case cases[] = {
        {"both primaries: internal wins",
         {true, true, false, false},
         false,
         50,
         50,
         true,
         {internal, false, off}},
        {"internal primary alone",
         {true, false, false, false},
         true,
         99,
         10,
         true,
         {internal, false, off}},
        {"internal primary charges the pack",
         {true, false, true, false},
         false,
         50,
         50,
         true,
         {internal, true, CROSS_CHARGE_INT_TO_EXT}},
        {"internal primary, secondary, disabled",
         {true, false, true, true},
         false,
         50,
         50,
         true,
         {internal, false, off}},
        {"external primary alone",
         {false, true, false, false},
         false,
         50,
         2,
         true,
         {external, false, off}},
        {"external primary charges the internal battery",
         {false, true, true, false},
         true,
         50,
         50,
         true,
         {external, true, CROSS_CHARGE_EXT_TO_INT}},
        {"secondary, cross-charger not ready: enable only",
         {false, true, true, false},
         false,
         50,
         50,
         false,
         {external, true, off}},
        {"USB, internal 97, external 97", {}, true, 97, 97, true, {external, false, off}},
        {"USB, internal 96", {}, true, 96, 50, true, {internal, false, off}},
        {"USB, internal 97, external 98", {}, true, 97, 98, true, {internal, false, off}},
        {"USB ignores secondary without primary",
         {false, false, true, false},
         true,
         50,
         50,
         true,
         {internal, false, off}},
        {"battery, pack at 4 %", {}, false, 50, 4, true, {external, true, CROSS_CHARGE_EXT_TO_INT}},
        {"battery, pack at 4 %, cross-charger not ready",
         {},
         false,
         50,
         4,
         false,
         {external, true, off}},
        {"battery, pack at 4 %, cross-charging disabled",
         {false, false, false, true},
         false,
         50,
         4,
         true,
         {external, false, off}},
        {"battery, pack at 3 %", {}, false, 50, 3, true, {internal, false, off}},
    };
    for (const Case &c : cases) {
        system_snapshot snapshot{};
        snapshot.usb.online = c.usb_online;
        snapshot.fg_internal.capacity = c.internal_capacity;
        snapshot.pack.headstrap_present = true;
        snapshot.pack.pack_connected = true;
        snapshot.pack.cross_charger_ready = c.cross_charger_ready;
        snapshot.pack.external_fuel_gauge.capacity = c.external_capacity;
        const pack_commands commands = pack_commands_for(snapshot, c.manual);
        EXPECT_EQ(commands.power_source, c.expected.power_source) << c.name;
        EXPECT_EQ(commands.cross_charger_enable, c.expected.cross_charger_enable) << c.name;
        EXPECT_EQ(commands.cross_charge_direction, c.expected.cross_charge_direction) << c.name;
    }
}

// ---- Console report ----

std::string captured(void (*print)(FILE *, const void *), const void *argument) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    print(out, argument);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

std::string pack_report(const pack_status &pack, const manual_control &manual) {
    struct Arguments {
        const pack_status &pack;
        const manual_control &manual;
    } arguments{pack, manual};
    return captured(
        [](FILE *out, const void *a) {
            const auto *args = static_cast<const Arguments *>(a);
            print_pack_report(out, args->pack, args->manual);
        },
        &arguments);
}

const std::string manual_line = "  Manual control: internal as primary: 1, external as primary: "
                                "0, x-charge secondary: 1, disable x-charging: 0\n";

TEST(PackReport, NothingWithoutHeadstrap) {
    pack_status pack{};
    pack.pack_connected = true;
    EXPECT_EQ(pack_report(pack, {true, false, true, false}), "");
}

TEST(PackReport, HeadstrapWithoutPack) {
    pack_status pack{};
    pack.headstrap_present = true;
    pack.internal_voltage_ok = true;
    pack.status_bits = 0x2A;
    pack.power_source = POWER_SOURCE_NONE;
    EXPECT_EQ(pack_report(pack, {true, false, true, false}),
              "Tavlock: external battery disconnected, power source: Transitioning\n"
              "  Vint: ok, status: 0x2a\n" +
                  manual_line);
}

TEST(PackReport, PackWithoutCrossCharger) {
    pack_status pack{};
    pack.headstrap_present = true;
    pack.pack_connected = true;
    pack.power_source = POWER_SOURCE_EXTERNAL;
    pack.cross_charge = CROSS_CHARGE_OFF;
    pack.status_bits = 0x3;
    pack.external_fuel_gauge = {7950000, -123456, 87, 0, 0};
    EXPECT_EQ(pack_report(pack, {true, false, true, false}),
              "Tavlock: external battery detected, power source: External\n"
              "  Vint: not ok!, status: 0x03\n"
              "  Vext: not ok!, x-charge ready: 0, x-charge: Disabled\n"
              "  FG EXT - V: 7.950;          Cur: -0.12;             SOC:  87 %\n" +
                  manual_line);
}

TEST(PackReport, PackWithCrossCharger) {
    pack_status pack{};
    pack.headstrap_present = true;
    pack.pack_connected = true;
    pack.internal_voltage_ok = true;
    pack.removable_voltage_ok = true;
    pack.cross_charger_ready = true;
    pack.power_source = POWER_SOURCE_INTERNAL;
    pack.cross_charge = CROSS_CHARGE_INT_TO_EXT;
    pack.external_fuel_gauge = {8100000, 1500000, 100, 0, 0};
    pack.cross_charger = {8400000,          8600000,    2000000,
                          3000000,          1500000,    4500000,
                          100000,           50000,      CHARGER_STATUS_CHARGING,
                          CHARGE_TYPE_FAST, HEALTH_GOOD};
    EXPECT_EQ(pack_report(pack, {true, false, true, false}),
              "Tavlock: external battery detected, power source: Internal\n"
              "  Vint: ok, status: 0x00\n"
              "  Vext: ok, x-charge ready: 1, x-charge: Int->Ext\n"
              "  FG EXT - V: 8.100;          Cur:  1.50;             SOC: 100 %\n"
              "  Cross-charger:\n"
              "    float_voltage_uv:       8400000\n"
              "    current_limit_ua:       2000000\n"
              "    input_current_limit_ua: 1500000\n"
              "    input_voltage_limit_uv: 4500000\n"
              "    precharge_current_ua:   100000\n"
              "    charge_term_current_ua: 50000\n"
              "    status:                 Charging\n"
              "    charge_type:            3\n"
              "    health:                 1\n" +
                  manual_line);
    pack.cross_charge = CROSS_CHARGE_EXT_TO_INT;
    EXPECT_NE(pack_report(pack, {}).find("x-charge: Ext->Int\n"), std::string::npos);
}

TEST(StateReport, LinesOneToFive) {
    struct Arguments {
        system_snapshot snapshot;
        int32_t state;
    } arguments{};
    system_snapshot &s = arguments.snapshot;
    s.usb = contract(true, 9000000, 3000000);
    s.usb.usb_type = USB_TYPE_PD;
    s.adc_vusb_uv = 8960000;
    s.adc_iin_ua = -20000;
    s.charger = {8900000, 2700000, CHARGER_STATUS_CHARGING, true, true, false};
    s.adc_vbat_uv = 7812345;
    s.adc_ichg_ua = 2512000;
    s.fg_internal = {7805000, 2498000, 45, 0, 3600};
    s.load = 12;
    arguments.state = QPH_SEL_2;
    const std::string text = captured(
        [](FILE *out, const void *a) {
            const auto *args = static_cast<const Arguments *>(a);
            print_state_report(out, args->snapshot, args->state);
        },
        &arguments);
    EXPECT_EQ(text, std::string("---- Current State ----\n"
                                "USB(1) - V:  9.0, Neg:  9.0;  Cur: -0.02, Neg:  3.0;  Type: ") +
                        tcpm_usb_type_name(USB_TYPE_PD) +
                        "\n"
                        "CHG(1) - V:  7.8, Flt:  8.9;  Cur:  2.51, Lim:  2.7;  Stat: Charging\n"
                        "FG INT - V: 7.805;            Cur:  2.50;             SOC:  45 %\n"
                        "QPH(2) - Sel: 2; Load: 0xC\n");
}

// ---- Files in the working directory ----

class WorkingDirectory : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/charged-control-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }
    static void put(const std::string &name, const std::string &content) {
        std::ofstream(name, std::ios::binary) << content;
    }
    static std::string content_of(const std::string &name) {
        std::ifstream in(name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path dir_;
    fs::path previous_;
};

using StatusFile = WorkingDirectory;

TEST_F(StatusFile, ReplacesTheWholeFileSilently) {
    put("ac_status", "Connected slow and some old text");
    CaptureStderr();
    EXPECT_TRUE(replace_status_file("ac_status", "Connected"));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(content_of("ac_status"), "Connected");
    EXPECT_FALSE(fs::exists(".tmpfile"));
}

TEST_F(StatusFile, PlantedLinkIsReplacedNotFollowed) {
    put("victim", "precious");
    fs::create_symlink(dir_ / "victim", ".tmpfile");
    EXPECT_TRUE(replace_status_file("battery_status", "Full"));
    EXPECT_EQ(content_of("victim"), "precious");
    EXPECT_EQ(content_of("battery_status"), "Full");
    EXPECT_FALSE(fs::is_symlink("battery_status"));
}

TEST_F(StatusFile, PlantedHardLinkKeepsTheSharedFile) {
    put("shared", "shared content");
    fs::create_hard_link("shared", ".tmpfile");
    EXPECT_TRUE(replace_status_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
    EXPECT_EQ(content_of("shared"), "shared content");
}

TEST_F(StatusFile, PlantedFifoDoesNotBlock) {
    ASSERT_EQ(mkfifo(".tmpfile", 0600), 0);
    EXPECT_TRUE(replace_status_file("battery_percent", "87.0"));
    EXPECT_EQ(content_of("battery_percent"), "87.0");
    EXPECT_TRUE(fs::is_regular_file("battery_percent"));
}

TEST_F(StatusFile, UnremovableTemporaryIsWorkedAroundAndReportedOnce) {
    EXPECT_TRUE(replace_status_file("battery_status", "Charging")); // through ".tmpfile"
    const fs::perms mode = fs::status("battery_status").permissions();
    fs::create_directories(".tmpfile/kept");
    put("ac_status", "Connected");
    CaptureStderr();
    EXPECT_TRUE(replace_status_file("ac_status", "Disconnected"));
    EXPECT_TRUE(replace_status_file("battery_status", "Full"));
    EXPECT_EQ(GetCapturedStderr(), "Cannot remove .tmpfile: Is a directory; status files go "
                                   "through .tmpfile.XXXXXX\n");
    EXPECT_EQ(content_of("ac_status"), "Disconnected");
    EXPECT_EQ(content_of("battery_status"), "Full");
    EXPECT_EQ(fs::status("ac_status").permissions(), mode);
    EXPECT_TRUE(fs::is_directory(".tmpfile/kept"));
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".tmpfile", "ac_status", "battery_status"}));

    // Once ".tmpfile" worked again, a new obstacle is news again.
    fs::remove_all(".tmpfile");
    EXPECT_TRUE(replace_status_file("ac_status", "Connected"));
    fs::create_directory(".tmpfile");
    CaptureStderr();
    EXPECT_TRUE(replace_status_file("ac_status", "Connected slow"));
    EXPECT_NE(GetCapturedStderr(), "");
    EXPECT_EQ(content_of("ac_status"), "Connected slow");
}

TEST_F(StatusFile, FailedRenameIsAFailureReportedWhenItStarts) {
    fs::create_directories("battery_percent/kept"); // a file cannot replace a directory
    CaptureStderr();
    EXPECT_FALSE(replace_status_file("battery_percent", "55.0"));
    EXPECT_FALSE(replace_status_file("battery_percent", "56.0"));
    EXPECT_TRUE(replace_status_file("battery_status", "Full"));
    EXPECT_EQ(GetCapturedStderr(), "Rename .tmpfile to battery_percent failed: Is a directory\n");
    EXPECT_FALSE(fs::exists(".tmpfile"));
    EXPECT_TRUE(fs::is_directory("battery_percent/kept"));

    // Once the rename worked, a new failure is news again.
    fs::remove_all("battery_percent");
    EXPECT_TRUE(replace_status_file("battery_percent", "57.0"));
    fs::remove("battery_percent");
    fs::create_directories("battery_percent/kept");
    CaptureStderr();
    EXPECT_FALSE(replace_status_file("battery_percent", "58.0"));
    EXPECT_EQ(GetCapturedStderr(), "Rename .tmpfile to battery_percent failed: Is a directory\n");
    EXPECT_FALSE(fs::exists(".tmpfile"));
}

TEST_F(StatusFile, FailedWriteKeepsTheOldFile) {
    put("secs_until_battery_full", "1200");
    // A file size limit of zero makes every write fail (EFBIG), as a full disk would.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit zero_size = saved;
    zero_size.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &zero_size), 0);
    const bool opened = replace_status_file("secs_until_battery_full", "600");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);
    EXPECT_TRUE(opened);
    EXPECT_EQ(content_of("secs_until_battery_full"), "1200");
    EXPECT_FALSE(fs::exists(".tmpfile"));
}

using ManualControlFile = WorkingDirectory;

TEST_F(ManualControlFile, ResetOverwritesOnlyTheFirstByte) {
    struct Case {
        const char *before;
        const char *after;
    };
    const Case cases[] = {{"1\n", "0\n"}, {"10", "00"}, {"1", "0"}, {"", "0"}};
    for (const Case &c : cases) {
        put("set_internal_batt_primary", c.before);
        EXPECT_EQ(reset_manual_control_file("set_internal_batt_primary"), 0) << c.before;
        EXPECT_EQ(content_of("set_internal_batt_primary"), c.after) << c.before;
    }
}

TEST_F(ManualControlFile, ResetNeverCreates) {
    CaptureStderr();
    EXPECT_EQ(reset_manual_control_file("cross_charge_secondary"), -1);
    EXPECT_EQ(GetCapturedStderr(), "Open cross_charge_secondary failed on -1\n");
    EXPECT_FALSE(fs::exists("cross_charge_secondary"));
}

TEST_F(ManualControlFile, ResetRefusesLinksFifosAndDirectories) {
    put("charging_enable", "1");
    fs::create_symlink(dir_ / "charging_enable", "set_external_batt_primary");
    ASSERT_EQ(mkfifo("disable_cross_charging", 0600), 0);
    fs::create_directory("cross_charge_secondary");
    for (const char *name :
         {"set_external_batt_primary", "disable_cross_charging", "cross_charge_secondary"}) {
        CaptureStderr();
        EXPECT_EQ(reset_manual_control_file(name), -1) << name;
        EXPECT_EQ(GetCapturedStderr(), std::string("Open ") + name + " failed on -1\n");
    }
    EXPECT_EQ(content_of("charging_enable"), "1");
}

TEST_F(ManualControlFile, ReadsTheFirstCharacterOfRegularFilesOnly) {
    struct Case {
        const char *content;
        bool expected;
    };
    const Case cases[] = {
        {"1", true}, {"1\n", true}, {"10", true}, {"0", false}, {" 1", false}, {"", false},
    };
    for (const Case &c : cases) {
        put("set_external_batt_primary", c.content);
        EXPECT_EQ(read_manual_control_flag("set_external_batt_primary"), c.expected)
            << '"' << c.content << '"';
    }
    CaptureStderr();
    EXPECT_FALSE(read_manual_control_flag("missing"));
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    EXPECT_FALSE(read_manual_control_flag("fifo"));
    EXPECT_FALSE(read_manual_control_flag("/dev/zero"));
    EXPECT_EQ(GetCapturedStderr(), "");
}

} // namespace
