// SPDX-License-Identifier: MIT
// USB-C source monitor: what the source on the USB-C port offers, as the kernel's Type-C
// port manager publishes it through its power supply's udev events.
#pragma once

#include <cstdint>

struct property_source;
struct udev_device;

constexpr int32_t USB_TYPE_UNKNOWN = 0;
constexpr int32_t USB_TYPE_C = 1;
constexpr int32_t USB_TYPE_PD = 2;
constexpr int32_t USB_TYPE_PD_PPS = 3;

struct usb_contract {
    int32_t voltage_uv;
    int32_t current_ua;
    int32_t usb_type;
    bool online;
};

int tcpm_init();
void tcpm_deinit();
usb_contract tcpm_get_contract();
const char *tcpm_usb_type_name(int32_t usb_type);
void tcpm_process_udev(udev_device *device);
// The handling of one event of the source supply, from its properties.
void tcpm_process_properties(const property_source &properties);

// The USB type of an event: 0 when the voltage is 0 (the text is not examined), when the
// text is missing or when it selects no type. A text selects the first type whose display
// name begins with it (compared over the text's own length). Prints the type messages.
int32_t tcpm_usb_type_for(int32_t voltage_uv, const char *usb_type_text);
