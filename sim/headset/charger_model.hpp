// The PM8550B main charger's driver: its power supply and control attributes, an AICL run
// that completes a while after aicl_rerun, QPH2 fast-charge mode that follows qph2_allow,
// qph2_resume and the source, change events for new limits, and the charge status.
#pragma once

#include "model_context.hpp"

#include <cstdint>
#include <map>
#include <string>

namespace vh {

class UsbSourceModel;
class BatteryModel;

class ChargerModel {
  public:
    ChargerModel(ModelContext &context, const UsbSourceModel &usb, const BatteryModel &battery)
        : c_(context), usb_(usb), battery_(battery) {}

    void build();
    std::string attr(const std::string &name) const;

    // The source came or went (the TCPM supply holds the new contract).
    void source_changed(bool online);
    // "Discharging", "Not charging", "Full" or "Charging" from the source, charging_enable
    // and the battery; the change event only when asked for and the status changed.
    void update_status(bool emit_on_change);

    // Story: a notified flag ("aicl_status", "qph2") set as the driver would.
    void set_flag(const std::string &name, bool on);
    void set_status(const std::string &status); // stored as given, then the change event

    bool qph2() const;
    bool aicl_complete() const;
    bool charging_enabled() const;
    int32_t constant_charge_voltage_uv() const;
    int32_t constant_charge_current_ua() const;

  private:
    void aicl_rerun_written(const std::string &text);
    void aicl_enable_written(const std::string &text);
    void qph2_allow_written(const std::string &text);
    void qph2_resume_written(const std::string &text);
    void check_qph2_source();
    void limit_written(const std::string &limit, const std::string &text);

    ModelContext &c_;
    const UsbSourceModel &usb_;
    const BatteryModel &battery_;
    // Last written limits: a limit write sends its event only when the value changes.
    std::map<std::string, std::string> last_limits_;
    // Counts the source's departures: an AICL run still measuring when the source goes is
    // abandoned, it never completes for the next source.
    uint64_t source_sessions_ = 0;
};

} // namespace vh
