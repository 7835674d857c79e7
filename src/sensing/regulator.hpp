// SPDX-License-Identifier: MIT
// Load watchers: the backlights, the pre-boost regulator and the room-tracking LED, kept as
// the load mask. Any set bit means a load that matters for charging is on.
#pragma once

#include <cstdint>

struct udev;

constexpr uint8_t LOAD_ROOM_TRACKING = 0x1;
constexpr uint8_t LOAD_PREBOOST = 0x2;
constexpr uint8_t LOAD_BACKLIGHT_LEFT = 0x4;
constexpr uint8_t LOAD_BACKLIGHT_RIGHT = 0x8;

int regulator_init(udev *udev, int epoll_fd);
void regulator_deinit();
uint8_t regulator_get_load();
// Looks at the four files: a consumer whose driver went away is reported once and looked
// up again until it returns; its state is then read and watched again.
void regulator_check_files();

bool regulator_left_backlight_changed();
bool regulator_right_backlight_changed();
bool regulator_preboost_changed();
bool regulator_room_tracking_changed();
