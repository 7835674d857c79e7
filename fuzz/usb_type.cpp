// SPDX-License-Identifier: MIT
// The USB type of a TCPM event from its voltage and its POWER_SUPPLY_USB_TYPE text. The
// first four bytes are the voltage (so that 0 and the texts are both explored), the rest
// is the text; an input shorter than five bytes stands for a missing text.
#include "fuzz_support.hpp"

#include "charger/tcpm.hpp"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int32_t voltage_uv = 0;
    if (size >= sizeof voltage_uv) {
        std::memcpy(&voltage_uv, data, sizeof voltage_uv);
        data += sizeof voltage_uv;
        size -= sizeof voltage_uv;
    }
    const std::string text = fuzz::text_of(data, size);
    const char *usb_type_text = size > 0 ? text.c_str() : nullptr;

    const int32_t usb_type = tcpm_usb_type_for(voltage_uv, usb_type_text);
    fuzz::check(usb_type >= USB_TYPE_UNKNOWN && usb_type <= USB_TYPE_PD_PPS,
                "the type is one of the four");
    fuzz::check(tcpm_usb_type_name(usb_type) != nullptr, "every type has a name");
    if (voltage_uv == 0 || usb_type_text == nullptr) {
        fuzz::check(usb_type == USB_TYPE_UNKNOWN, "no voltage or no text is no type");
    }
    if (usb_type != USB_TYPE_UNKNOWN) {
        fuzz::check(std::strncmp(text.c_str(), tcpm_usb_type_name(usb_type), text.size()) == 0,
                    "a type is selected by a prefix of its name");
    }
    return 0;
}
