// SPDX-License-Identifier: MIT
#include "hotswap_model.hpp"

#include "headset.hpp"

#include "attribute_text.hpp"
#include "battery_model.hpp"
#include "cross_charger_model.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

namespace vh {

namespace {

// The controller's notified attributes.
const std::vector<std::string> watched_names = {
    "realtime_pack_connected",
    "internal_voltage_ok",
    "removable_voltage_ok",
    "realtime_cross_chg_vint_from_vrem",
    "realtime_cross_chg_vrem_from_vint",
    "internal_active",
    "removable_active",
    "interrupt_vint_not_valid",
    "realtime_hw_batt_control",
    "realtime_use_int_batt",
    "interrupt_charger_fault",
    "interrupt_pack_installed",
    "interrupt_pack_removed",
};
const std::vector<std::string> interrupts = {"interrupt_vint_not_valid", "interrupt_charger_fault",
                                             "interrupt_pack_installed", "interrupt_pack_removed"};

} // namespace

void HotswapModel::build() {
    std::vector<DeviceTree::Attribute> attributes{
        {"status", "Discharging", 0444, "POWER_SUPPLY_STATUS"}};
    for (const auto &name : watched_names) {
        attributes.push_back({name, "0", 0444, {}});
    }
    attributes.push_back({"interrupt_clear", "0", 0200, {}});
    attributes.push_back({"enable_cross_charger", "0", 0644, {}});
    attributes.push_back({"charge_from_int", "0", 0644, {}});
    attributes.push_back({"use_internal_battery", "1", 0644, {}});
    c_.tree.add_supply({"pellgrave-hotswap",
                        device::hotswap,
                        {},
                        "Battery",
                        {{"POWER_SUPPLY_PRESENT", "realtime_pack_connected"}}},
                       attributes);
    for (const auto &[name, value] :
         std::vector<std::pair<std::string, std::string>>{{"internal_voltage_ok", "1"},
                                                          {"internal_active", "1"},
                                                          {"realtime_use_int_batt", "1"}}) {
        c_.fs.set_silently(attr(name), value);
    }
    for (const std::string command :
         {"use_internal_battery", "enable_cross_charger", "charge_from_int", "interrupt_clear"}) {
        c_.fs.on_write(attr(command),
                       [this, command](const std::string &t) { command_written(command, t); });
    }
}

std::string HotswapModel::attr(const std::string &name) const {
    return device::hotswap + "/" + name;
}

void HotswapModel::command_written(const std::string &command, const std::string &text) {
    std::lock_guard lock(c_.mutex);
    if (!c_.config.auto_hotswap) {
        return;
    }
    if (command == "use_internal_battery") {
        select_power_source(is_on(text) || !pack_attached_);
        c_.tree.set_if_changed(attr("realtime_use_int_batt"), flag(is_on(text)));
    } else if (command == "interrupt_clear" && is_on(text)) {
        for (const auto &name : interrupts) {
            c_.tree.set_if_changed(attr(name), "0");
        }
    } else {
        update_cross_charge();
    }
}

void HotswapModel::select_power_source(bool internal) {
    c_.tree.set_if_changed(attr("internal_active"), flag(internal));
    c_.tree.set_if_changed(attr("removable_active"), flag(!internal));
}

// Charge flows while the controller routes it and the MP2652 charges: from the battery
// that powers the system into the other one.
void HotswapModel::update_cross_charge() {
    if (!c_.fs.exists(device::hotswap)) {
        return;
    }
    const bool flowing = pack_attached_ && is_on(c_.fs.value(attr("enable_cross_charger"))) &&
                         cross_charger_.charging();
    const bool from_internal = is_on(c_.fs.value(attr("charge_from_int")));
    c_.tree.set_if_changed(attr("realtime_cross_chg_vrem_from_vint"),
                           flag(flowing && from_internal));
    c_.tree.set_if_changed(attr("realtime_cross_chg_vint_from_vrem"),
                           flag(flowing && !from_internal));
}

bool HotswapModel::pack_attached() const {
    std::lock_guard lock(c_.mutex);
    return pack_attached_;
}

bool HotswapModel::system_on_pack() const {
    return pack_attached_ && is_on(c_.fs.value(attr("removable_active")));
}

CrossChargeFlow HotswapModel::cross_charge_flow() const {
    if (!pack_attached_ || !c_.fs.exists(device::hotswap)) {
        return CrossChargeFlow::none;
    }
    if (is_on(c_.fs.value(attr("realtime_cross_chg_vint_from_vrem")))) {
        return CrossChargeFlow::into_internal;
    }
    if (is_on(c_.fs.value(attr("realtime_cross_chg_vrem_from_vint")))) {
        return CrossChargeFlow::into_pack;
    }
    return CrossChargeFlow::none;
}

// ---- the pack ----

void HotswapModel::create_pack_devices(bool with_events) {
    battery_.build_gauge(7, 76, c_.config.pack);
    c_.tree.prune();
    if (with_events && c_.fs.exists(device::gauge(7, 76))) {
        c_.tree.emit("change", device::gauge(7, 76)); // the core's event after registration
    }
    if (c_.config.mp2652_with_pack) {
        cross_charger_.build();
        c_.tree.prune();
    }
}

void HotswapModel::set_pack_connected_state(bool connected, bool notify) {
    const auto store = [&](const std::string &name, bool on) {
        if (notify) {
            c_.tree.set_if_changed(attr(name), flag(on));
        } else {
            c_.fs.set_silently(attr(name), flag(on));
        }
    };
    pack_attached_ = connected;
    store("realtime_pack_connected", connected);
    store("removable_voltage_ok", connected);
    store(connected ? "interrupt_pack_installed" : "interrupt_pack_removed", true);
    if (!connected) {
        store("internal_active", true);
        store("removable_active", false);
        store("realtime_cross_chg_vint_from_vrem", false);
        store("realtime_cross_chg_vrem_from_vint", false);
    }
}

void HotswapModel::connect_at_boot() {
    create_pack_devices(false);
    set_pack_connected_state(true, false);
}

void HotswapModel::attach_pack() {
    std::lock_guard lock(c_.mutex);
    if (pack_attached_ || !c_.fs.exists(device::hotswap)) {
        throw std::logic_error(pack_attached_
                                   ? "virtual headset: the pack is already attached"
                                   : "virtual headset: no headstrap to attach a pack to");
    }
    create_pack_devices(true);
    set_pack_connected_state(true, true);
    c_.tree.emit("change", device::hotswap);
}

void HotswapModel::detach_pack() {
    std::lock_guard lock(c_.mutex);
    if (!pack_attached_) {
        throw std::logic_error("virtual headset: no pack attached");
    }
    set_pack_connected_state(false, true);
    c_.tree.emit("change", device::hotswap);
    c_.tree.remove_device(device::mp2652);
    const std::string gauge = device::gauge(7, 76);
    const bool had_gauge = c_.fs.exists(gauge);
    c_.tree.remove_device(gauge);
    if (had_gauge) {
        c_.tree.emit("remove", gauge);
    }
}

// ---- story ----

void HotswapModel::set(const std::string &attribute, bool on) {
    std::lock_guard lock(c_.mutex);
    c_.fs.set(attr(attribute), flag(on));
}

bool HotswapModel::get(const std::string &attribute) const {
    return is_on(c_.fs.value(attr(attribute)));
}

const std::vector<std::string> &Headset::Hotswap::watched_attributes() {
    return watched_names;
}

} // namespace vh
