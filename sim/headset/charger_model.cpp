#include "charger_model.hpp"

#include "attribute_text.hpp"
#include "battery_model.hpp"
#include "usb_source_model.hpp"

namespace vh {

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
    c_.fs.on_write(dir + "charging_enable", [this](const std::string &) { update_status(true); });
}

std::string ChargerModel::attr(const std::string &name) const {
    return device::charger + "/" + name;
}

void ChargerModel::source_changed(bool online) {
    std::lock_guard lock(c_.mutex);
    c_.fs.set_silently(attr("online"), flag(online));
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
            c_.tree.set_if_changed(attr("aicl_status"), "1");
        }
    });
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

void ChargerModel::update_status(bool emit_on_change) {
    std::lock_guard lock(c_.mutex);
    std::string status = "Discharging";
    if (usb_.online()) {
        status = !charging_enabled() ? "Not charging" : battery_.full() ? "Full" : "Charging";
    }
    const bool changed = c_.fs.value(attr("status")) != status;
    c_.fs.set_silently(attr("status"), status);
    if (changed && emit_on_change) {
        c_.tree.emit("change", device::charger);
    }
}

void ChargerModel::set_flag(const std::string &name, bool on) {
    std::lock_guard lock(c_.mutex);
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

} // namespace vh
