// SPDX-License-Identifier: MIT
// The PMIC's battery current limiter: thresholds that follow the battery voltage.
#pragma once

#include <cstddef>
#include <cstdint>

struct udev;

int bcl_init(udev *udev);
void bcl_deinit();
// Looks at the limiter's three files: a limiter whose driver went away is reported once and
// looked up again until it returns, when its enable settings are made again.
void bcl_check_files();
void bcl_update_thresholds(int32_t vbat_uv);
bool bcl_platform_enabled();
int32_t bcl_read_in0_min();
int32_t bcl_read_in0_lcrit();
void bcl_read_throttle_accum(char *buffer, size_t size);
int bcl_platform_enable();
int32_t bcl_read_in0_enable();
int bcl_platform_disable();

// Decisions of bcl_update_thresholds, free of I/O.
// Battery voltages acted on, both ends included.
constexpr int32_t BCL_VBAT_MIN_UV = 6000000;
constexpr int32_t BCL_VBAT_MAX_UV = 9000000;
constexpr int32_t BCL_L0_MIN_MV = 2800;
constexpr int32_t BCL_L1_MIN_MV = 2600;
constexpr int32_t BCL_LEVEL_MAX_MV = 3600;
// The margin in mV from an environment variable's text; 800 when it is not set. A number
// beyond 32 bits keeps its low 32 bits, the value the margin line shows.
int32_t bcl_margin_mv(const char *env_text);
// base - margin within [lowest_mv, BCL_LEVEL_MAX_MV], base being half the battery voltage
// in mV. Any 64-bit margin is accepted.
int32_t bcl_threshold_mv(int32_t vbat_uv, int64_t margin_mv, int32_t lowest_mv);
