// SPDX-License-Identifier: MIT
// The PMIC voltage ADC: battery voltage, USB input voltage, charge and input current.
#pragma once

#include <cstdint>

struct udev;

int adc_init(udev *udev);
void adc_deinit();
// Looks at the four channel files: an ADC whose driver went away is reported once and
// looked up again until it returns; its channels read 0 meanwhile.
void adc_check_files();
int32_t adc_read_vbat(); // µV
int32_t adc_read_vusb(); // µV
int32_t adc_read_ichg(); // µA
int32_t adc_read_iin();  // µA
