// SPDX-License-Identifier: MIT
// The TCPM source's udev events, a sequence of arbitrary property sets (format in
// fuzz_support.hpp), through the handler's property lookup.
#include "fuzz_support.hpp"

#include "charger/tcpm.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (const test_support::event_properties &event : fuzz::events_of(data, size)) {
        const usb_contract before = tcpm_get_contract();
        tcpm_process_properties(event.source());
        const usb_contract after = tcpm_get_contract();
        const property_source properties = event.source();

        fuzz::check(after.usb_type >= USB_TYPE_UNKNOWN && after.usb_type <= USB_TYPE_PD_PPS,
                    "the type is one of the four");
        fuzz::check(tcpm_usb_type_name(after.usb_type) != nullptr, "the type has a name");
        if (after.voltage_uv == 0) {
            fuzz::check(after.usb_type == USB_TYPE_UNKNOWN, "no voltage is no contract");
        }
        if (property_value(properties, "POWER_SUPPLY_VOLTAGE_NOW") == nullptr) {
            fuzz::check(after.voltage_uv == 0, "a missing voltage is 0");
        }
        if (property_value(properties, "POWER_SUPPLY_ONLINE") == nullptr) {
            fuzz::check(after.online == before.online, "a missing online flag is kept");
        }
        if (property_value(properties, "POWER_SUPPLY_CURRENT_NOW") == nullptr) {
            fuzz::check(after.current_ua == before.current_ua, "a missing current is kept");
        }
    }
    return 0;
}
