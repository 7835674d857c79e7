// SPDX-License-Identifier: MIT
#include "device_layout.hpp"

#include "attribute_text.hpp"

#include <algorithm>
#include <stdexcept>

namespace vh {

namespace {

std::string two_digits(int number) {
    return (number < 10 ? "0" : "") + std::to_string(number);
}

} // namespace

std::string device::gauge_name(int bus, int address) {
    return "max1720x_bat_" + std::to_string(bus) + "-" + two_digits(address);
}

std::string device::gauge(int bus, int address) {
    const std::string b = std::to_string(bus);
    return soc + "/i2c@" + b + "/i2c-" + b + "/" + b + "-00" + two_digits(address) +
           "/power_supply/" + gauge_name(bus, address);
}

std::string path::gauge(int bus, int address) {
    return power_supply + "/" + device::gauge_name(bus, address);
}

// ---- tree building ----

void DeviceTree::build_skeleton() {
    fs_.add_dir("/sys/class/power_supply");
    fs_.add_dir("/sys/class/regulator");
    fs_.add_dir("/sys/class/leds");
    fs_.add_dir("/sys/class/hwmon");
    fs_.add_dir("/sys/bus/iio/devices");
    fs_.add_dir("/sys/bus/platform/devices");
    fs_.add_dir("/sys/kernel/debug");
}

void DeviceTree::build_adc(int32_t vbat_uv) {
    add_bus_device("iio", device::adc, "iio:device0", "DEVTYPE=iio_device\nOF_NAME=vadc");
    fs_.add_attr(device::adc + "/name", "c400000.spmi:pmic@0:vadc@9000");
    fs_.add_attr(device::adc + "/" + adc_channel::vbat, decimal(vbat_uv));
    fs_.add_attr(device::adc + "/" + adc_channel::vusb, "0");
    fs_.add_attr(device::adc + "/" + adc_channel::ichg, "0");
    fs_.add_attr(device::adc + "/" + adc_channel::iin, "0");
}

void DeviceTree::build_bcl() {
    add_bus_device("platform", device::bcl, "c400000.spmi:pmic@1:sensor@4700", "OF_NAME=sensor");
    fs_.add_attr(device::bcl + "/bcl_enable", "0");
    add_class_device("hwmon", device::hwmon, "hwmon2");
    fs_.add_attr(device::hwmon + "/name", "c400000.spmi:pmic@1:sensor@4700");
    fs_.add_attr(device::hwmon + "/in0_enable", "1");
    fs_.add_attr(device::hwmon + "/in0_min", "2800");
    fs_.add_attr(device::hwmon + "/in0_lcrit", "2600");
    fs_.add_attr(path::bcl_throttle_accum, config_.throttle_accum, 0444);
}

void DeviceTree::add_device(const std::string &device, const std::string &subsystem_dir,
                            const std::string &uevent) {
    fs_.add_dir(device);
    fs_.add_symlink(device + "/subsystem", subsystem_dir);
    fs_.add_attr(device + "/uevent", uevent);
}

void DeviceTree::add_class_device(const std::string &class_name, const std::string &device,
                                  const std::string &entry_name, const std::string &uevent) {
    add_device(device, "/sys/class/" + class_name, uevent);
    fs_.add_symlink("/sys/class/" + class_name + "/" + entry_name, device);
}

void DeviceTree::add_bus_device(const std::string &bus, const std::string &device,
                                const std::string &entry_name, const std::string &uevent) {
    add_device(device, "/sys/bus/" + bus, uevent);
    fs_.add_symlink("/sys/bus/" + bus + "/devices/" + entry_name, device);
}

void DeviceTree::add_supply(const Supply &supply_template,
                            const std::vector<Attribute> &attributes) {
    Supply supply = supply_template;
    add_class_device("power_supply", supply.device, supply.name);
    for (const Attribute &a : attributes) {
        fs_.add_attr(supply.device + "/" + a.name, a.value, a.mode);
        if (!a.property.empty()) {
            supply.properties.emplace_back(a.property, a.name);
        }
    }
    {
        std::lock_guard lock(supplies_mutex_);
        std::erase_if(supplies_, [&](const Supply &s) { return s.name == supply.name; });
        supplies_.push_back(supply);
    }
    const std::string device = supply.device;
    fs_.on_read(device + "/uevent", [this, device] { return uevent_text(device); });
    fs_.on_write(device + "/uevent",
                 [this, device](const std::string &text) { uevent_written(device, text); });
    if (kernel_ != nullptr) {
        kernel_->bind(device);
    }
}

void DeviceTree::remove_device(const std::string &device) {
    if (kernel_ != nullptr) {
        kernel_->unbind(device);
    }
    if (fs_.exists(device)) {
        fs_.remove(device);
    }
    remove_dangling_entries();
}

// Class and bus entries whose device has gone.
void DeviceTree::remove_dangling_entries() {
    std::vector<std::string> entry_dirs;
    if (fs_.exists("/sys/class")) {
        for (const auto &c : fs_.list("/sys/class")) {
            entry_dirs.push_back("/sys/class/" + c);
        }
    }
    if (fs_.exists("/sys/bus")) {
        for (const auto &b : fs_.list("/sys/bus")) {
            if (fs_.exists("/sys/bus/" + b + "/devices")) {
                entry_dirs.push_back("/sys/bus/" + b + "/devices");
            }
        }
    }
    for (const auto &dir : entry_dirs) {
        for (const auto &name : fs_.list(dir)) {
            const std::string entry = dir + "/" + name;
            if (fs_.is_symlink(entry) && !fs_.exists(entry)) {
                fs_.remove(entry);
            }
        }
    }
}

void DeviceTree::prune() {
    for (const auto &omitted : config_.omit) {
        if (!fs_.exists(omitted) && !fs_.is_symlink(omitted)) {
            continue;
        }
        const std::string target = fs_.canonical(omitted);
        if (kernel_ != nullptr && !target.empty()) {
            kernel_->unbind(target);
        }
        fs_.remove(omitted);
        if (!target.empty() && target != omitted && fs_.exists(target)) {
            fs_.remove(target); // a class entry names its whole device
        }
    }
    remove_dangling_entries();
}

// ---- power supply properties and events ----

std::optional<DeviceTree::Supply> DeviceTree::supply_at(const std::string &dir) const {
    const std::string canonical = fs_.canonical(dir);
    std::lock_guard lock(supplies_mutex_);
    for (const auto &s : supplies_) {
        if (s.device == canonical || s.device == dir) {
            return s;
        }
    }
    return std::nullopt;
}

Properties DeviceTree::properties_of(const std::string &dir) const {
    const std::optional<Supply> supply = supply_at(dir);
    if (!supply) {
        throw std::invalid_argument("virtual headset: no power supply at \"" + dir + "\"");
    }
    Properties properties{{"DEVTYPE", "power_supply"}};
    if (!supply->of_name.empty()) {
        properties.emplace_back("OF_NAME", supply->of_name);
    }
    properties.emplace_back("POWER_SUPPLY_NAME", supply->name);
    properties.emplace_back("POWER_SUPPLY_TYPE", supply->type);
    for (const auto &[property, attribute] : supply->properties) {
        const std::string attribute_path = supply->device + "/" + attribute;
        if (fs_.exists(attribute_path)) { // an omitted attribute drops its property
            properties.emplace_back(property, trimmed(fs_.value(attribute_path)));
        }
    }
    return properties;
}

std::string DeviceTree::uevent_text(const std::string &device) const {
    std::string text;
    for (const auto &[key, value] : properties_of(device)) {
        text += key + "=" + value + "\n";
    }
    return text;
}

void DeviceTree::emit(const std::string &action, const std::string &device) {
    if (action != "remove" && !fs_.exists(device)) {
        return; // an omitted device sends nothing
    }
    const std::string canonical = fs_.canonical(device).empty() ? device : fs_.canonical(device);
    if (kernel_ != nullptr) {
        // A device's "add" and "remove" came with its driver's bind and unbind.
        if (action == "change") {
            kernel_->change(canonical);
        }
        return;
    }
    Properties properties = action == "remove" ? Properties{} : properties_of(device);
    if (action == "remove") {
        if (auto supply = supply_at(device)) {
            properties = {{"DEVTYPE", "power_supply"}, {"POWER_SUPPLY_NAME", supply->name}};
        }
    }
    events_.send(action, canonical.substr(4), "power_supply", properties); // without "/sys"
}

// The kernel answers an action written into uevent with that event (synthetic uevent).
void DeviceTree::uevent_written(const std::string &device, const std::string &text) {
    const std::string action = trimmed(text);
    static const std::vector<std::string> actions{"add",    "remove",  "change", "move",
                                                  "online", "offline", "bind",   "unbind"};
    if (std::find(actions.begin(), actions.end(), action) != actions.end()) {
        emit(action, device);
    }
}

bool DeviceTree::set_if_changed(const std::string &path, const std::string &value) {
    if (!fs_.exists(path) || fs_.value(path) == value) {
        return false;
    }
    fs_.set(path, value);
    return true;
}

} // namespace vh
