// SPDX-License-Identifier: MIT
// The fuel gauges' udev events, as routed by their POWER_SUPPLY_NAME: the first input byte
// chooses which gauges exist (fuzz_support.hpp), the rest is a sequence of property sets.
// Only the pack's gauge starts a search, and the search finds what is there.
#include "fuzz_support.hpp"

#include "sensing/fuel_gauge.hpp"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    fuzz::private_power_supply_tree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    fuel_gauge_mark_absent(BATTERY_EXTERNAL);
    const fuzz::pack_devices devices = fuzz::pack_devices_from(data[0]);
    fuzz::build_pack_devices(devices);
    const bool tree = fuzz::private_power_supply_tree();
    const bool pack_gauge_there = tree && (devices.pack_gauge || devices.pack_gauge_other_bus);

    for (const test_support::event_properties &event : fuzz::events_of(data + 1, size - 1)) {
        const bool present_before = fuel_gauge_is_present(BATTERY_EXTERNAL);
        const char *name = property_value(event.source(), "POWER_SUPPLY_NAME");
        const bool pack_gauge_event =
            name != nullptr && std::strncmp(name, "max1720x_bat_7-76", 17) == 0;

        const bool changed = fuel_gauge_process_udev(nullptr, name);
        fuzz::check(changed == pack_gauge_event, "only the pack gauge's event asks for a cycle");
        const bool present = fuel_gauge_is_present(BATTERY_EXTERNAL);
        fuzz::check(present == (pack_gauge_event ? pack_gauge_there : present_before),
                    "the pack gauge's event finds the gauge exactly when it is there");

        const fuel_gauge_reading reading = fuel_gauge_get_reading(BATTERY_EXTERNAL);
        if (present) {
            fuzz::check(reading.capacity == 57 && reading.voltage_avg == 3912000 &&
                            reading.current_avg == -412000 && reading.time_to_empty_avg == 11040 &&
                            reading.time_to_full_avg == 0,
                        "a found gauge reads its files");
            fuzz::check(fuel_gauge_battery_percent(BATTERY_EXTERNAL) == 57,
                        "the pack's percentage is its raw capacity");
        } else {
            fuzz::check(reading.capacity == 0 && reading.voltage_avg == 0 &&
                            reading.current_avg == 0 && reading.time_to_empty_avg == 0 &&
                            reading.time_to_full_avg == 0,
                        "an absent gauge reads zeros");
        }
    }
    return 0;
}
