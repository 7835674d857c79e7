// SPDX-License-Identifier: MIT
// The USB-C port's source as the Type-C port manager publishes it: the TCPM source supply
// with the negotiated contract, and what a plug, a renegotiation or an unplug does to the
// ADC's USB voltage and to the charger.
#pragma once

#include "model_context.hpp"

#include <cstdint>

namespace vh {

class ChargerModel;

class UsbSourceModel {
  public:
    UsbSourceModel(ModelContext &context, ChargerModel &charger) : c_(context), charger_(charger) {}

    void build();

    // The contract changes (online or not), then the TCPM and charger change events.
    void set_source(bool online, int32_t voltage_uv, int32_t current_ua, usb_type type);

    bool online() const;
    int32_t voltage_uv() const;
    int32_t current_ua() const;

  private:
    ModelContext &c_;
    ChargerModel &charger_;
};

} // namespace vh
