// SPDX-License-Identifier: MIT
#include "charger_model.hpp"

#include "attribute_text.hpp"
#include "battery_model.hpp"
#include "usb_source_model.hpp"

#include <algorithm>
#include <cmath>

namespace vh {

namespace {

// The buck converter's efficiency from the source to the system and battery.
constexpr double efficiency = 0.9;
// Until an AICL run has measured the source, the charger draws at most this much.
constexpr int32_t start_input_limit_ua = 1'500'000;
// The most input current the charger draws, whatever the source offers.
constexpr int32_t max_input_limit_ua = 3'000'000;
// Without QPH2 the charger does not charge faster than this.
constexpr double max_charge_without_qph2_ua = 1'500'000;
// A charge ends when the current in constant-voltage charging falls below this ...
constexpr double termination_ua = 200'000;
// ... and a new one starts when the battery has sagged this far below the charge voltage.
constexpr double recharge_margin_uv = 200'000;

} // namespace

void ChargerModel::build() {
    c_.tree.add_supply(
        {"pm8550b-charger", device::charger, "charger", "USB", {}},
        {{"online", "0", 0444, "POWER_SUPPLY_ONLINE"},
         {"status", "Discharging", 0444, "POWER_SUPPLY_STATUS"},
         {"constant_charge_voltage", "8900000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE"},
         {"constant_charge_current", "1000000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT"},
         {"termination_enable", "1", 0644, {}},
         {"charging_pause", "0", 0644, {}},
         {"charging_enable", "1", 0644, {}},
         {"aicl_enable", "1", 0644, {}},
         {"aicl_rerun", "0", 0644, {}},
         {"qph2_allow", "0", 0644, {}},
         {"qph2_resume", "0", 0644, {}},
         {"qph2", "0", 0444, {}},
         {"aicl_status", "0", 0444, {}}});
    last_limits_["constant_charge_voltage"] = "8900000";
    last_limits_["constant_charge_current"] = "1000000";
    const std::string dir = device::charger + "/";
    c_.fs.on_write(dir + "aicl_rerun", [this](const std::string &t) { aicl_rerun_written(t); });
    c_.fs.on_write(dir + "aicl_enable", [this](const std::string &t) { aicl_enable_written(t); });
    c_.fs.on_write(dir + "qph2_allow", [this](const std::string &t) { qph2_allow_written(t); });
    c_.fs.on_write(dir + "qph2_resume", [this](const std::string &t) { qph2_resume_written(t); });
    for (const std::string limit : {"constant_charge_voltage", "constant_charge_current"}) {
        c_.fs.on_write(dir + limit,
                       [this, limit](const std::string &t) { limit_written(limit, t); });
    }
    c_.fs.on_write(dir + "charging_enable",
                   [this](const std::string &) { charging_enable_written(); });
    c_.fs.on_write(dir + "termination_enable",
                   [this](const std::string &t) { termination_written(t); });
}

std::string ChargerModel::attr(const std::string &name) const {
    return device::charger + "/" + name;
}

void ChargerModel::source_changed(bool online) {
    std::lock_guard lock(c_.mutex);
    c_.fs.set_silently(attr("online"), flag(online));
    input_limit_ua_ = online ? std::min(usb_.current_ua(), start_input_limit_ua) : 0;
    terminated_ = false;
    if (!online) {
        ++source_sessions_;
        c_.tree.set_if_changed(attr("aicl_status"), "0");
    }
    check_qph2_source();
    update_status(false);
}

void ChargerModel::aicl_rerun_written(const std::string &text) {
    if (!c_.config.auto_aicl || !is_on(text)) {
        return;
    }
    uint64_t session = 0;
    {
        std::lock_guard lock(c_.mutex);
        session = source_sessions_;
    }
    c_.scheduler.after(c_.config.aicl_delay, [this, session] {
        std::lock_guard lock(c_.mutex);
        // An AICL run needs input power to measure, from the source it started with.
        if (usb_.online() && session == source_sessions_) {
            complete_aicl();
        }
    });
}

// AICL raises the input current until the source's voltage gives way: the source's own
// limit, or the charger's maximum.
void ChargerModel::complete_aicl() {
    input_limit_ua_ = std::min(usb_.current_ua(), max_input_limit_ua);
    c_.tree.set_if_changed(attr("aicl_status"), "1");
}

void ChargerModel::aicl_enable_written(const std::string &text) {
    std::lock_guard lock(c_.mutex);
    if (c_.config.auto_aicl && !is_on(text)) {
        c_.tree.set_if_changed(attr("aicl_status"), "0");
    }
}

void ChargerModel::qph2_allow_written(const std::string &text) {
    std::lock_guard lock(c_.mutex);
    if (c_.config.auto_qph2 && !is_on(text)) {
        c_.tree.set_if_changed(attr("qph2"), "0");
    }
}

void ChargerModel::qph2_resume_written(const std::string &text) {
    std::lock_guard lock(c_.mutex);
    if (c_.config.auto_qph2 && is_on(text) && is_on(c_.fs.value(attr("qph2_allow"))) &&
        usb_.online() && usb_.voltage_uv() >= 9'000'000) {
        c_.tree.set_if_changed(attr("qph2"), "1");
    }
}

// QPH2 needs a source of 9 V or more; the charger drops out of it otherwise.
void ChargerModel::check_qph2_source() {
    if (c_.config.auto_qph2 && (!usb_.online() || usb_.voltage_uv() < 9'000'000)) {
        c_.tree.set_if_changed(attr("qph2"), "0");
    }
}

void ChargerModel::limit_written(const std::string &limit, const std::string &text) {
    std::lock_guard lock(c_.mutex);
    const bool changed = last_limits_[limit] != text;
    last_limits_[limit] = text;
    if (changed && c_.config.charger_limit_events) {
        c_.tree.emit("change", device::charger);
    }
}

void ChargerModel::termination_written(const std::string &text) {
    std::lock_guard lock(c_.mutex);
    if (!is_on(text) && terminated_) {
        terminated_ = false;
        update_status(true);
    }
}

// Writing charging_enable starts a new charge, as toggling the charger's enable does.
void ChargerModel::charging_enable_written() {
    std::lock_guard lock(c_.mutex);
    terminated_ = false;
    update_status(true);
}

bool ChargerModel::terminated() const {
    return terminated_ && is_on(c_.fs.value(attr("termination_enable")));
}

PowerFlow ChargerModel::power_flow(const BatteryTerminal &battery, double system_ua) {
    std::lock_guard lock(c_.mutex);
    const double ocv = battery.open_circuit_uv;
    const double r = battery.resistance_ohm;
    if (terminated_ && ocv < constant_charge_voltage_uv() - recharge_margin_uv) {
        terminated_ = false;
    }
    // The system bus sits at the battery's terminal voltage, ocv + r * i. The battery
    // current that uses the whole input power p solves (ocv + r * i) * (i + system) = p.
    const double vin_uv = usb_.voltage_uv();
    const double available_uw = efficiency * vin_uv * input_limit_ua_ * 1e-6;
    const double b = ocv + r * system_ua;
    const double within_power_ua =
        (-b + std::sqrt(std::max(0.0, b * b - 4 * r * (ocv * system_ua - available_uw * 1e6)))) /
        (2 * r);
    const bool may_charge = charging_enabled() && !terminated() && !battery.full;
    double battery_ua = std::min(0.0, within_power_ua);
    bool constant_voltage = false;
    if (may_charge) {
        double current_limit_ua = constant_charge_current_ua();
        if (!qph2()) {
            current_limit_ua = std::min(current_limit_ua, max_charge_without_qph2_ua);
        }
        const double constant_voltage_ua = (constant_charge_voltage_uv() - ocv) / r;
        const double charge_ua = std::max(0.0, std::min(current_limit_ua, constant_voltage_ua));
        battery_ua = std::min(charge_ua, within_power_ua);
        constant_voltage =
            constant_voltage_ua <= current_limit_ua && constant_voltage_ua <= within_power_ua;
    }
    if (constant_voltage && battery_ua < termination_ua &&
        is_on(c_.fs.value(attr("termination_enable")))) {
        terminated_ = true;
        battery_ua = std::min(0.0, within_power_ua);
    }
    const double bus_uv = ocv + r * battery_ua;
    const double output_uw = bus_uv * (battery_ua + system_ua) * 1e-6;
    const double input_ua = vin_uv > 0 ? output_uw / efficiency / vin_uv * 1e6 : 0;
    return {battery_ua, std::clamp(input_ua, 0.0, static_cast<double>(input_limit_ua_))};
}

void ChargerModel::update_status(bool emit_on_change) {
    std::lock_guard lock(c_.mutex);
    std::string status = "Discharging";
    if (usb_.online()) {
        status = !charging_enabled()               ? "Not charging"
                 : terminated() || battery_.full() ? "Full"
                                                   : "Charging";
    }
    const bool changed = c_.fs.value(attr("status")) != status;
    c_.fs.set_silently(attr("status"), status);
    if (changed && emit_on_change) {
        c_.tree.emit("change", device::charger);
    }
}

void ChargerModel::set_flag(const std::string &name, bool on) {
    std::lock_guard lock(c_.mutex);
    if (name == "aicl_status" && on && usb_.online()) {
        complete_aicl();
        return;
    }
    c_.tree.set_if_changed(attr(name), flag(on));
}

void ChargerModel::set_status(const std::string &status) {
    std::lock_guard lock(c_.mutex);
    c_.fs.set_silently(attr("status"), status);
    c_.tree.emit("change", device::charger);
}

bool ChargerModel::qph2() const {
    return is_on(c_.fs.value(attr("qph2")));
}

bool ChargerModel::aicl_complete() const {
    return is_on(c_.fs.value(attr("aicl_status")));
}

bool ChargerModel::charging_enabled() const {
    return is_on(c_.fs.value(attr("charging_enable")));
}

int32_t ChargerModel::constant_charge_voltage_uv() const {
    return to_int(c_.fs.value(attr("constant_charge_voltage")));
}

int32_t ChargerModel::constant_charge_current_ua() const {
    return to_int(c_.fs.value(attr("constant_charge_current")));
}

int32_t ChargerModel::input_current_limit_ua() const {
    std::lock_guard lock(c_.mutex);
    return input_limit_ua_;
}

} // namespace vh
