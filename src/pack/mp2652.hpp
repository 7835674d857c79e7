// SPDX-License-Identifier: MIT
// The MP2652 cross-charger that moves charge between the internal battery and the pack.
#pragma once

#include <cstdint>

struct property_source;
struct udev_device;

constexpr int32_t CHARGE_TYPE_UNKNOWN = 0;
constexpr int32_t CHARGE_TYPE_NA = 1;
constexpr int32_t CHARGE_TYPE_TRICKLE = 2;
constexpr int32_t CHARGE_TYPE_FAST = 3;

constexpr int32_t HEALTH_UNKNOWN = 0;
constexpr int32_t HEALTH_GOOD = 1;
constexpr int32_t HEALTH_COLD = 2;
constexpr int32_t HEALTH_COOL = 3;
constexpr int32_t HEALTH_WARM = 4;
constexpr int32_t HEALTH_HOT = 5;

struct cross_charger_reading {
    int32_t constant_charge_voltage;     // µV
    int32_t constant_charge_voltage_max; // µV
    int32_t constant_charge_current;     // µA
    int32_t constant_charge_current_max; // µA
    int32_t input_current_limit;         // µA
    int32_t input_voltage_limit;         // µV
    int32_t precharge_current;           // µA
    int32_t charge_term_current;         // µA
    int32_t status;                      // charger status enumeration
    int32_t charge_type;
    int32_t health;
};

bool mp2652_is_present();
bool mp2652_is_initialised();
int32_t mp2652_init();
void mp2652_uninit();
cross_charger_reading mp2652_read_all();
void mp2652_set_enable(bool enable);
bool mp2652_process_udev(udev_device *device);
// The handling of one event routed here, from its properties.
bool mp2652_process_properties(const property_source &properties);
int32_t mp2652_parse_charge_type(const char *text);
int32_t mp2652_parse_health(const char *text);
int32_t mp2652_set_constant_charge_current(int32_t value);
int32_t mp2652_set_constant_charge_voltage(int32_t value);
int32_t mp2652_set_input_current_limit(int32_t value);
int32_t mp2652_set_input_voltage_limit(int32_t value);
int32_t mp2652_set_precharge_current(int32_t value);
int32_t mp2652_set_charge_term_current(int32_t value);
