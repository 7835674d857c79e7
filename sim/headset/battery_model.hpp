// SPDX-License-Identifier: MIT
// The batteries and their MAX1720x fuel gauges: the internal battery, the pack's battery
// and any further gauges a variant has. While the battery model runs, each battery's charge
// follows the current that flows (coulomb counting against its capacity in µAh): the
// charger's output into the internal battery, the system's load on the battery that powers
// it, the cross-charger between them. The gauges show averaged voltage and current as the
// MAX1720x does, and the ADC shows the internal battery's voltage, charge and input current.
#pragma once

#include "model_context.hpp"

#include <chrono>
#include <cstdint>
#include <string>

namespace vh {

class ChargerModel;
class UsbSourceModel;
class LoadsModel;
class HotswapModel;

// A pair of lithium-ion cells in series: the charge they hold, their open-circuit voltage
// along it, and the internal resistance between that voltage and the terminals.
struct Cell {
    static constexpr double resistance_ohm = 0.15;

    double capacity_uah = 0;
    double charge_uah = 0;

    double state_of_charge() const; // 0 to 1
    double open_circuit_uv() const;
    // The voltage at the terminals while current_ua flows in (negative: out).
    double terminal_uv(double current_ua) const;
    bool full() const { return charge_uah >= capacity_uah; }
    // Counts the charge that current_ua brings in over seconds.
    void pass(double current_ua, double seconds);
};

class BatteryModel {
  public:
    BatteryModel(ModelContext &context, ChargerModel &charger, const UsbSourceModel &usb,
                 const LoadsModel &loads, const HotswapModel &hotswap)
        : c_(context), charger_(charger), usb_(usb), loads_(loads), hotswap_(hotswap) {}

    // The internal gauge and the extra ones, with their configured values.
    void build();
    // A gauge's power supply with its five averaged values.
    void build_gauge(int bus, int address, const GaugeValues &values);
    // Starts the model's steps (only with battery_model on).
    void start();
    // Runs the model over seconds of battery time at once, in steps of battery_step_s.
    void advance(double seconds);

    // The internal battery is charged full (once the model has run).
    bool full() const;

    std::string internal_gauge() const;
    // Story: values as a test sets them; a capacity also moves the battery's charge there.
    // The model goes on from whatever a test has set.
    void set_internal(const GaugeValues &values);
    void set_internal_capacity(int32_t percent);
    void set_pack(const GaugeValues &values);
    void set_pack_capacity(int32_t percent);
    void set_gauge_value(const std::string &gauge_dir, const char *name, int32_t value);
    GaugeValues gauge_values(const std::string &gauge_dir) const;

  private:
    void timed_step();
    void step(double seconds);
    void write_gauge(const std::string &dir, const Cell &cell, double current_ua, double seconds);
    void write_adc(double battery_uv, double charge_ua, double input_ua);

    ModelContext &c_;
    ChargerModel &charger_;
    const UsbSourceModel &usb_;
    const LoadsModel &loads_;
    const HotswapModel &hotswap_;
    Cell internal_;
    Cell pack_;
    bool stepped_ = false;
    std::chrono::steady_clock::time_point next_step_;
};

} // namespace vh
