// SPDX-License-Identifier: MIT
// The charger status parser on arbitrary text: a text selects the first status whose name
// begins with it (over the text's own length), anything else is "Unknown".
#include "fuzz_support.hpp"

#include "charger/pm8550b_charger.hpp"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::text_of(data, size);
    const int32_t status = charger_status_parse(text.c_str());
    fuzz::check(status >= CHARGER_STATUS_UNKNOWN && status <= CHARGER_STATUS_FULL,
                "the status is one of the five");
    const char *name = charger_status_name(status);
    fuzz::check(name != nullptr, "every parsed status has a name");
    if (status != CHARGER_STATUS_UNKNOWN) {
        fuzz::check(std::strncmp(text.c_str(), name, text.size()) == 0,
                    "a known status is selected by a prefix of its name");
    }
    for (int32_t earlier = CHARGER_STATUS_UNKNOWN; earlier < status; ++earlier) {
        fuzz::check(std::strncmp(text.c_str(), charger_status_name(earlier), text.size()) != 0,
                    "no earlier name begins with the text");
    }
    return 0;
}
