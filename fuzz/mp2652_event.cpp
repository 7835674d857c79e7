// SPDX-License-Identifier: MIT
// The cross-charger's udev events: the first input byte chooses which of the pack's devices
// exist (fuzz_support.hpp), the rest is a sequence of arbitrary property sets. Without its
// attribute files the charger's reading is exactly what the events put into it.
#include "fuzz_support.hpp"

#include "pack/mp2652.hpp"

#include <cstring>

namespace {

void check_ranges(const cross_charger_reading &reading) {
    fuzz::check(reading.status >= 0 && reading.status <= 4, "the status is one of the five");
    fuzz::check(reading.charge_type >= CHARGE_TYPE_UNKNOWN &&
                    reading.charge_type <= CHARGE_TYPE_FAST,
                "the charge type is one of the four");
    fuzz::check(reading.health >= HEALTH_UNKNOWN && reading.health <= HEALTH_HOT,
                "the health is one of the six");
}

// Only the properties the event carries change their fields.
void check_numbers(const cross_charger_reading &before, const cross_charger_reading &after,
                   const property_source &properties) {
    struct field {
        const char *property;
        int32_t cross_charger_reading::*member;
    };
    constexpr field fields[] = {
        {"POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE", &cross_charger_reading::constant_charge_voltage},
        {"POWER_SUPPLY_CONSTANT_CHARGE_CURRENT", &cross_charger_reading::constant_charge_current},
        {"POWER_SUPPLY_INPUT_CURRENT_LIMIT", &cross_charger_reading::input_current_limit},
        {"POWER_SUPPLY_INPUT_VOLTAGE_LIMIT", &cross_charger_reading::input_voltage_limit},
        {"POWER_SUPPLY_PRECHARGE_CURRENT", &cross_charger_reading::precharge_current},
        {"POWER_SUPPLY_CHARGE_TERM_CURRENT", &cross_charger_reading::charge_term_current},
    };
    for (const field &f : fields) {
        const char *text = property_value(properties, f.property);
        fuzz::check(after.*f.member == (text != nullptr ? parse_decimal(text) : before.*f.member),
                    "a number is the property's value, or kept when it is missing");
    }
    fuzz::check(after.constant_charge_voltage_max == before.constant_charge_voltage_max &&
                    after.constant_charge_current_max == before.constant_charge_current_max,
                "an event leaves the ceilings alone");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    fuzz::private_power_supply_tree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    mp2652_uninit();
    const fuzz::pack_devices devices = fuzz::pack_devices_from(data[0]);
    fuzz::build_pack_devices(devices);
    const bool present = fuzz::private_power_supply_tree() && devices.cross_charger;
    // Without attribute files every read fails and keeps the reading as the events left it.
    const bool observable = present && !devices.cross_charger_attributes;

    for (const test_support::event_properties &event : fuzz::events_of(data + 1, size - 1)) {
        const cross_charger_reading before = mp2652_read_all();
        const bool changed = mp2652_process_properties(event.source());
        const cross_charger_reading after = mp2652_read_all();
        check_ranges(after);
        if (!present) {
            fuzz::check(changed && !mp2652_is_initialised(),
                        "an event of an absent charger asks for a cycle and uninitialises");
            continue;
        }
        fuzz::check(mp2652_is_initialised(), "an event of a present charger initialises it");
        const char *name = property_value(event.source(), "POWER_SUPPLY_NAME");
        const bool exact_name = name != nullptr && std::strcmp(name, "mp2652-charger") == 0;
        if (!exact_name) {
            fuzz::check(!changed, "an event of another supply is ignored");
            if (observable) {
                check_numbers(before, after, test_support::event_properties{}.source());
            }
        } else if (observable) {
            fuzz::check(changed == (after.status != before.status),
                        "an event is a change exactly when the status changes");
            check_numbers(before, after, event.source());
        }
    }
    return 0;
}
