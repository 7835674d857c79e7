#include "battery_model.hpp"

#include "attribute_text.hpp"
#include "charger_model.hpp"
#include "hotswap_model.hpp"
#include "loads_model.hpp"
#include "usb_source_model.hpp"

#include <algorithm>
#include <cmath>

namespace vh {

void BatteryModel::build() {
    if (c_.config.internal_gauge) {
        build_gauge(c_.config.internal_gauge_bus, 36, c_.config.internal);
    }
    for (const auto &[bus, address] : c_.config.extra_gauges) {
        build_gauge(bus, address, c_.config.extra);
    }
    internal_charge_uah_ = c_.config.internal.capacity * capacity_uah / 100;
    pack_charge_uah_ = c_.config.pack.capacity * capacity_uah / 100;
}

void BatteryModel::build_gauge(int bus, int address, const GaugeValues &values) {
    c_.tree.add_supply(
        {device::gauge_name(bus, address), device::gauge(bus, address), {}, "Battery", {}},
        {{"capacity", decimal(values.capacity), 0444, "POWER_SUPPLY_CAPACITY"},
         {"voltage_avg", decimal(values.voltage_avg_uv), 0444, "POWER_SUPPLY_VOLTAGE_AVG"},
         {"current_avg", decimal(values.current_avg_ua), 0444, "POWER_SUPPLY_CURRENT_AVG"},
         {"time_to_empty_avg", decimal(values.time_to_empty_avg_s), 0444,
          "POWER_SUPPLY_TIME_TO_EMPTY_AVG"},
         {"time_to_full_avg", decimal(values.time_to_full_avg_s), 0444,
          "POWER_SUPPLY_TIME_TO_FULL_AVG"}});
}

void BatteryModel::start() {
    if (c_.config.battery_model) {
        c_.scheduler.after(c_.config.battery_tick, [this] { step(); });
    }
}

bool BatteryModel::full() const {
    return internal_charge_uah_ >= capacity_uah && c_.config.battery_model;
}

// ---- the model ----

// The current the charger pushes into the battery: its limit, or what the source can
// deliver at the battery's voltage, whichever is lower.
int32_t BatteryModel::charge_ua(int32_t battery_uv) const {
    if (!usb_.online() || !charger_.charging_enabled() || internal_charge_uah_ >= capacity_uah) {
        return 0;
    }
    const double source_w = usb_.voltage_uv() * 1e-6 * usb_.current_ua() * 1e-6;
    const double source_limit_ua = 0.9 * source_w / (battery_uv * 1e-6) * 1e6;
    int32_t limit_ua = charger_.constant_charge_current_ua();
    if (!charger_.qph2()) {
        limit_ua = std::min(limit_ua, 1'500'000); // without QPH2 the charger stays slow
    }
    return static_cast<int32_t>(std::min<double>(limit_ua, source_limit_ua));
}

int32_t BatteryModel::voltage_for(double charge_uah) {
    return static_cast<int32_t>(6'800'000 +
                                1'600'000 * std::clamp(charge_uah / capacity_uah, 0.0, 1.0));
}

void BatteryModel::step() {
    std::lock_guard lock(c_.mutex);
    const double hours = c_.config.battery_step_s / 3600.0;
    const int32_t battery_uv = voltage_for(internal_charge_uah_);
    const int32_t charging_ua = charge_ua(battery_uv);
    const bool on_pack = hotswap_.system_on_pack();
    const int32_t load = loads_.load_ua();
    int32_t internal_net_ua = charging_ua - (on_pack ? 0 : load);
    int32_t pack_net_ua = on_pack ? -load : 0;
    constexpr int32_t cross_ua = 1'000'000;
    switch (hotswap_.cross_charge_flow()) {
    case CrossChargeFlow::into_internal:
        internal_net_ua += cross_ua;
        pack_net_ua -= cross_ua;
        break;
    case CrossChargeFlow::into_pack:
        internal_net_ua -= cross_ua;
        pack_net_ua += cross_ua;
        break;
    case CrossChargeFlow::none:
        break;
    }
    internal_charge_uah_ =
        std::clamp(internal_charge_uah_ + internal_net_ua * hours, 0.0, capacity_uah);
    pack_charge_uah_ = std::clamp(pack_charge_uah_ + pack_net_ua * hours, 0.0, capacity_uah);

    write_gauge(internal_gauge(), internal_charge_uah_, internal_net_ua);
    if (hotswap_.pack_attached()) {
        write_gauge(path::pack_gauge, pack_charge_uah_, pack_net_ua);
    }
    write_adc(voltage_for(internal_charge_uah_), charging_ua);
    charger_.update_status(true);
    c_.scheduler.after(c_.config.battery_tick, [this] { step(); });
}

void BatteryModel::write_gauge(const std::string &dir, double charge_uah, int32_t net_ua) {
    if (!c_.fs.exists(dir + "/capacity")) {
        return;
    }
    const auto put = [&](const char *name, int32_t value) {
        if (c_.fs.exists(dir + "/" + name)) {
            c_.fs.set_silently(dir + "/" + name, decimal(value));
        }
    };
    put("capacity", static_cast<int32_t>(std::lround(100 * charge_uah / capacity_uah)));
    put("voltage_avg", voltage_for(charge_uah));
    put("current_avg", net_ua);
    put("time_to_empty_avg", net_ua < 0 ? static_cast<int32_t>(charge_uah / -net_ua * 3600) : 0);
    put("time_to_full_avg",
        net_ua > 0 ? static_cast<int32_t>((capacity_uah - charge_uah) / net_ua * 3600) : 0);
}

void BatteryModel::write_adc(int32_t battery_uv, int32_t charging_ua) {
    const auto put = [&](const std::string &channel, int32_t value) {
        const std::string p = device::adc + "/" + channel;
        if (c_.fs.exists(p)) {
            c_.fs.set_silently(p, decimal(value));
        }
    };
    put(adc_channel::vbat, battery_uv);
    put(adc_channel::ichg, charging_ua);
    const int32_t vusb = usb_.online() ? usb_.voltage_uv() : 0;
    put(adc_channel::iin,
        vusb > 0 ? static_cast<int32_t>(static_cast<double>(charging_ua) * battery_uv / vusb / 0.9)
                 : 0);
}

// ---- story ----

std::string BatteryModel::internal_gauge() const {
    return path::gauge(c_.config.internal_gauge_bus, 36);
}

void BatteryModel::set_gauge_value(const std::string &gauge_dir, const char *name, int32_t value) {
    c_.fs.set_silently(gauge_dir + "/" + name, decimal(value));
}

GaugeValues BatteryModel::gauge_values(const std::string &gauge_dir) const {
    const auto get = [&](const char *name) { return to_int(c_.fs.value(gauge_dir + "/" + name)); };
    return {get("capacity"), get("voltage_avg"), get("current_avg"), get("time_to_empty_avg"),
            get("time_to_full_avg")};
}

namespace {
void set_all(BatteryModel &model, const std::string &dir, const GaugeValues &v) {
    model.set_gauge_value(dir, "capacity", v.capacity);
    model.set_gauge_value(dir, "voltage_avg", v.voltage_avg_uv);
    model.set_gauge_value(dir, "current_avg", v.current_avg_ua);
    model.set_gauge_value(dir, "time_to_empty_avg", v.time_to_empty_avg_s);
    model.set_gauge_value(dir, "time_to_full_avg", v.time_to_full_avg_s);
}
} // namespace

void BatteryModel::set_internal(const GaugeValues &values) {
    std::lock_guard lock(c_.mutex);
    set_all(*this, internal_gauge(), values);
    internal_charge_uah_ = values.capacity * capacity_uah / 100;
}

void BatteryModel::set_internal_capacity(int32_t percent) {
    std::lock_guard lock(c_.mutex);
    set_gauge_value(internal_gauge(), "capacity", percent);
    internal_charge_uah_ = percent * capacity_uah / 100;
}

void BatteryModel::set_pack(const GaugeValues &values) {
    std::lock_guard lock(c_.mutex);
    set_all(*this, path::pack_gauge, values);
    pack_charge_uah_ = values.capacity * capacity_uah / 100;
}

void BatteryModel::set_pack_capacity(int32_t percent) {
    std::lock_guard lock(c_.mutex);
    set_gauge_value(path::pack_gauge, "capacity", percent);
    pack_charge_uah_ = percent * capacity_uah / 100;
}

} // namespace vh
