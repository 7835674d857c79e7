// SPDX-License-Identifier: MIT
// The PM8550B main charger's driver: its power supply and control attributes, an AICL run
// that completes a while after aicl_rerun and sets the input current limit, QPH2 fast-charge
// mode that follows qph2_allow, qph2_resume and the source, change events for new limits,
// the charge status with termination, and the power it moves from the source into the
// system and the battery.
#pragma once

#include "model_context.hpp"

#include <cstdint>
#include <map>
#include <string>

namespace vh {

class UsbSourceModel;
class BatteryModel;

// The battery as the charger sees it at its output.
struct BatteryTerminal {
    double open_circuit_uv = 0;
    double resistance_ohm = 0; // µV per µA
    bool full = false;         // takes no more charge
};

// The currents of one moment: into the battery (negative while the battery helps the source
// carry the system) and drawn from the source.
struct PowerFlow {
    double battery_ua = 0;
    double input_ua = 0;
};

class ChargerModel {
  public:
    ChargerModel(ModelContext &context, const UsbSourceModel &usb, const BatteryModel &battery)
        : c_(context), usb_(usb), battery_(battery) {}

    void build();
    std::string attr(const std::string &name) const;

    // The source came or went (the TCPM supply holds the new contract).
    void source_changed(bool online);
    // The charger's output while the source is online: the system draws system_ua at the
    // battery's voltage first, the battery gets what is left within the charge current
    // limit, the constant charge voltage and the input power. Ends a charge by termination.
    PowerFlow power_flow(const BatteryTerminal &battery, double system_ua);
    // "Discharging", "Not charging", "Full" or "Charging" from the source, charging_enable,
    // termination and the battery; the change event only when asked for and it changed.
    void update_status(bool emit_on_change);

    // Story: a notified flag ("aicl_status", "qph2") set as the driver would.
    void set_flag(const std::string &name, bool on);
    void set_status(const std::string &status); // stored as given, then the change event

    bool qph2() const;
    bool aicl_complete() const;
    bool charging_enabled() const;
    int32_t constant_charge_voltage_uv() const;
    int32_t constant_charge_current_ua() const;
    int32_t input_current_limit_ua() const;

  private:
    void aicl_rerun_written(const std::string &text);
    void aicl_enable_written(const std::string &text);
    void complete_aicl();
    void qph2_allow_written(const std::string &text);
    void qph2_resume_written(const std::string &text);
    void check_qph2_source();
    void limit_written(const std::string &limit, const std::string &text);
    void termination_written(const std::string &text);
    void charging_enable_written();
    bool terminated() const;

    ModelContext &c_;
    const UsbSourceModel &usb_;
    const BatteryModel &battery_;
    // Last written limits: a limit write sends its event only when the value changes.
    std::map<std::string, std::string> last_limits_;
    // Counts the source's departures: an AICL run still measuring when the source goes is
    // abandoned, it never completes for the next source.
    uint64_t source_sessions_ = 0;
    // The input current the charger draws at most: a safe start for a new source until an
    // AICL run has measured what the source really delivers.
    int32_t input_limit_ua_ = 0;
    // The charge ended by termination; a new charge starts on recharge, a new source, a
    // charging_enable write, or termination switched off.
    bool terminated_ = false;
};

} // namespace vh
