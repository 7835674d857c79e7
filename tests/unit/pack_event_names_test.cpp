// SPDX-License-Identifier: MIT
// Events of the pack's supplies are told apart by the beginning of POWER_SUPPLY_NAME: a name
// that goes on after the literal reaches the same handler, which then decides for itself.
#include "core/daemon.hpp"
#include "sensing/fuel_gauge.hpp"

#include <gtest/gtest.h>

#include <string>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(PackEventNames, ANameThatGoesOnReachesTheSameHandler) {
    struct Case {
        const char *power_supply_name;
        pack_handler handler;
    };
    const Case cases[] = {
        {"mp2652-charger", pack_handler::mp2652},
        {"mp2652-charger-2", pack_handler::mp2652},
        {"max1720x_bat_7-76", pack_handler::fuel_gauge},
        {"max1720x_bat_7-76-1", pack_handler::fuel_gauge},
        {"pellgrave-hotswap-1", pack_handler::tavlock},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(udev_route_for(nullptr, "power_supply", c.power_supply_name).by_power_supply_name,
                  c.handler)
            << c.power_supply_name;
    }
}

// The test machine has no pack gauge: a search finds nothing and leaves the pack's battery
// absent, and the event still asks for a cycle.
TEST(PackEventNames, EveryNameBeginningWithThePackGaugesSearchesForIt) {
    struct Case {
        const char *name;
        bool searched;
    };
    const Case cases[] = {
        {"max1720x_bat_7-76", true},
        {"max1720x_bat_7-76-1", true},
        {"max1720x_bat_7-760", true},
        {"max1720x_bat_7-7", false},
        {"max1720x_bat_17-76", false},
        {"max1720x_bat_7-36", false},
        {"", false},
        {nullptr, false},
    };
    for (const Case &c : cases) {
        CaptureStderr();
        EXPECT_EQ(fuel_gauge_process_udev(nullptr, c.name), c.searched)
            << (c.name != nullptr ? c.name : "(null)");
        GetCapturedStderr();
        EXPECT_FALSE(fuel_gauge_is_present(BATTERY_EXTERNAL));
    }
}
