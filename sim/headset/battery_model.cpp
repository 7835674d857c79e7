// SPDX-License-Identifier: MIT
#include "battery_model.hpp"

#include "attribute_text.hpp"
#include "charger_model.hpp"
#include "hotswap_model.hpp"
#include "loads_model.hpp"
#include "usb_source_model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace vh {

namespace {

// Open-circuit voltage of the cell pair over the state of charge: steep when nearly empty,
// flat in the middle, rising towards the 8.9 V charge voltage when full.
constexpr std::array<std::pair<double, double>, 12> open_circuit_curve{{
    {0.00, 6'600'000},
    {0.05, 7'100'000},
    {0.10, 7'300'000},
    {0.20, 7'440'000},
    {0.30, 7'540'000},
    {0.40, 7'620'000},
    {0.50, 7'720'000},
    {0.60, 7'860'000},
    {0.70, 8'030'000},
    {0.80, 8'240'000},
    {0.90, 8'560'000},
    {1.00, 8'885'000},
}};

// The MAX1720x's averaging filters: time constants of its average current and voltage.
constexpr double current_average_s = 5.625;
constexpr double voltage_average_s = 45.0;

// The cross-charger moves this much between the batteries.
constexpr double cross_charge_ua = 1'000'000;

// An exponential average moved on by seconds towards value.
double averaged(double previous, double value, double seconds, double time_constant_s) {
    return previous + (value - previous) * (1 - std::exp(-seconds / time_constant_s));
}

int32_t rounded(double value) {
    return static_cast<int32_t>(std::lround(value));
}

} // namespace

// ---- one battery ----

double Cell::state_of_charge() const {
    return capacity_uah > 0 ? std::clamp(charge_uah / capacity_uah, 0.0, 1.0) : 0.0;
}

double Cell::open_circuit_uv() const {
    const double soc = state_of_charge();
    for (std::size_t i = 1; i < open_circuit_curve.size(); ++i) {
        const auto [soc_high, uv_high] = open_circuit_curve[i];
        if (soc <= soc_high) {
            const auto [soc_low, uv_low] = open_circuit_curve[i - 1];
            return uv_low + (uv_high - uv_low) * (soc - soc_low) / (soc_high - soc_low);
        }
    }
    return open_circuit_curve.back().second;
}

double Cell::terminal_uv(double current_ua) const {
    return open_circuit_uv() + resistance_ohm * current_ua;
}

void Cell::pass(double current_ua, double seconds) {
    charge_uah = std::clamp(charge_uah + current_ua * seconds / 3600, 0.0, capacity_uah);
}

// ---- the gauges ----

void BatteryModel::build() {
    if (c_.config.internal_gauge) {
        build_gauge(c_.config.internal_gauge_bus, 36, c_.config.internal);
    }
    for (const auto &[bus, address] : c_.config.extra_gauges) {
        build_gauge(bus, address, c_.config.extra);
    }
    internal_.capacity_uah = pack_.capacity_uah = c_.config.battery_capacity_uah;
    internal_.charge_uah = c_.config.internal.capacity * internal_.capacity_uah / 100;
    pack_.charge_uah = c_.config.pack.capacity * pack_.capacity_uah / 100;
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

bool BatteryModel::full() const {
    std::lock_guard lock(c_.mutex);
    return stepped_ && internal_.full();
}

// ---- the model's steps ----

void BatteryModel::start() {
    if (c_.config.battery_model) {
        next_step_ = std::chrono::steady_clock::now() + c_.config.battery_tick;
        c_.scheduler.after(c_.config.battery_tick, [this] { timed_step(); });
    }
}

// Steps keep to their own timetable, so a late step does not slow the battery's clock.
void BatteryModel::timed_step() {
    step(c_.config.battery_step_s);
    next_step_ += c_.config.battery_tick;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        next_step_ - std::chrono::steady_clock::now());
    c_.scheduler.after(std::max(wait, std::chrono::milliseconds(0)), [this] { timed_step(); });
}

void BatteryModel::advance(double seconds) {
    while (seconds > 0) {
        const double now = std::min(seconds, c_.config.battery_step_s);
        step(now);
        seconds -= now;
    }
}

