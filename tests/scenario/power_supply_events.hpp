// SPDX-License-Identifier: MIT
// Shared steps of the daemon's scenario stories: power-supply events as the kernel sends
// them, and the shutdown sequence every exit must run.
#pragma once

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vh::story {

// The device path of a supply as its events carry it ("/devices/...", without "/sys").
inline std::string devpath_of(Scenario &s, const std::string &supply_dir) {
    const std::string canonical = s.fs().canonical(supply_dir);
    return canonical.substr(std::string("/sys").size());
}

// A change event of the supply at supply_dir with exactly these further properties.
inline void send_change(Scenario &s, const std::string &supply_dir, const Properties &properties) {
    s.hs().events().send("change", devpath_of(s, supply_dir), "power_supply", properties);
}

// A change event of a supply the daemon does not know (the OTG supply): it asks for no update
// cycle, but ends a wait of its own, so the daemon makes one more pass and sends one more
// heartbeat for it.
inline void send_unknown_supply_change(Scenario &s) {
    s.hs().events().send("change", "/devices/platform/soc/otg/power_supply/usb-otg", "power_supply",
                         {{"DEVTYPE", "power_supply"},
                          {"POWER_SUPPLY_NAME", "usb-otg"},
                          {"POWER_SUPPLY_ONLINE", "1"}});
}

// An event of the TCPM source supply; OF_NAME and the type are left out when not given.
inline Properties tcpm_properties(const std::optional<std::string> &of_name, bool online,
                                  int32_t voltage_uv, int32_t current_ua,
                                  const std::optional<std::string> &usb_type_text) {
    Properties properties;
    if (of_name) {
        properties.emplace_back("OF_NAME", *of_name);
    }
    properties.emplace_back("POWER_SUPPLY_NAME", "tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00");
    properties.emplace_back("POWER_SUPPLY_ONLINE", online ? "1" : "0");
    properties.emplace_back("POWER_SUPPLY_VOLTAGE_NOW", std::to_string(voltage_uv));
    properties.emplace_back("POWER_SUPPLY_CURRENT_NOW", std::to_string(current_ua));
    if (usb_type_text) {
        properties.emplace_back("POWER_SUPPLY_USB_TYPE", *usb_type_text);
    }
    return properties;
}

// The hardware returned to safe settings: the charge voltage, the QPH2 exit sequence, in
// this order, after the write cursor.
inline void expect_shutdown_sequence(Scenario &s) {
    const std::string charger = path::charger + "/";
    EXPECT_TRUE(s.expect_write(charger + "constant_charge_voltage", "8900000"));
    EXPECT_TRUE(s.expect_write(charger + "aicl_enable", "0"));
    EXPECT_TRUE(s.expect_write(charger + "qph2_allow", "0"));
    EXPECT_TRUE(s.expect_write(charger + "termination_enable", "1"));
    EXPECT_TRUE(s.expect_write(charger + "constant_charge_current", "1000000"));
    EXPECT_TRUE(s.expect_write(charger + "aicl_enable", "1"));
}

} // namespace vh::story
