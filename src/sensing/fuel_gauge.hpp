// SPDX-License-Identifier: MIT
// MAX1720x fuel gauges of the internal battery and of the headstrap's pack.
#pragma once

#include <cstdint>

struct udev_device;

constexpr int BATTERY_INTERNAL = 0;
constexpr int BATTERY_EXTERNAL = 1;

struct fuel_gauge_reading {
    int32_t voltage_avg;       // µV
    int32_t current_avg;       // µA, positive while charging
    int32_t capacity;          // percent, raw
    int32_t time_to_empty_avg; // s
    int32_t time_to_full_avg;  // s
};

int32_t fuel_gauge_find(int battery);
void fuel_gauge_mark_absent(int battery);
bool fuel_gauge_is_present(int battery);
void fuel_gauge_read_attr(const char *dir, const char *attribute, int32_t *target);
int32_t fuel_gauge_capacity(int battery);
int32_t fuel_gauge_battery_percent(int battery);
int32_t fuel_gauge_voltage_avg(int battery);
int32_t fuel_gauge_current_avg(int battery);
int32_t fuel_gauge_time_to_empty_avg(int battery);
int32_t fuel_gauge_time_to_full_avg(int battery);
fuel_gauge_reading fuel_gauge_get_reading(int battery);
bool fuel_gauge_process_udev(udev_device *device, const char *power_supply_name);
bool fuel_gauge_recheck(int battery);

// Decisions of the module, free of I/O.
// True when a power-supply name is a MAX1720x gauge with the given address suffix:
// "max1720x_bat_", a bus number of one or two digits, "-" and the suffix.
bool fuel_gauge_name_matches(const char *power_supply_name, const char *address_suffix);
// The displayed percentage: the internal battery's capacity rescaled so that 90 % reads
// as full (capped at 100), the external battery's unchanged.
int32_t fuel_gauge_percent_from_capacity(int battery, int32_t capacity);
