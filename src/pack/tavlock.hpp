// The headstrap's hot-swap controller: the pack status record and the power-source and
// cross-charging commands.
#pragma once

#include "pack/mp2652.hpp"
#include "sensing/fuel_gauge.hpp"

#include <cstdint>

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
void tavlock_set_power_source(int32_t power_source);
void tavlock_set_cross_charge(int32_t direction);
void tavlock_enable_cross_charger(bool enable);
int32_t tavlock_clear_interrupts();
bool tavlock_is_present();
void tavlock_deinit();
