// SPDX-License-Identifier: MIT
// The PM8550B main charger: limits, QPH2 fast-charge mode, AICL, and its state from udev.
// Also the charger status enumeration the whole daemon shares.
#pragma once

#include <cstdint>

struct property_source;
struct udev_device;

constexpr int32_t CHARGER_STATUS_UNKNOWN = 0;
constexpr int32_t CHARGER_STATUS_CHARGING = 1;
constexpr int32_t CHARGER_STATUS_DISCHARGING = 2;
constexpr int32_t CHARGER_STATUS_NOT_CHARGING = 3;
constexpr int32_t CHARGER_STATUS_FULL = 4;

struct charger_reading {
    int32_t cv_uv;
    int32_t cc_ua;
    int32_t status;
    bool online;
    bool qph2_active;
    bool aicl_complete;
};

int pm8550b_charger_init(int32_t voltage_uv, int32_t current_ua, int epoll_fd);
void pm8550b_charger_deinit();
// Looks at the qph2 and aicl_status files: a charger whose driver went away is reported once
// and its files are opened again once it returns (also on its "add" event), read and watched.
void pm8550b_charger_check_files();
void pm8550b_charger_process_udev(udev_device *device);
// The handling of one event of the charger, from its properties.
void pm8550b_charger_process_properties(const property_source &properties);
bool pm8550b_charger_qph2_changed();
bool pm8550b_charger_aicl_changed();
charger_reading pm8550b_charger_get_reading();

void pm8550b_charger_set_aicl_enable(bool enable);
int pm8550b_charger_aicl_rerun();
int pm8550b_charger_set_qph2_allow(bool allow);
int pm8550b_charger_qph2_resume();
int pm8550b_charger_set_termination_enable(bool enable);
int pm8550b_charger_set_constant_charge_current(int32_t current_ua);
int pm8550b_charger_set_constant_charge_voltage(int32_t voltage_uv);
int pm8550b_charger_set_charging_enable(bool enable);

const char *charger_status_name(int32_t status);
int32_t charger_status_parse(const char *text);
