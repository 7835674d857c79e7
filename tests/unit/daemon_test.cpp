// SPDX-License-Identifier: MIT
#include "core/daemon.hpp"

#include <gtest/gtest.h>

namespace {

struct RouteCase {
    const char *of_name;
    const char *subsystem;
    const char *power_supply_name;
    bool subsystem_missing;
    pmic_handler by_of_name;
    pack_handler by_power_supply_name;
};

} // namespace

TEST(UdevRoute, EveryRuleIsAPrefixTestOverTheLiteral) {
    constexpr const char *ps = "power_supply";
    const RouteCase cases[] = {
        // The PMIC-side supplies, by device-tree name.
        {"typec", ps, nullptr, false, pmic_handler::tcpm, pack_handler::none},
        {"typec@2b00", ps, nullptr, false, pmic_handler::tcpm, pack_handler::none},
        {"typ", ps, nullptr, false, pmic_handler::none, pack_handler::none},
        {"charger", ps, nullptr, false, pmic_handler::charger, pack_handler::none},
        {"charger-pm8550b", ps, nullptr, false, pmic_handler::charger, pack_handler::none},
        {"charge", ps, nullptr, false, pmic_handler::none, pack_handler::none},
        {"Typec", ps, nullptr, false, pmic_handler::none, pack_handler::none},
        {"", ps, nullptr, false, pmic_handler::none, pack_handler::none},
        {"typec", "power_supply_x", nullptr, false, pmic_handler::tcpm, pack_handler::none},
        {"typec", "power", nullptr, false, pmic_handler::none, pack_handler::none},
        {"typec", "hwmon", nullptr, false, pmic_handler::none, pack_handler::none},
        {nullptr, ps, nullptr, false, pmic_handler::none, pack_handler::none},
        // Without SUBSYSTEM nothing routes by device-tree name; routing by name still runs.
        {"typec", nullptr, nullptr, true, pmic_handler::none, pack_handler::none},
        {nullptr, nullptr, "pellgrave-hotswap", true, pmic_handler::none, pack_handler::tavlock},
        // The pack's supplies, by power-supply name.
        {nullptr, ps, "pellgrave-hotswap", false, pmic_handler::none, pack_handler::tavlock},
        {nullptr, ps, "pellgrave-hotswap.0", false, pmic_handler::none, pack_handler::tavlock},
        {nullptr, ps, "pellgrave-hotswa", false, pmic_handler::none, pack_handler::none},
        {nullptr, ps, "mp2652-charger", false, pmic_handler::none, pack_handler::mp2652},
        {nullptr, ps, "mp2652-charge", false, pmic_handler::none, pack_handler::none},
        {nullptr, ps, "max1720x_bat_7-76", false, pmic_handler::none, pack_handler::fuel_gauge},
        {nullptr, ps, "max1720x_bat_7-36", false, pmic_handler::none, pack_handler::fuel_gauge},
        {nullptr, ps, "max1720x_bat", false, pmic_handler::none, pack_handler::none},
        {nullptr, ps, "pm8550b-charger", false, pmic_handler::none, pack_handler::none},
        // One event can reach one handler of each step.
        {"charger", ps, "mp2652-charger", false, pmic_handler::charger, pack_handler::mp2652},
        {"typec", ps, "pellgrave-hotswap", false, pmic_handler::tcpm, pack_handler::tavlock},
    };
    for (const RouteCase &c : cases) {
        const udev_route route = udev_route_for(c.of_name, c.subsystem, c.power_supply_name);
        const std::string label =
            std::string("OF_NAME=") + (c.of_name ? c.of_name : "(none)") +
            " SUBSYSTEM=" + (c.subsystem ? c.subsystem : "(none)") +
            " POWER_SUPPLY_NAME=" + (c.power_supply_name ? c.power_supply_name : "(none)");
        EXPECT_EQ(route.subsystem_missing, c.subsystem_missing) << label;
        EXPECT_EQ(route.by_of_name, c.by_of_name) << label;
        EXPECT_EQ(route.by_power_supply_name, c.by_power_supply_name) << label;
    }
}

TEST(WaitTimeout, CountsDownFromTheEndOfTheLastCycle) {
    struct Case {
        int64_t now_ms;
        int64_t last_cycle_end_ms;
        int timeout_ms;
    };
    const Case cases[] = {
        {1000, 1000, 20000}, // right after a cycle: the whole period
        {6000, 1000, 15000}, // events that asked for no cycle do not restart it
        {20999, 1000, 1},    //
        {21000, 1000, 0},    // due: the next wait returns at once
        {90000, 1000, 0},    // never negative
        {500, 1000, 20000},  // a clock behind the last cycle end never waits longer
    };
    for (const Case &c : cases) {
        EXPECT_EQ(wait_timeout_ms(c.now_ms, c.last_cycle_end_ms), c.timeout_ms)
            << c.now_ms << " " << c.last_cycle_end_ms;
    }
}
