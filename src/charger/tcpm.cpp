// SPDX-License-Identifier: MIT
#include "charger/tcpm.hpp"

#include "util/console.hpp"
#include "util/util.hpp"

#include <array>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The Type-C port manager's source supply; its uevent file is at a fixed place.
constexpr const char *uevent_path =
    "/sys/class/power_supply/tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00/uevent";

// Display names, indexed by USB type. The kernel lists every type the supply can take in
// POWER_SUPPLY_USB_TYPE and brackets the active one, so names 1 to 3 are also the texts
// that select them.
constexpr std::array<const char *, 4> usb_type_names = {
    "Unknown",
    "[C] PD PD_PPS",
    "C [PD] PD_PPS",
    "C PD [PD_PPS]",
};

usb_contract contract{};

} // namespace

int tcpm_init() {
    console_print(stderr, console_level::debug, "%s\n", uevent_path);
    // The kernel answers "change" with an event carrying every property of the supply; it
    // waits in the already-enabled monitor until the loop runs.
    const int fd = open(uevent_path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open USB uevent failed on %d\n", fd);
        return fd;
    }
    const ssize_t written = write(fd, "change", 6);
    close(fd);
    if (written < 0) {
        console_print(stderr, console_level::err, "Change Notify USB uevent failed on %d\n",
                      static_cast<int>(written));
        return static_cast<int>(written);
    }
    return 0;
}

void tcpm_deinit() {
    // No file stays open between events: nothing to release.
}

usb_contract tcpm_get_contract() {
    return contract;
}

const char *tcpm_usb_type_name(int32_t usb_type) {
    // Only parsed values reach here; anything else names itself unknown, never past the table.
    const bool known = usb_type >= 0 && static_cast<size_t>(usb_type) < usb_type_names.size();
    const char *name = usb_type_names[known ? static_cast<size_t>(usb_type) : 0];
    return name;
}

int32_t tcpm_usb_type_for(int32_t voltage_uv, const char *usb_type_text) {
    if (voltage_uv == 0) {
        return USB_TYPE_UNKNOWN;
    }
    if (usb_type_text == nullptr) {
        console_print(stderr, console_level::warning, "Unknown USB Charger Type: NULL\n");
        return USB_TYPE_UNKNOWN;
    }
    const size_t length = std::strlen(usb_type_text);
    for (int32_t type = USB_TYPE_C; type <= USB_TYPE_PD_PPS; ++type) {
        if (std::strncmp(usb_type_text, usb_type_names[static_cast<size_t>(type)], length) == 0) {
            return type;
        }
    }
    console_print(stderr, console_level::warning, "Unknown USB Charger Type %s\n", usb_type_text);
    return USB_TYPE_UNKNOWN;
}

void tcpm_process_udev(udev_device *device) {
    assert(device);
    tcpm_process_properties(udev_device_properties(device));
}

void tcpm_process_properties(const property_source &properties) {
    const char *online = property_value(properties, "POWER_SUPPLY_ONLINE");
    const char *voltage = property_value(properties, "POWER_SUPPLY_VOLTAGE_NOW");
    const char *current = property_value(properties, "POWER_SUPPLY_CURRENT_NOW");
    const char *usb_type = property_value(properties, "POWER_SUPPLY_USB_TYPE");

    if (online != nullptr) {
        contract.online = parse_decimal64(online) != 0;
    } else {
        console_print(stderr, console_level::warning, "POWER_SUPPLY_ONLINE == NULL\n");
    }
    if (voltage != nullptr) {
        contract.voltage_uv = parse_decimal(voltage);
    } else {
        // Without a voltage there is no contract.
        console_print(stderr, console_level::warning, "POWER_SUPPLY_VOLTAGE_NOW == NULL\n");
        contract.voltage_uv = 0;
    }
    if (current != nullptr) {
        contract.current_ua = parse_decimal(current);
    } else {
        console_print(stderr, console_level::warning, "POWER_SUPPLY_CURRENT_NOW == NULL\n");
    }
    contract.usb_type = tcpm_usb_type_for(contract.voltage_uv, usb_type);
}
