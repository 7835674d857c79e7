// SPDX-License-Identifier: MIT
// The headstrap's hot-swap controller ("pellgrave-hotswap"): which battery powers the
// system, the cross-charge path between the batteries, its interrupt flags, and the pack
// that is attached to it or taken off (with the pack's fuel gauge and the cross-charger).
#pragma once

#include "model_context.hpp"

#include <string>

namespace vh {

class BatteryModel;
class CrossChargerModel;

// Where charge flows between the batteries while the controller routes it.
enum class CrossChargeFlow { none, into_internal, into_pack };

class HotswapModel {
  public:
    HotswapModel(ModelContext &context, BatteryModel &battery, CrossChargerModel &cross_charger)
        : c_(context), battery_(battery), cross_charger_(cross_charger) {}

    void build();
    std::string attr(const std::string &name) const;

    // A pack present from boot: its devices and the controller's state, without events.
    void connect_at_boot();
    // Gauge (its "add" event) and cross-charger appear, then the controller reports the pack.
    void attach_pack();
    // The controller's event first, then the devices vanish.
    void detach_pack();
    bool pack_attached() const;
    bool system_on_pack() const; // the pack powers the system
    CrossChargeFlow cross_charge_flow() const;

    // The cross-charge flags follow enable_cross_charger, charge_from_int and the MP2652.
    void update_cross_charge();

    // Story: a watched attribute stored and notified.
    void set(const std::string &attribute, bool on);
    bool get(const std::string &attribute) const;

  private:
    void command_written(const std::string &command, const std::string &text);
    void select_power_source(bool internal);
    void create_pack_devices(bool with_events);
    void set_pack_connected_state(bool connected, bool notify);

    ModelContext &c_;
    BatteryModel &battery_;
    CrossChargerModel &cross_charger_;
    bool pack_attached_ = false;
};

} // namespace vh
