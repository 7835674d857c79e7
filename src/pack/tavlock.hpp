// SPDX-License-Identifier: MIT
// The headstrap's hot-swap controller: the pack status record and the power-source and
// cross-charging commands.
#pragma once

#include "pack/mp2652.hpp"
#include "sensing/fuel_gauge.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

struct property_source;
struct udev;
struct udev_device;

constexpr int32_t POWER_SOURCE_NONE = 0;
constexpr int32_t POWER_SOURCE_INTERNAL = 1;
constexpr int32_t POWER_SOURCE_EXTERNAL = 2;

constexpr int32_t CROSS_CHARGE_OFF = 0;
constexpr int32_t CROSS_CHARGE_INT_TO_EXT = 1;
constexpr int32_t CROSS_CHARGE_EXT_TO_INT = 2;

struct pack_status {
    bool headstrap_present;
    bool pack_connected;
    bool internal_voltage_ok;
    bool removable_voltage_ok;
    bool cross_charger_ready;
    int32_t power_source;
    int32_t cross_charge;
    int32_t status_bits;
    fuel_gauge_reading external_fuel_gauge;
    cross_charger_reading cross_charger;
};

int32_t tavlock_init(udev *udev, int epoll_fd);
bool tavlock_refresh();
pack_status tavlock_get_status();
bool tavlock_process_udev(udev_device *device);
// The handling of one event of the controller, from its properties.
bool tavlock_process_properties(const property_source &properties);
void tavlock_set_power_source(int32_t power_source);
void tavlock_set_cross_charge(int32_t direction);
void tavlock_enable_cross_charger(bool enable);
int32_t tavlock_clear_interrupts();
bool tavlock_is_present();
void tavlock_deinit();
// Looks at the thirteen watched files: a controller whose driver went away is reported once,
// and its files are watched again once it returns (also on its "add" event), when a change
// event is asked for as at start-up.
void tavlock_check_files();

// The thirteen attributes of the controller that notify their changes, in the order the
// refresh reads them.
enum tavlock_attribute : size_t {
    TAVLOCK_REALTIME_PACK_CONNECTED,
    TAVLOCK_INTERNAL_VOLTAGE_OK,
    TAVLOCK_REMOVABLE_VOLTAGE_OK,
    TAVLOCK_CROSS_CHG_VINT_FROM_VREM,
    TAVLOCK_CROSS_CHG_VREM_FROM_VINT,
    TAVLOCK_INTERNAL_ACTIVE,
    TAVLOCK_REMOVABLE_ACTIVE,
    TAVLOCK_INTERRUPT_VINT_NOT_VALID,
    TAVLOCK_REALTIME_HW_BATT_CONTROL,
    TAVLOCK_REALTIME_USE_INT_BATT,
    TAVLOCK_INTERRUPT_CHARGER_FAULT,
    TAVLOCK_INTERRUPT_PACK_INSTALLED,
    TAVLOCK_INTERRUPT_PACK_REMOVED,
    TAVLOCK_ATTRIBUTE_COUNT
};
using tavlock_attribute_values = std::array<bool, TAVLOCK_ATTRIBUTE_COUNT>;

// Decisions of the module, free of I/O.
// The record after a refresh: fields 2 to 8 from the attribute values, the external fuel
// gauge's present flag and the cross-charger's initialised flag; the others kept.
pack_status tavlock_record_from(const pack_status &previous, const tavlock_attribute_values &values,
                                bool external_gauge_present, bool cross_charger_initialised);
// Field by field: padding bytes of the record carry no data.
bool tavlock_record_differs(const pack_status &a, const pack_status &b);
// The pack counts as present in a udev event when POWER_SUPPLY_PRESENT begins with "1".
bool tavlock_udev_connected(const char *present_property);
bool tavlock_power_source_allowed(int32_t power_source, bool pack_connected);
bool tavlock_cross_charge_allowed(int32_t direction, int32_t power_source);
