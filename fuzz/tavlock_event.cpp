// SPDX-License-Identifier: MIT
// The hot-swap controller's udev events: the first input byte chooses which of the pack's
// devices exist (fuzz_support.hpp), the rest is a sequence of arbitrary property sets.
// Each event reports whether the presence flipped and takes up or drops the pack.
#include "fuzz_support.hpp"

#include "pack/mp2652.hpp"
#include "pack/tavlock.hpp"
#include "sensing/fuel_gauge.hpp"

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    fuzz::private_power_supply_tree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // From a known state: the pack dropped, as after an event without the pack.
    tavlock_process_properties(test_support::event_properties{}.source());
    const fuzz::pack_devices devices = fuzz::pack_devices_from(data[0]);
    fuzz::build_pack_devices(devices);
    const bool tree = fuzz::private_power_supply_tree();

    bool last_present = false;
    for (const test_support::event_properties &event : fuzz::events_of(data + 1, size - 1)) {
        const char *present = property_value(event.source(), "POWER_SUPPLY_PRESENT");
        const bool connected = present != nullptr && present[0] == '1';
        const bool changed = tavlock_process_properties(event.source());
        fuzz::check(changed == (connected != last_present),
                    "an event is a change exactly when the presence flips");
        last_present = connected;
        if (!connected) {
            fuzz::check(!mp2652_is_initialised() && !fuel_gauge_is_present(BATTERY_EXTERNAL),
                        "a pulled pack leaves no cross-charger and no pack gauge");
        } else if (tree) {
            fuzz::check(mp2652_is_initialised() == devices.cross_charger,
                        "a fitted pack takes up the cross-charger when it is there");
            fuzz::check(fuel_gauge_is_present(BATTERY_EXTERNAL) ==
                            (devices.pack_gauge || devices.pack_gauge_other_bus),
                        "a fitted pack finds its gauge when it is there");
        }
        // Without the controller found at start-up the record stays all zero.
        fuzz::check(!tavlock_record_differs(tavlock_get_status(), pack_status{}),
                    "the record of a controller never found stays zero");
    }
    return 0;
}
