// SPDX-License-Identifier: MIT
// The MP2652 cross-charger ("mp2652-charger") that moves charge between the two batteries:
// its power supply, which follows the status the daemon writes, and its appearing and
// vanishing with the pack.
#pragma once

#include "model_context.hpp"

#include <string>

namespace vh {

class HotswapModel;

class CrossChargerModel {
  public:
    CrossChargerModel(ModelContext &context, HotswapModel &hotswap)
        : c_(context), hotswap_(hotswap) {}

    void build();
    // Story: the device appears with its "add" event, or vanishes with its "remove" event.
    void appear();
    void vanish();
    bool present() const;
    bool charging() const; // its status reads "Charging"
    // Story: a status stored as given, then the change event.
    void set_status(const std::string &status);

  private:
    void status_written(const std::string &text);

    ModelContext &c_;
    HotswapModel &hotswap_;
    // A status write sends its event only when the status changes.
    std::string last_status_;
};

} // namespace vh
