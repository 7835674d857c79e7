// SPDX-License-Identifier: MIT
// The cross-charger's charge type and health parsers: whole-text, case-sensitive tables;
// whatever else arrives is "unknown".
#include "fuzz_support.hpp"

#include "pack/mp2652.hpp"

#include <string_view>

namespace {

constexpr std::string_view charge_type_texts[] = {"", "N/A", "Trickle", "Fast"};
constexpr std::string_view health_texts[] = {"", "Good", "Cold", "Cool", "Warm", "Hot"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::text_of(data, size);

    const int32_t charge_type = mp2652_parse_charge_type(text.c_str());
    fuzz::check(charge_type >= CHARGE_TYPE_UNKNOWN && charge_type <= CHARGE_TYPE_FAST,
                "the charge type is one of the four");
    if (charge_type != CHARGE_TYPE_UNKNOWN) {
        fuzz::check(text == charge_type_texts[charge_type], "a charge type is its whole text");
    }

    const int32_t health = mp2652_parse_health(text.c_str());
    fuzz::check(health >= HEALTH_UNKNOWN && health <= HEALTH_HOT, "the health is one of the six");
    if (health != HEALTH_UNKNOWN) {
        fuzz::check(text == health_texts[health], "a health is its whole text");
    }
    return 0;
}
