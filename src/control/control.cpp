// SPDX-License-Identifier: MIT
#include "control/control.hpp"

#include "pack/mp2652.hpp"
#include "sensing/adc.hpp"
#include "sensing/bcl.hpp"
#include "sensing/regulator.hpp"
#include "util/console.hpp"
#include "util/util.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---- Charger limits and fast charge ----

constexpr int32_t qph2_min_usb_voltage_uv = 9000000;
constexpr int32_t loaded_charge_voltage_uv = 8800000;
constexpr int32_t unloaded_charge_voltage_uv = 8900000;
constexpr int32_t qph2_high_soc_current_ua = 1350000;
constexpr int32_t qph2_low_soc_current_ua = 2700000;
constexpr int32_t normal_charge_current_ua = 1000000;
constexpr int32_t qph2_high_soc_above_capacity = 64;
constexpr int32_t charging_required_below_capacity = 94;
constexpr int32_t qph2_max_capacity_without_load = 89;
constexpr int32_t qph2_exit_current_ua = 500000;
constexpr int32_t qph2_reentry_holdoff_s = 60;
constexpr int64_t kept_files_check_period_s = 20; // the loop's own period
constexpr long direct_entry_pause_us = 300000;
constexpr long qph2_exit_pause_us = 2000;

// Start-up and shutdown settings of the charger.
constexpr int32_t startup_charge_voltage_uv = 8800000;
constexpr int32_t startup_charge_current_ua = 1000000;
constexpr int32_t shutdown_charge_voltage_uv = 8900000;

// ---- Status files ----

constexpr char temporary_file[] = ".tmpfile";
// The temporary's name while something that unlink cannot remove (a directory) sits at
// ".tmpfile"; mkstemp replaces the X's. In the same directory, so the rename stays atomic.
constexpr char fallback_temporary_pattern[] = ".tmpfile.XXXXXX";
static_assert(sizeof temporary_file <= sizeof fallback_temporary_pattern);
// In the order write_status_files writes them.
constexpr std::array<const char *, 6> status_file_names = {
    "ac_status",
    "battery_percent",
    "battery_status",
    "secs_until_shutdown_request",
    "secs_until_battery_full",
    "typec_contract",
};
constexpr size_t status_text_size = 64;
constexpr double connected_min_power_w = 40.0;

// ---- Pack policy ----

constexpr int32_t usb_external_min_internal_capacity = 96; // internal above this
constexpr int32_t usb_external_max_external_capacity = 98; // external below this
constexpr int32_t battery_external_min_capacity = 3;       // external above this

// In the order the report prints them.
constexpr const char *manual_control_files[] = {
    "set_internal_batt_primary",
    "set_external_batt_primary",
    "cross_charge_secondary",
    "disable_cross_charging",
};

// ---- Module state ----

system_snapshot snapshot{};
const fuel_gauge_reading *governing_fg = &snapshot.fg_internal;

int32_t fast_charge_state = QPH_SEL_1;
bool charging_enable_pending = false;
timespec last_qph2_exit{};
timespec last_kept_files_check{};

manual_control manual{};
bool manual_files_reset = false;

// An obstacle at ".tmpfile" is reported once, and again only after ".tmpfile" worked.
bool temporary_obstacle_reported = false;
// Per status file (the last slot: any other name), the errno of the rename failure last
// reported, 0 after a rename that worked: a failure is reported when it starts or its cause
// changes, not in every cycle. The flag spares the renames that work the lookup.
std::array<int, status_file_names.size() + 1> reported_rename_errors{};
bool rename_failure_reported = false;

double in_units(int32_t micro) {
    return static_cast<double>(micro) * 1e-6;
}

const char *power_source_name(int32_t power_source) {
    switch (power_source) {
    case POWER_SOURCE_INTERNAL:
        return "Internal";
    case POWER_SOURCE_EXTERNAL:
        return "External";
    default:
        return "Transitioning";
    }
}

const char *cross_charge_name(int32_t cross_charge) {
    switch (cross_charge) {
    case CROSS_CHARGE_INT_TO_EXT:
        return "Int->Ext";
    case CROSS_CHARGE_EXT_TO_INT:
        return "Ext->Int";
    default:
        return "Disabled";
    }
}

