// The batteries and their MAX1720x fuel gauges: the internal battery, the pack's battery
// and any further gauges a variant has. While the battery model runs, the charge moves with
// the charger, the loads and the cross-charger, and the gauges and the ADC's battery
// channels follow it.
#pragma once

#include "model_context.hpp"

#include <cstdint>
#include <string>

namespace vh {

class ChargerModel;
class UsbSourceModel;
class LoadsModel;
class HotswapModel;

class BatteryModel {
  public:
    BatteryModel(ModelContext &context, ChargerModel &charger, const UsbSourceModel &usb,
                 const LoadsModel &loads, const HotswapModel &hotswap)
        : c_(context), charger_(charger), usb_(usb), loads_(loads), hotswap_(hotswap) {}

    // The internal gauge and the extra ones, with their configured values.
    void build();
    // A gauge's power supply with its five averaged values.
    void build_gauge(int bus, int address, const GaugeValues &values);
    // The model's first step (only with battery_model on).
    void start();

    // The internal battery is charged full (only the running model says so).
    bool full() const;

    std::string internal_gauge() const;
    // Story: values as a test sets them; a capacity also moves the model's charge there.
    void set_internal(const GaugeValues &values);
    void set_internal_capacity(int32_t percent);
    void set_pack(const GaugeValues &values);
    void set_pack_capacity(int32_t percent);
    void set_gauge_value(const std::string &gauge_dir, const char *name, int32_t value);
    GaugeValues gauge_values(const std::string &gauge_dir) const;

  private:
    static constexpr double capacity_uah = 4'000'000;
    static int32_t voltage_for(double charge_uah);
    int32_t charge_ua(int32_t battery_uv) const;
    void step();
    void write_gauge(const std::string &dir, double charge_uah, int32_t net_ua);
    void write_adc(int32_t battery_uv, int32_t charging_ua);

    ModelContext &c_;
    ChargerModel &charger_;
    const UsbSourceModel &usb_;
    const LoadsModel &loads_;
    const HotswapModel &hotswap_;
    // Charge in µAh, kept fractional between steps.
    double internal_charge_uah_ = 0;
    double pack_charge_uah_ = 0;
};

} // namespace vh
