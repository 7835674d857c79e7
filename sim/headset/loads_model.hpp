// SPDX-License-Identifier: MIT
// The loads that matter for charging: the two display backlight regulators, the TPS61377
// pre-boost regulator and the MP3317 room-tracking LED, and the current they draw.
#pragma once

#include "model_context.hpp"

#include <cstdint>

namespace vh {

class LoadsModel {
  public:
    explicit LoadsModel(ModelContext &context) : c_(context) {}

    void build();

    // Switches as their drivers show it: the regulator's state, the LED's led_state.
    void set_backlight_left(bool on);
    void set_backlight_right(bool on);
    void set_preboost(bool on);
    void set_room_tracking(bool on);

    // What the system draws from its battery or charger: the SoC and sensors, plus the
    // loads that are on.
    int32_t load_ua() const;

  private:
    ModelContext &c_;
};

} // namespace vh
