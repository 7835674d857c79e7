// SPDX-License-Identifier: MIT
#include "loads_model.hpp"

#include "attribute_text.hpp"

#include <vector>

namespace vh {

namespace {

struct RegulatorInfo {
    const std::string &class_path;
    std::string device;
    std::string name;
};

std::vector<RegulatorInfo> regulators() {
    return {
        {path::backlight_left, "/sys/devices/platform/backlight-left-vreg/regulator/regulator.20",
         "backlight_left"},
        {path::backlight_right, "/sys/devices/platform/backlight-right-vreg/regulator/regulator.21",
         "backlight_right"},
        {path::preboost, device::soc + "/i2c@2/i2c-2/2-0074/regulator/regulator.22", "tps61377"},
    };
}

} // namespace

void LoadsModel::build() {
    for (const auto &r : regulators()) {
        const std::string entry = r.class_path.substr(r.class_path.rfind('/') + 1);
        c_.tree.add_class_device("regulator", r.device, entry);
        c_.fs.add_attr(r.device + "/name", r.name);
        c_.fs.add_attr(r.device + "/state", "disabled");
    }
    c_.tree.add_class_device("leds", device::led, "mp3317-scene-illum-ir");
    c_.fs.add_attr(device::led + "/led_state", "Disable");
    c_.fs.add_attr(device::led + "/brightness", "0");
}

void LoadsModel::set_backlight_left(bool on) {
    c_.fs.set(path::backlight_left + "/state", on ? "enabled" : "disabled");
}

void LoadsModel::set_backlight_right(bool on) {
    c_.fs.set(path::backlight_right + "/state", on ? "enabled" : "disabled");
}

void LoadsModel::set_preboost(bool on) {
    c_.fs.set(path::preboost + "/state", on ? "enabled" : "disabled");
}

void LoadsModel::set_room_tracking(bool on) {
    c_.fs.set(path::room_tracking_led + "/led_state", on ? "Enable" : "Disable");
}

int32_t LoadsModel::load_ua() const {
    int32_t load = 300'000; // the SoC and sensors
    const auto on = [&](const std::string &p, const char *text) {
        return c_.fs.exists(p) && trimmed(c_.fs.value(p)) == text;
    };
    load += on(path::backlight_left + "/state", "enabled") ? 400'000 : 0;
    load += on(path::backlight_right + "/state", "enabled") ? 400'000 : 0;
    load += on(path::preboost + "/state", "enabled") ? 200'000 : 0;
    load += on(path::room_tracking_led + "/led_state", "Enable") ? 300'000 : 0;
    return load;
}

} // namespace vh
