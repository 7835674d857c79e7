// SPDX-License-Identifier: MIT
// The headset's driver models together: each one speaks for one device, they share the
// tree, the lock and the timer thread, and they reach each other where the hardware does
// (the charger feeds the battery, the controller routes the cross-charger's current, ...).
#pragma once

#include "battery_model.hpp"
#include "charger_model.hpp"
#include "cross_charger_model.hpp"
#include "device_layout.hpp"
#include "headset.hpp"
#include "hotswap_model.hpp"
#include "loads_model.hpp"
#include "model_context.hpp"
#include "scheduler.hpp"
#include "usb_source_model.hpp"

#include <mutex>

namespace vh {

struct Headset::Model {
    explicit Model(Headset &headset);
    ~Model(); // stops the timers before any model goes
    Model(const Model &) = delete;
    Model &operator=(const Model &) = delete;

    // Every device of the configured variant, in the order the kernel would probe them.
    void build();

    std::recursive_mutex mutex;
    Scheduler scheduler;
    DeviceTree tree;
    ModelContext context;
    LoadsModel loads;
    UsbSourceModel usb;
    ChargerModel charger;
    BatteryModel battery;
    HotswapModel hotswap;
    CrossChargerModel cross_charger;
};

} // namespace vh
