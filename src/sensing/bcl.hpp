// The PMIC's battery current limiter: thresholds that follow the battery voltage.
#pragma once

#include <cstddef>
#include <cstdint>

struct udev;

int bcl_init(udev *udev);
void bcl_deinit();
void bcl_update_thresholds(int32_t vbat_uv);
bool bcl_platform_enabled();
int32_t bcl_read_in0_min();
int32_t bcl_read_in0_lcrit();
void bcl_read_throttle_accum(char *buffer, size_t size);
int bcl_platform_enable();
int32_t bcl_read_in0_enable();
int bcl_platform_disable();