void BatteryModel::step(double seconds) {
    std::lock_guard lock(c_.mutex);
    stepped_ = true;
    // The battery that powers the system carries its load, unless the source does.
    const double system_ua = loads_.load_ua();
    const bool on_pack = hotswap_.system_on_pack();
    PowerFlow flow{-(on_pack ? 0 : system_ua), 0};
    if (usb_.online()) {
        flow = charger_.power_flow(
            {internal_.open_circuit_uv(), Cell::resistance_ohm, internal_.full()},
            on_pack ? 0 : system_ua);
    }
    double internal_ua = flow.battery_ua;
    double pack_ua = on_pack ? -system_ua : 0;
    switch (hotswap_.cross_charge_flow()) {
    case CrossChargeFlow::into_internal:
        internal_ua += cross_charge_ua;
        pack_ua -= cross_charge_ua;
        break;
    case CrossChargeFlow::into_pack:
        internal_ua -= cross_charge_ua;
        pack_ua += cross_charge_ua;
        break;
    case CrossChargeFlow::none:
        break;
    }
    const double battery_uv = internal_.terminal_uv(internal_ua);
    internal_.pass(internal_ua, seconds);
    pack_.pass(pack_ua, seconds);

    write_gauge(internal_gauge(), internal_, internal_ua, seconds);
    if (hotswap_.pack_attached()) {
        write_gauge(path::pack_gauge, pack_, pack_ua, seconds);
    }
    write_adc(battery_uv, flow.battery_ua, flow.input_ua);
    charger_.update_status(true);
}

// The gauge's averages move on from what it shows, so values a test has set are where
// they start.
void BatteryModel::write_gauge(const std::string &dir, const Cell &cell, double current_ua,
                               double seconds) {
    if (!c_.fs.exists(dir + "/capacity")) {
        return;
    }
    const auto shown = [&](const char *name) {
        return c_.fs.exists(dir + "/" + name) ? to_int(c_.fs.value(dir + "/" + name)) : 0;
    };
    const double current_avg =
        averaged(shown("current_avg"), current_ua, seconds, current_average_s);
    const double voltage_avg =
        averaged(shown("voltage_avg"), cell.terminal_uv(current_ua), seconds, voltage_average_s);
    const auto put = [&](const char *name, int32_t value) {
        if (c_.fs.exists(dir + "/" + name)) {
            c_.fs.set_silently(dir + "/" + name, decimal(value));
        }
    };
    put("capacity", rounded(100 * cell.state_of_charge()));
    put("voltage_avg", rounded(voltage_avg));
    put("current_avg", rounded(current_avg));
    put("time_to_empty_avg", current_avg < 0 ? rounded(cell.charge_uah / -current_avg * 3600) : 0);
    put("time_to_full_avg",
        current_avg > 0 ? rounded((cell.capacity_uah - cell.charge_uah) / current_avg * 3600) : 0);
}

void BatteryModel::write_adc(double battery_uv, double charge_ua, double input_ua) {
    const auto put = [&](const std::string &channel, double value) {
        const std::string p = device::adc + "/" + channel;
        if (c_.fs.exists(p)) {
            c_.fs.set_silently(p, decimal(rounded(value)));
        }
    };
    put(adc_channel::vbat, battery_uv);
    put(adc_channel::ichg, charge_ua);
    put(adc_channel::iin, input_ua);
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
    internal_.charge_uah = values.capacity * internal_.capacity_uah / 100;
}

void BatteryModel::set_internal_capacity(int32_t percent) {
    std::lock_guard lock(c_.mutex);
    set_gauge_value(internal_gauge(), "capacity", percent);
    internal_.charge_uah = percent * internal_.capacity_uah / 100;
}

void BatteryModel::set_pack(const GaugeValues &values) {
    std::lock_guard lock(c_.mutex);
    set_all(*this, path::pack_gauge, values);
    pack_.charge_uah = values.capacity * pack_.capacity_uah / 100;
}

void BatteryModel::set_pack_capacity(int32_t percent) {
    std::lock_guard lock(c_.mutex);
    set_gauge_value(path::pack_gauge, "capacity", percent);
    pack_.charge_uah = percent * pack_.capacity_uah / 100;
}

} // namespace vh
