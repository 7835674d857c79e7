// The charging policy: the update cycle, the status files, fast charge and the pack's power
// source; and the start-up and shutdown sequences of the device modules.
#pragma once

#include "charger/pm8550b_charger.hpp"
#include "charger/tcpm.hpp"
#include "pack/tavlock.hpp"
#include "sensing/fuel_gauge.hpp"

#include <cstdint>

struct udev;

// Fast-charge states.
constexpr int32_t QPH_SEL_1 = 0;
constexpr int32_t QPH_SEL_2 = 1;
constexpr int32_t QPH_SEL_2_TO_1 = 2;
constexpr int32_t QPH_SEL_AICL = 3;
constexpr int32_t QPH_SEL_1_TO_2 = 4;

struct system_snapshot {
    uint8_t load;
    int32_t adc_vbat_uv;
    int32_t adc_ichg_ua;
    int32_t adc_vusb_uv;
    int32_t adc_iin_ua;
    usb_contract usb;
    charger_reading charger;
    fuel_gauge_reading fg_internal;
    pack_status pack;
};

int control_init(udev *udev, int epoll_fd);
void control_deinit();
void control_update(bool woken_by_event);
void control_enter_qph2();
void control_exit_qph2();