const char *voltage_ok_text(bool ok) {
    return ok ? "ok" : "not ok!";
}

timespec monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

bool is_zero(const timespec &time) {
    return time.tv_sec == 0 && time.tv_nsec == 0;
}

// The pauses are part of the charger's entry and exit timing; a signal must not cut them.
void pause_us(long microseconds) {
    timespec remaining{microseconds / 1000000, (microseconds % 1000000) * 1000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// ---- The cycle's steps ----

void gather_snapshot() {
    snapshot.load = regulator_get_load();
    snapshot.adc_vbat_uv = adc_read_vbat();
    snapshot.adc_vusb_uv = adc_read_vusb();
    snapshot.adc_ichg_ua = adc_read_ichg();
    snapshot.adc_iin_ua = adc_read_iin();
    snapshot.usb = tcpm_get_contract();
    snapshot.charger = pm8550b_charger_get_reading();
    snapshot.fg_internal = fuel_gauge_get_reading(BATTERY_INTERNAL);
    snapshot.pack = tavlock_get_status();
}

void choose_governing_fuel_gauge() {
    if (!snapshot.pack.headstrap_present) {
        return;
    }
    const bool pack_powers_device =
        snapshot.pack.pack_connected && snapshot.pack.power_source == POWER_SOURCE_EXTERNAL;
    governing_fg = pack_powers_device ? &snapshot.pack.external_fuel_gauge : &snapshot.fg_internal;
}

// A manual choice left by an earlier run is cancelled once per process.
void refresh_manual_control() {
    if (!snapshot.pack.headstrap_present) {
        return;
    }
    if (!manual_files_reset) {
        for (const char *path : manual_control_files) {
            reset_manual_control_file(path);
        }
        manual_files_reset = true;
    }
    manual.internal_primary = read_manual_control_flag(manual_control_files[0]);
    manual.external_primary = read_manual_control_flag(manual_control_files[1]);
    manual.cross_charge_secondary = read_manual_control_flag(manual_control_files[2]);
    manual.disable_cross_charging = read_manual_control_flag(manual_control_files[3]);
}

void print_report() {
    print_state_report(stderr, snapshot, fast_charge_state);

    char throttle_accum[64];
    bcl_read_throttle_accum(throttle_accum, sizeof throttle_accum);
    const bool bcl_enabled = bcl_platform_enabled();
    const int32_t bcl_level0 = bcl_read_in0_min();
    const int32_t bcl_level1 = bcl_read_in0_lcrit();
    console_print(stderr, console_level::info, "BCL(%d): l0=%d l1=%d [%s]\n", bcl_enabled ? 1 : 0,
                  bcl_level0, bcl_level1, throttle_accum);

    print_pack_report(stdout, snapshot.pack, manual);
}

// The files are written in this order; a failure to create or to rename the temporary of
// one of the first three also skips the files after it, so a reader never finds one of them
// newer than one before it. The last three are independent. A failed write only keeps that
// file as it was.
void write_status_files() {
    char text[status_text_size];

    if (!replace_status_file("ac_status", ac_status_text(snapshot.usb))) {
        return;
    }

    // Read afresh from the gauge and rescaled for display; not the snapshot's capacity.
    const auto percent = static_cast<double>(fuel_gauge_battery_percent(BATTERY_INTERNAL));
    std::snprintf(text, sizeof text, "%0.01f", percent);
    if (!replace_status_file("battery_percent", text)) {
        return;
    }

    if (!replace_status_file("battery_status", battery_status_name(snapshot))) {
        return;
    }

    std::snprintf(text, sizeof text, "%d", snapshot.fg_internal.time_to_empty_avg);
    replace_status_file("secs_until_shutdown_request", text);

    std::snprintf(text, sizeof text, "%d", snapshot.fg_internal.time_to_full_avg);
    replace_status_file("secs_until_battery_full", text);

    format_typec_contract(snapshot.usb, text, sizeof text);
    replace_status_file("typec_contract", text);
}

void run_pack_power_source_policy() {
    const pack_commands commands = pack_commands_for(snapshot, manual);
    tavlock_set_power_source(commands.power_source);
    tavlock_enable_cross_charger(commands.cross_charger_enable);
    if (commands.cross_charge_direction != CROSS_CHARGE_OFF) {
        tavlock_set_cross_charge(commands.cross_charge_direction);
    }
}

void apply_charger_limits() {
    const charger_limits limits =
        charger_limits_for(snapshot, *governing_fg, charging_enable_pending);
    if (limits.write_voltage) {
        pm8550b_charger_set_constant_charge_voltage(limits.voltage_uv);
    }
    pm8550b_charger_set_constant_charge_current(limits.current_ua);
    if (limits.check_enable) {
        if (limits.enable_charging) {
            pm8550b_charger_set_charging_enable(true);
        }
        charging_enable_pending = false;
    }
}

void run_fast_charge_state_machine(bool woken_by_event) {
    fast_charge_inputs inputs{};
    inputs.state = fast_charge_state;
    inputs.usb_voltage_uv = snapshot.usb.voltage_uv;
    inputs.adc_vusb_uv = snapshot.adc_vusb_uv;
    inputs.load = snapshot.load;
    inputs.qph2_active = snapshot.charger.qph2_active;
    inputs.aicl_complete = snapshot.charger.aicl_complete;
    inputs.governing_capacity = governing_fg->capacity;
    inputs.governing_current_ua = governing_fg->current_avg;
    inputs.woken_by_event = woken_by_event;
    inputs.last_qph2_exit = last_qph2_exit;
    inputs.now = monotonic_now();

    const fast_charge_step step = fast_charge_step_for(inputs);
    if (step.disable_termination) {
        pm8550b_charger_set_termination_enable(false);
    }
    if (step.holdoff) {
        console_print(stderr, console_level::info, "QPH2 re-entry holdoff: %ld / %d sec\n",
                      static_cast<long>(step.holdoff_elapsed_s), qph2_reentry_holdoff_s);
    }
    if (step.message != nullptr) {
        console_print(stderr, console_level::info, "%s", step.message);
    }
    if (step.pause_before_entry) {
        pause_us(direct_entry_pause_us);
    }
    if (step.sequence == qph2_sequence::enter) {
        control_enter_qph2();
    } else if (step.sequence == qph2_sequence::exit) {
        control_exit_qph2();
    }
    if (step.aicl_rerun) {
        pm8550b_charger_aicl_rerun();
    }
    if (step.aicl_enable) {
        pm8550b_charger_set_aicl_enable(true);
    }
    fast_charge_state = step.next_state;
}

// The source is gone: start over without touching the charger, which has already left QPH2
// with the input, and without a hold-off for the next source.
void reset_for_usb_offline() {
    charging_enable_pending = true;
    last_qph2_exit = timespec{};
    fast_charge_state = QPH_SEL_1;
}

// ---- Fast-charge decisions ----

fast_charge_step stay(int32_t state) {
    fast_charge_step step{};
    step.next_state = state;
    return step;
}

fast_charge_step with_sequence(const char *message, qph2_sequence sequence) {
    fast_charge_step step{};
    step.message = message;
    step.sequence = sequence;
    step.next_state = sequence == qph2_sequence::enter ? QPH_SEL_1_TO_2 : QPH_SEL_2_TO_1;
    return step;
}

fast_charge_step step_from_normal(const fast_charge_inputs &in) {
    if (in.usb_voltage_uv < qph2_min_usb_voltage_uv) {
        return stay(in.state);
    }
    const bool loaded = in.load != 0;
    if (!loaded) {
        if (in.governing_capacity > qph2_max_capacity_without_load) {
            return stay(in.state);
        }
        if (!is_zero(in.last_qph2_exit)) {
            const int64_t elapsed_s = elapsed_whole_seconds(in.last_qph2_exit, in.now);
            if (elapsed_s < qph2_reentry_holdoff_s) {
                fast_charge_step step = stay(in.state);
                step.holdoff = true;
                step.holdoff_elapsed_s = elapsed_s;
                return step;
            }
        }
    }
    fast_charge_step step{};
    if (in.aicl_complete) {
        step = with_sequence("Entering QPH2 Directly\n", qph2_sequence::enter);
        step.pause_before_entry = true;
    } else {
        step.message = "Triggering AICL\n";
        step.aicl_rerun = true;
        step.next_state = QPH_SEL_AICL;
    }
    // Under load, charging must not stop at the termination current while QPH2 is tried.
    step.disable_termination = loaded;
    return step;
}

fast_charge_step step_from_qph2(const fast_charge_inputs &in) {
    if (in.load == 0 && in.governing_current_ua <= qph2_exit_current_ua) {
        return with_sequence("Exiting QPH2 - Low Current and No Load\n", qph2_sequence::exit);
    }
    if (in.qph2_active) {
        return stay(in.state);
    }
    // The charger left QPH2 by itself; the measured input voltage tells why.
    const char *reason = in.adc_vusb_uv >= qph2_min_usb_voltage_uv
                             ? "Exiting QPH2 - Unknown\n"
                             : "Exiting QPH2 - USB Voltage Drop\n";
    return with_sequence(reason, qph2_sequence::exit);
}

fast_charge_step step_from_aicl(const fast_charge_inputs &in) {
    if (in.aicl_complete) {
        return with_sequence("AICL Complete - Entering QPH2\n", qph2_sequence::enter);
    }
    if (in.woken_by_event) {
        return stay(in.state);
    }
    return with_sequence("QPH2 AICL Timeout, Trying anyway\n", qph2_sequence::enter);
}

fast_charge_step step_from_entering(const fast_charge_inputs &in) {
    if (in.qph2_active) {
        fast_charge_step step{};
        step.message = "QPH2 Entered\n";
        step.aicl_enable = true;
        step.next_state = QPH_SEL_2;
        return step;
    }
    if (in.woken_by_event) {
        return stay(in.state);
    }
    return with_sequence("QPH2 Timeout, Exiting\n", qph2_sequence::exit);
}

} // namespace

// ---- Start-up and shutdown ----

int control_init(udev *udev, int epoll_fd) {
    fast_charge_state = QPH_SEL_1;
    charging_enable_pending = true;
    governing_fg = &snapshot.fg_internal;
    last_kept_files_check = monotonic_now();

    int result = regulator_init(udev, epoll_fd);
    if (result < 0) {
        return result;
    }
    result = adc_init(udev);
    if (result < 0) {
        return result;
    }
    result = bcl_init(udev);
    if (result < 0) {
        return result;
    }
    result = tcpm_init();
    if (result < 0) {
        return result;
    }
    result = pm8550b_charger_init(startup_charge_voltage_uv, startup_charge_current_ua, epoll_fd);
    if (result < 0) {
        return result;
    }
    result = fuel_gauge_find(BATTERY_INTERNAL);
    if (result < 0) {
        return result;
    }
    result = tavlock_init(udev, epoll_fd);
    if (result < 0) {
        return result;
    }
    return 0;
}

void control_deinit() {
    pm8550b_charger_set_constant_charge_voltage(shutdown_charge_voltage_uv);
    control_exit_qph2();
    fuel_gauge_mark_absent(BATTERY_INTERNAL);
    pm8550b_charger_deinit();
    tcpm_deinit();
    adc_deinit();
    bcl_deinit();
    regulator_deinit();
    tavlock_deinit();
}

// ---- The update cycle ----

namespace {

// A device whose driver goes away (and comes back) sends nothing the daemon hears, except
// the power supplies' own events: the kept-open files are looked at on every timeout pass,
// and at least once a period while events keep the loop busy.
void check_kept_open_files(bool woken_by_event) {
    const timespec now = monotonic_now();
    if (woken_by_event &&
        elapsed_whole_seconds(last_kept_files_check, now) < kept_files_check_period_s) {
        return;
    }
    last_kept_files_check = now;
    regulator_check_files();
    adc_check_files();
    bcl_check_files();
    pm8550b_charger_check_files();
    tavlock_check_files();
}

} // namespace

void control_update(bool woken_by_event) {
    check_kept_open_files(woken_by_event);
    gather_snapshot();
    choose_governing_fuel_gauge();
    refresh_manual_control();
    print_report();
    write_status_files();
    bcl_update_thresholds(snapshot.adc_vbat_uv);
    if (snapshot.pack.headstrap_present && snapshot.pack.pack_connected) {
        run_pack_power_source_policy();
    }
    if (snapshot.usb.online) {
        apply_charger_limits();
        run_fast_charge_state_machine(woken_by_event);
    } else {
        reset_for_usb_offline();
    }
}

void control_enter_qph2() {
    pm8550b_charger_set_aicl_enable(false);
    pm8550b_charger_set_termination_enable(false);
    pm8550b_charger_set_qph2_allow(true);
    pm8550b_charger_qph2_resume();
    fast_charge_state = QPH_SEL_1_TO_2;
}

void control_exit_qph2() {
    pm8550b_charger_set_aicl_enable(false);
    pm8550b_charger_set_qph2_allow(false);
    pause_us(qph2_exit_pause_us);
    pm8550b_charger_set_termination_enable(true);
    pm8550b_charger_set_constant_charge_current(normal_charge_current_ua);
    pm8550b_charger_set_aicl_enable(true);
    last_qph2_exit = monotonic_now();
    // Without a source (or at shutdown before any cycle) there is nothing to measure.
    if (snapshot.usb.online) {
        pm8550b_charger_aicl_rerun();
    }
    fast_charge_state = QPH_SEL_2_TO_1;
}

// ---- Decisions ----

const char *fast_charge_state_name(int32_t state) {
    constexpr const char *names[] = {"1", "2", "2->1", "AICL", "1->2"};
    if (state < 0 || state >= static_cast<int32_t>(std::size(names))) {
        return "?";
    }
    return names[state];
}

const char *ac_status_text(const usb_contract &usb) {
    if (!usb.online) {
        return "Disconnected";
    }
    const double power_w =
        static_cast<double>(usb.voltage_uv) * static_cast<double>(usb.current_ua) * 1e-12;
    return power_w < connected_min_power_w ? "Connected slow" : "Connected";
}

const char *battery_status_name(const system_snapshot &snapshot_in) {
    // The internal battery's own gauge, whichever battery governs charging.
    const fuel_gauge_reading &internal = snapshot_in.fg_internal;
    int32_t status = snapshot_in.charger.status;
    if (snapshot_in.charger.online) {
        const double current_ma = static_cast<double>(internal.current_avg) * 0.001;
        if (internal.capacity > 93) {
            status = CHARGER_STATUS_FULL;
        } else if (current_ma < 0 && current_ma > -10.0 && status == CHARGER_STATUS_DISCHARGING) {
            // A trickle this small is the gauge's noise, not a real discharge.
            status = CHARGER_STATUS_NOT_CHARGING;
        }
    }
    return charger_status_name(status);
}

void format_typec_contract(const usb_contract &usb, char *text, size_t size) {
    std::snprintf(text, size, "Valid=%i, Voltage=%imV, Current=%imA", usb.online ? 1 : 0,
                  usb.voltage_uv / 1000, usb.current_ua / 1000);
}

charger_limits charger_limits_for(const system_snapshot &snapshot_in,
                                  const fuel_gauge_reading &governing,
                                  bool charging_enable_pending_in) {
    charger_limits limits{};
    const bool loaded = snapshot_in.load != 0;
    limits.voltage_uv = loaded ? loaded_charge_voltage_uv : unloaded_charge_voltage_uv;
    limits.write_voltage = snapshot_in.charger.cv_uv != limits.voltage_uv;
    if (snapshot_in.charger.qph2_active) {
        limits.current_ua = governing.capacity > qph2_high_soc_above_capacity
                                ? qph2_high_soc_current_ua
                                : qph2_low_soc_current_ua;
    } else {
        limits.current_ua = normal_charge_current_ua;
    }
    limits.check_enable = governing.capacity < charging_required_below_capacity ||
                          charging_enable_pending_in || loaded;
    limits.enable_charging =
        limits.check_enable && snapshot_in.charger.status != CHARGER_STATUS_CHARGING;
    return limits;
}

int64_t elapsed_whole_seconds(const timespec &earlier, const timespec &now) {
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(earlier.tv_sec);
    if (now.tv_nsec < earlier.tv_nsec) {
        --seconds;
    }
    return seconds;
}

fast_charge_step fast_charge_step_for(const fast_charge_inputs &inputs) {
    switch (inputs.state) {
    case QPH_SEL_1:
        return step_from_normal(inputs);
    case QPH_SEL_2:
        return step_from_qph2(inputs);
    case QPH_SEL_2_TO_1:
        return inputs.qph2_active ? stay(inputs.state) : stay(QPH_SEL_1);
    case QPH_SEL_AICL:
        return step_from_aicl(inputs);
    case QPH_SEL_1_TO_2:
        return step_from_entering(inputs);
    default:
        return stay(inputs.state);
    }
}

pack_commands pack_commands_for(const system_snapshot &snapshot_in,
                                const manual_control &manual_in) {
    const int32_t internal_capacity = snapshot_in.fg_internal.capacity;
    const int32_t external_capacity = snapshot_in.pack.external_fuel_gauge.capacity;

    // The cross-charger always runs from the battery that powers the device.
    const auto cross_charge_from = [&](int32_t power_source, int32_t direction) {
        pack_commands commands{power_source, false, CROSS_CHARGE_OFF};
        if (manual_in.disable_cross_charging) {
            return commands;
        }
        commands.cross_charger_enable = true;
        if (snapshot_in.pack.cross_charger_ready) {
            commands.cross_charge_direction = direction;
        }
        return commands;
    };
    const auto without_cross_charge = [](int32_t power_source) {
        return pack_commands{power_source, false, CROSS_CHARGE_OFF};
    };

    if (manual_in.internal_primary) {
        return manual_in.cross_charge_secondary
                   ? cross_charge_from(POWER_SOURCE_INTERNAL, CROSS_CHARGE_INT_TO_EXT)
                   : without_cross_charge(POWER_SOURCE_INTERNAL);
    }
    if (manual_in.external_primary) {
        return manual_in.cross_charge_secondary
                   ? cross_charge_from(POWER_SOURCE_EXTERNAL, CROSS_CHARGE_EXT_TO_INT)
                   : without_cross_charge(POWER_SOURCE_EXTERNAL);
    }
    if (snapshot_in.usb.online) {
        // On USB, a nearly full internal battery is spared while the pack can still charge.
        const bool spare_internal = internal_capacity > usb_external_min_internal_capacity &&
                                    external_capacity < usb_external_max_external_capacity;
        return without_cross_charge(spare_internal ? POWER_SOURCE_EXTERNAL : POWER_SOURCE_INTERNAL);
    }
    if (external_capacity > battery_external_min_capacity) {
        return cross_charge_from(POWER_SOURCE_EXTERNAL, CROSS_CHARGE_EXT_TO_INT);
    }
    return without_cross_charge(POWER_SOURCE_INTERNAL);
}

// ---- Reports ----

void print_state_report(FILE *out, const system_snapshot &s, int32_t state) {
    console_print(out, console_level::info, "---- Current State ----\n");
    console_print(out, console_level::info,
                  "USB(%d) - V: %4.01f, Neg: %4.01f;  Cur: % 5.02f, Neg: %4.01f;  Type: %s\n",
                  s.usb.online ? 1 : 0, in_units(s.adc_vusb_uv), in_units(s.usb.voltage_uv),
                  in_units(s.adc_iin_ua), in_units(s.usb.current_ua),
                  tcpm_usb_type_name(s.usb.usb_type));
    console_print(out, console_level::info,
                  "CHG(%d) - V: %4.01f, Flt: %4.01f;  Cur: % 5.02f, Lim: %4.01f;  Stat: %s\n",
                  s.charger.online ? 1 : 0, in_units(s.adc_vbat_uv), in_units(s.charger.cv_uv),
                  in_units(s.adc_ichg_ua), in_units(s.charger.cc_ua),
                  charger_status_name(s.charger.status));
    console_print(out, console_level::info,
                  "FG INT - V: %4.03f;            Cur: % 5.02f;             SOC: %3d %%\n",
                  in_units(s.fg_internal.voltage_avg), in_units(s.fg_internal.current_avg),
                  s.fg_internal.capacity);
    console_print(out, console_level::info, "QPH(%d) - Sel: %s; Load: 0x%01X\n",
                  s.charger.qph2_active ? 2 : 1, fast_charge_state_name(state),
                  static_cast<unsigned>(s.load));
}

void print_pack_report(FILE *out, const pack_status &pack, const manual_control &flags) {
    if (!pack.headstrap_present) {
        return;
    }
    console_print(out, console_level::info, "Tavlock: external battery %s, power source: %s\n",
                  pack.pack_connected ? "detected" : "disconnected",
                  power_source_name(pack.power_source));
    console_print(out, console_level::info, "  Vint: %s, status: 0x%02x\n",
                  voltage_ok_text(pack.internal_voltage_ok),
                  static_cast<unsigned>(pack.status_bits));
    if (pack.pack_connected) {
        console_print(out, console_level::info, "  Vext: %s, x-charge ready: %i, x-charge: %s\n",
                      voltage_ok_text(pack.removable_voltage_ok), pack.cross_charger_ready ? 1 : 0,
                      cross_charge_name(pack.cross_charge));
        const fuel_gauge_reading &external = pack.external_fuel_gauge;
        console_print(out, console_level::info,
                      "  FG EXT - V: %4.03f;          Cur: % 5.02f;             SOC: %3d %%\n",
                      in_units(external.voltage_avg), in_units(external.current_avg),
                      external.capacity);
        if (pack.cross_charger_ready) {
            const cross_charger_reading &cc = pack.cross_charger;
            console_print(out, console_level::info, "  Cross-charger:\n");
            console_print(out, console_level::info, "    float_voltage_uv:       %ld\n",
                          static_cast<long>(cc.constant_charge_voltage));
            console_print(out, console_level::info, "    current_limit_ua:       %ld\n",
                          static_cast<long>(cc.constant_charge_current));
            console_print(out, console_level::info, "    input_current_limit_ua: %ld\n",
                          static_cast<long>(cc.input_current_limit));
            console_print(out, console_level::info, "    input_voltage_limit_uv: %ld\n",
                          static_cast<long>(cc.input_voltage_limit));
            console_print(out, console_level::info, "    precharge_current_ua:   %ld\n",
                          static_cast<long>(cc.precharge_current));
            console_print(out, console_level::info, "    charge_term_current_ua: %ld\n",
                          static_cast<long>(cc.charge_term_current));
            console_print(out, console_level::info, "    status:                 %s\n",
                          charger_status_name(cc.status));
            console_print(out, console_level::info, "    charge_type:            %d\n",
                          cc.charge_type);
            console_print(out, console_level::info, "    health:                 %d\n", cc.health);
        }
    }
    console_print(out, console_level::info,
                  "  Manual control: internal as primary: %i, external as primary: %i, x-charge "
                  "secondary: %i, disable x-charging: %i\n",
                  flags.internal_primary ? 1 : 0, flags.external_primary ? 1 : 0,
                  flags.cross_charge_secondary ? 1 : 0, flags.disable_cross_charging ? 1 : 0);
}

// ---- Files ----

namespace {

int create_temporary_file(const char *path) {
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

// What open() with 0666 creates under the process's umask, which can only be read by setting
// it; the daemon has a single thread, so nothing else creates a file in between.
mode_t created_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// mkstemp creates with O_EXCL, so it never follows a link nor opens a FIFO; its mode 0600 is
// widened to what ".tmpfile" gets, for the readers of the status files.
int create_fallback_temporary_file(char (&path)[sizeof fallback_temporary_pattern]) {
    std::memcpy(path, fallback_temporary_pattern, sizeof fallback_temporary_pattern);
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) {
        return fd;
    }
    if (fchmod(fd, created_file_mode()) != 0) {
        close(fd);
        unlink(path);
        return -1;
    }
    return fd;
}

void report_temporary_obstacle(int unlink_error) {
    if (temporary_obstacle_reported) {
        return;
    }
    temporary_obstacle_reported = true;
    console_print(stderr, console_level::warning,
                  "Cannot remove %s: %s; status files go through %s\n", temporary_file,
                  std::strerror(unlink_error), fallback_temporary_pattern);
}

// Creates the temporary file for a status file and names it in path: ".tmpfile", or a fresh
// name when an entry that cannot be removed is in the way. -1 when neither can be created.
int create_status_temporary(char (&path)[sizeof fallback_temporary_pattern]) {
    std::memcpy(path, temporary_file, sizeof temporary_file);
    int fd = create_temporary_file(path);
    if (fd < 0 && errno == EEXIST) {
        const int unlink_error = unlink(path) == 0 ? EEXIST : errno;
        fd = create_temporary_file(path);
        if (fd < 0 && errno == EEXIST) {
            report_temporary_obstacle(unlink_error);
            return create_fallback_temporary_file(path);
        }
    }
    if (fd >= 0) {
        temporary_obstacle_reported = false;
    }
    return fd;
}

size_t rename_report_slot(const char *name) {
    size_t slot = 0;
    while (slot < status_file_names.size() && std::strcmp(status_file_names[slot], name) != 0) {
        ++slot;
    }
    return slot;
}

void report_rename_failure(const char *temporary, const char *name, int rename_error) {
    int &reported = reported_rename_errors[rename_report_slot(name)];
    if (reported == rename_error) {
        return;
    }
    reported = rename_error;
    rename_failure_reported = true;
    console_print(stderr, console_level::err, "Rename %s to %s failed: %s\n", temporary, name,
                  std::strerror(rename_error));
}

void forget_rename_failure(const char *name) {
    reported_rename_errors[rename_report_slot(name)] = 0;
    rename_failure_reported = false;
    for (const int reported : reported_rename_errors) {
        rename_failure_reported = rename_failure_reported || reported != 0;
    }
}

} // namespace

// Other software writes to this directory too: a planted link or FIFO named ".tmpfile" must
// never redirect, truncate or block the write, so a new file is made, and an old entry in
// the way goes first. Every cycle renames its file away, so normally nothing is in the way;
// an entry that unlink cannot remove (a directory) is left alone and worked around.
bool replace_status_file(const char *name, const char *text) {
    char temporary[sizeof fallback_temporary_pattern];
    const int fd = create_status_temporary(temporary);
    if (fd < 0) {
        return false;
    }
    const size_t length = std::strlen(text);
    const ssize_t written = write(fd, text, length);
    const bool write_ok = written >= 0 && static_cast<size_t>(written) == length;
    const bool close_ok = close(fd) == 0;
    // A failed write must not replace the good file with an empty or partial one.
    if (!write_ok || !close_ok) {
        unlink(temporary);
        return true;
    }
    // Something at the status file's name that a file cannot replace (a directory) keeps
    // the temporary from being renamed; it must not stay behind for the next file.
    if (rename(temporary, name) != 0) {
        const int rename_error = errno;
        unlink(temporary);
        report_rename_failure(temporary, name, rename_error);
        return false;
    }
    if (rename_failure_reported) {
        forget_rename_failure(name);
    }
    return true;
}

int reset_manual_control_file(const char *path) {
    // No link is followed (a link to a charger attribute would be written through) and no
    // FIFO or device may block the daemon or take the byte.
    const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(fd);
        console_print(stderr, console_level::err, "Open %s failed on %d\n", path, -1);
        return -1;
    }
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open %s failed on %d\n", path, fd);
        return fd;
    }
    constexpr char reset_text[] = "0";
    const ssize_t written = write(fd, reset_text, 1);
    close(fd);
    if (written == 1) {
        return 0;
    }
    console_print(stderr, console_level::err, "Write %s to %s failed on %d\n", reset_text, path,
                  static_cast<int>(written));
    return written < 0 ? static_cast<int>(written) : -11;
}

bool read_manual_control_flag(const char *path) {
    if (!is_regular_file(path)) {
        return false;
    }
    // The path may have been swapped for a FIFO or a device since the test above.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open %s failed on %d\n", path, fd);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return false;
    }
    char text[8];
    const ssize_t count = read(fd, text, sizeof text - 1);
    close(fd);
    if (count < 0) {
        console_print(stderr, console_level::err, "Read %s failed on %d\n", path,
                      static_cast<int>(count));
        return false;
    }
    return count > 0 && text[0] == '1';
}
