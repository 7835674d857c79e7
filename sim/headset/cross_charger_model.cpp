// SPDX-License-Identifier: MIT
#include "cross_charger_model.hpp"

#include "attribute_text.hpp"
#include "hotswap_model.hpp"

namespace vh {

void CrossChargerModel::build() {
    c_.tree.add_supply(
        {"mp2652-charger", device::mp2652, {}, "Battery", {}},
        {{"status", "Not charging", 0644, "POWER_SUPPLY_STATUS"},
         {"charge_type", "N/A", 0444, "POWER_SUPPLY_CHARGE_TYPE"},
         {"health", "Good", 0444, "POWER_SUPPLY_HEALTH"},
         {"constant_charge_voltage", "8400000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE"},
         {"constant_charge_voltage_max", "8800000", 0444,
          "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE_MAX"},
         {"constant_charge_current", "1000000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT"},
         {"constant_charge_current_max", "3000000", 0444,
          "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT_MAX"},
         {"input_current_limit", "2000000", 0644, "POWER_SUPPLY_INPUT_CURRENT_LIMIT"},
         {"input_voltage_limit", "4600000", 0644, "POWER_SUPPLY_INPUT_VOLTAGE_LIMIT"},
         {"precharge_current", "180000", 0644, "POWER_SUPPLY_PRECHARGE_CURRENT"},
         {"charge_term_current", "200000", 0644, "POWER_SUPPLY_CHARGE_TERM_CURRENT"}});
    last_status_ = "Not charging";
    c_.fs.on_write(device::mp2652 + "/status", [this](const std::string &t) { status_written(t); });
}

void CrossChargerModel::status_written(const std::string &text) {
    std::lock_guard lock(c_.mutex);
    if (!c_.config.auto_mp2652) {
        return;
    }
    const std::string status = trimmed(text);
    const bool changed = last_status_ != status;
    last_status_ = status;
    if (c_.fs.exists(device::mp2652 + "/charge_type")) {
        c_.fs.set_silently(device::mp2652 + "/charge_type", status == "Charging" ? "Fast" : "N/A");
    }
    if (c_.config.auto_hotswap) {
        hotswap_.update_cross_charge();
    }
    if (changed) {
        c_.tree.emit("change", device::mp2652);
    }
}

bool CrossChargerModel::charging() const {
    return c_.fs.exists(device::mp2652 + "/status") &&
           trimmed(c_.fs.value(device::mp2652 + "/status")) == "Charging";
}

void CrossChargerModel::appear() {
    std::lock_guard lock(c_.mutex);
    build();
    c_.tree.prune();
    if (c_.fs.exists(device::mp2652)) {
        // A power supply's registration sends no "add" (the core's uevent callback cannot
        // read the properties yet); the core's deferred change event announces it.
        c_.tree.emit("change", device::mp2652);
    }
}

void CrossChargerModel::vanish() {
    std::lock_guard lock(c_.mutex);
    if (c_.fs.exists(device::mp2652)) {
        c_.tree.remove_device(device::mp2652);
        c_.tree.emit("remove", device::mp2652);
    }
}

bool CrossChargerModel::present() const {
    return c_.fs.exists(path::mp2652);
}

void CrossChargerModel::set_status(const std::string &status) {
    std::lock_guard lock(c_.mutex);
    c_.fs.set_silently(device::mp2652 + "/status", status);
    last_status_ = status;
    c_.tree.emit("change", device::mp2652);
}

} // namespace vh
