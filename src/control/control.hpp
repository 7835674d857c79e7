// SPDX-License-Identifier: MIT
// The charging policy: the update cycle, the status files, fast charge and the pack's power
// source; and the start-up and shutdown sequences of the device modules.
#pragma once

#include "charger/pm8550b_charger.hpp"
#include "charger/tcpm.hpp"
#include "pack/tavlock.hpp"
#include "sensing/fuel_gauge.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct udev;

// Fast-charge states.
constexpr int32_t QPH_SEL_1 = 0;
constexpr int32_t QPH_SEL_2 = 1;
constexpr int32_t QPH_SEL_2_TO_1 = 2;
constexpr int32_t QPH_SEL_AICL = 3;
constexpr int32_t QPH_SEL_1_TO_2 = 4;

struct system_snapshot {
    uint8_t load;
    int32_t adc_vbat_uv;
    int32_t adc_ichg_ua;
    int32_t adc_vusb_uv;
    int32_t adc_iin_ua;
    usb_contract usb;
    charger_reading charger;
    fuel_gauge_reading fg_internal;
    pack_status pack;
};

int control_init(udev *udev, int epoll_fd);
void control_deinit();
void control_update(bool woken_by_event);
void control_enter_qph2();
void control_exit_qph2();

// ---- Decisions of the update cycle, free of I/O ----

// "1", "2", "2->1", "AICL", "1->2".
const char *fast_charge_state_name(int32_t state);

// "Connected" from a 40 W contract, "Connected slow" below, "Disconnected" offline.
const char *ac_status_text(const usb_contract &usb);
// The charger's status, corrected by the internal battery's fuel gauge.
const char *battery_status_name(const system_snapshot &snapshot);
// "Valid=1, Voltage=9000mV, Current=3000mA"
void format_typec_contract(const usb_contract &usb, char *text, size_t size);

struct charger_limits {
    bool write_voltage; // only when the charger reports another voltage
    int32_t voltage_uv;
    int32_t current_ua; // written in every cycle
    bool check_enable;  // make sure charging is enabled; clears the pending flag
    bool enable_charging;
};
charger_limits charger_limits_for(const system_snapshot &snapshot,
                                  const fuel_gauge_reading &governing,
                                  bool charging_enable_pending);

// Whole seconds from earlier to now, as the hold-off counts them.
int64_t elapsed_whole_seconds(const timespec &earlier, const timespec &now);

struct fast_charge_inputs {
    int32_t state;
    int32_t usb_voltage_uv; // negotiated
    int32_t adc_vusb_uv;    // measured
    uint8_t load;
    bool qph2_active;
    bool aicl_complete;
    int32_t governing_capacity;
    int32_t governing_current_ua;
    bool woken_by_event;
    timespec last_qph2_exit; // zero: no exit on record
    timespec now;
};

enum class qph2_sequence : uint8_t { none, enter, exit };

// What one cycle of the state machine does, in the order the fields are listed.
struct fast_charge_step {
    bool disable_termination;
    bool holdoff; // print the hold-off line with holdoff_elapsed_s
    int64_t holdoff_elapsed_s;
    const char *message; // or nullptr
    bool pause_before_entry;
    qph2_sequence sequence;
    bool aicl_rerun;
    bool aicl_enable;
    int32_t next_state;
};
fast_charge_step fast_charge_step_for(const fast_charge_inputs &inputs);

struct manual_control {
    bool internal_primary;
    bool external_primary;
    bool cross_charge_secondary;
    bool disable_cross_charging;
};

// Every run of the power-source policy sets the power source, then switches the
// cross-charger, then (unless CROSS_CHARGE_OFF) requests a cross-charging direction.
struct pack_commands {
    int32_t power_source;
    bool cross_charger_enable;
    int32_t cross_charge_direction;
};
pack_commands pack_commands_for(const system_snapshot &snapshot, const manual_control &manual);

// ---- Reports and files ----

// Report lines 1 to 5 (the limiter's line follows them).
void print_state_report(FILE *out, const system_snapshot &snapshot, int32_t fast_charge_state);
// The headstrap's lines; nothing without a headstrap.
void print_pack_report(FILE *out, const pack_status &pack, const manual_control &manual);

// Replaces the file through ".tmpfile", or through a fresh ".tmpfile.XXXXXX" while something
// that cannot be removed sits at ".tmpfile" (reported once on stderr). A failed rename removes
// the temporary and is reported on stderr when it starts (or its cause changes). False when no
// temporary file could be created or renamed; a failed write is silent and returns true.
bool replace_status_file(const char *name, const char *text);
// Writes "0" over the first byte of an existing regular file; never follows a link, never
// blocks, never creates. Results and messages as write_file.
int reset_manual_control_file(const char *path);
// True when the path is a readable regular file whose first character is "1".
bool read_manual_control_flag(const char *path);
