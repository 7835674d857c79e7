// SPDX-License-Identifier: MIT
// The routing of power_supply events to their handlers, from OF_NAME, SUBSYSTEM and
// POWER_SUPPLY_NAME of arbitrary property sets (format in fuzz_support.hpp): each rule is a
// prefix test over the whole literal, and a missing property matches nothing.
#include "fuzz_support.hpp"

#include "core/daemon.hpp"

namespace {

bool begins_with(const char *text, std::string_view literal) {
    return text != nullptr && std::string_view(text).starts_with(literal);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (const test_support::event_properties &event : fuzz::events_of(data, size)) {
        const property_source properties = event.source();
        const char *of_name = property_value(properties, "OF_NAME");
        const char *subsystem = property_value(properties, "SUBSYSTEM");
        const char *name = property_value(properties, "POWER_SUPPLY_NAME");
        const udev_route route = udev_route_for(of_name, subsystem, name);

        fuzz::check(route.subsystem_missing == (subsystem == nullptr),
                    "a missing SUBSYSTEM is reported");
        const bool pmic_event = of_name != nullptr && begins_with(subsystem, "power_supply");
        pmic_handler expected_pmic = pmic_handler::none;
        if (pmic_event && begins_with(of_name, "typec")) {
            expected_pmic = pmic_handler::tcpm;
        } else if (pmic_event && begins_with(of_name, "charger")) {
            expected_pmic = pmic_handler::charger;
        }
        fuzz::check(route.by_of_name == expected_pmic, "OF_NAME routes by its prefix");

        pack_handler expected_pack = pack_handler::none;
        if (begins_with(name, "pellgrave-hotswap")) {
            expected_pack = pack_handler::tavlock;
        } else if (begins_with(name, "mp2652-charger")) {
            expected_pack = pack_handler::mp2652;
        } else if (begins_with(name, "max1720x_bat_")) {
            expected_pack = pack_handler::fuel_gauge;
        }
        fuzz::check(route.by_power_supply_name == expected_pack,
                    "POWER_SUPPLY_NAME routes by its prefix");
    }
    return 0;
}
