// SPDX-License-Identifier: MIT
// The PMIC charger's udev events, a sequence of arbitrary property sets (format in
// fuzz_support.hpp), through the handler's property lookup.
#include "fuzz_support.hpp"

#include "charger/pm8550b_charger.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (const test_support::event_properties &event : fuzz::events_of(data, size)) {
        const charger_reading before = pm8550b_charger_get_reading();
        pm8550b_charger_process_properties(event.source());
        const charger_reading after = pm8550b_charger_get_reading();
        const property_source properties = event.source();

        fuzz::check(after.status >= CHARGER_STATUS_UNKNOWN && after.status <= CHARGER_STATUS_FULL,
                    "the status is one of the five");
        fuzz::check(charger_status_name(after.status) != nullptr, "the status has a name");
        if (property_value(properties, "POWER_SUPPLY_STATUS") == nullptr) {
            fuzz::check(after.status == CHARGER_STATUS_UNKNOWN, "a missing status is Unknown");
        }
        if (property_value(properties, "POWER_SUPPLY_ONLINE") == nullptr) {
            fuzz::check(after.online == before.online, "a missing online flag is kept");
        }
        if (property_value(properties, "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE") == nullptr) {
            fuzz::check(after.cv_uv == before.cv_uv, "a missing voltage limit is kept");
        }
        if (property_value(properties, "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT") == nullptr) {
            fuzz::check(after.cc_ua == before.cc_ua, "a missing current limit is kept");
        }
        fuzz::check(after.qph2_active == before.qph2_active &&
                        after.aicl_complete == before.aicl_complete,
                    "an event leaves the notified flags alone");
    }
    return 0;
}
