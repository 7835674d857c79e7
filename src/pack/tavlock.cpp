// SPDX-License-Identifier: MIT
#include "pack/tavlock.hpp"

#include "util/console.hpp"
#include "util/util.hpp"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <string_view>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

constexpr std::string_view controller_dir = "/sys/class/power_supply/pellgrave-hotswap/";
constexpr const char *controller_name = "pellgrave-hotswap";

using attr_path = sysfs_attr_path;

consteval attr_path controller_path(std::string_view attribute) {
    return sysfs_attr_path_join(controller_dir, attribute);
}

constexpr attr_path uevent_path = controller_path("uevent");
constexpr attr_path interrupt_clear_path = controller_path("interrupt_clear");
constexpr attr_path enable_cross_charger_path = controller_path("enable_cross_charger");
constexpr attr_path charge_from_int_path = controller_path("charge_from_int");
constexpr attr_path use_internal_battery_path = controller_path("use_internal_battery");

struct watched_attribute {
    int fd;
    attr_path path;
};

// The kernel signals a change of these attributes as priority/error readiness on an open
// descriptor. The descriptors only wake the loop; the refresh reads every file by path.
watched_attribute tavlock_attr_files[TAVLOCK_ATTRIBUTE_COUNT] = {
    {-1, controller_path("realtime_pack_connected")},
    {-1, controller_path("internal_voltage_ok")},
    {-1, controller_path("removable_voltage_ok")},
    {-1, controller_path("realtime_cross_chg_vint_from_vrem")},
    {-1, controller_path("realtime_cross_chg_vrem_from_vint")},
    {-1, controller_path("internal_active")},
    {-1, controller_path("removable_active")},
    {-1, controller_path("interrupt_vint_not_valid")},
    {-1, controller_path("realtime_hw_batt_control")},
    {-1, controller_path("realtime_use_int_batt")},
    {-1, controller_path("interrupt_charger_fault")},
    {-1, controller_path("interrupt_pack_installed")},
    {-1, controller_path("interrupt_pack_removed")},
};

struct status_bit {
    tavlock_attribute attribute;
    int32_t mask;
};

constexpr status_bit status_bits[] = {
    {TAVLOCK_REALTIME_HW_BATT_CONTROL, 0x01}, {TAVLOCK_REALTIME_USE_INT_BATT, 0x02},
    {TAVLOCK_INTERRUPT_CHARGER_FAULT, 0x04},  {TAVLOCK_INTERRUPT_PACK_INSTALLED, 0x08},
    {TAVLOCK_INTERRUPT_PACK_REMOVED, 0x10},   {TAVLOCK_INTERRUPT_VINT_NOT_VALID, 0x20},
};

constexpr uint32_t notification_events = EPOLLPRI | EPOLLERR | EPOLLET;

pack_status live{};
// What "realtime_pack_connected" read at the last refresh, before the external fuel
// gauge's presence was taken into account.
bool pack_attribute_connected = false;
// The pack presence the last udev event of the controller reported.
bool last_udev_present = false;
int watching_epoll_fd = -1;
// The controller's files vanished (its driver unbound) and have not been found again.
bool controller_lost = false;

int32_t power_source_from(bool internal_active, bool removable_active) {
    if (internal_active) {
        return POWER_SOURCE_INTERNAL;
    }
    return removable_active ? POWER_SOURCE_EXTERNAL : POWER_SOURCE_NONE;
}

int32_t cross_charge_from(bool vint_from_vrem, bool vrem_from_vint) {
    if (vint_from_vrem) {
        return CROSS_CHARGE_EXT_TO_INT;
    }
    return vrem_from_vint ? CROSS_CHARGE_INT_TO_EXT : CROSS_CHARGE_OFF;
}

bool readings_differ(const fuel_gauge_reading &a, const fuel_gauge_reading &b) {
    return a.voltage_avg != b.voltage_avg || a.current_avg != b.current_avg ||
           a.capacity != b.capacity || a.time_to_empty_avg != b.time_to_empty_avg ||
           a.time_to_full_avg != b.time_to_full_avg;
}

bool readings_differ(const cross_charger_reading &a, const cross_charger_reading &b) {
    return a.constant_charge_voltage != b.constant_charge_voltage ||
           a.constant_charge_voltage_max != b.constant_charge_voltage_max ||
           a.constant_charge_current != b.constant_charge_current ||
           a.constant_charge_current_max != b.constant_charge_current_max ||
           a.input_current_limit != b.input_current_limit ||
           a.input_voltage_limit != b.input_voltage_limit ||
           a.precharge_current != b.precharge_current ||
           a.charge_term_current != b.charge_term_current || a.status != b.status ||
           a.charge_type != b.charge_type || a.health != b.health;
}

// The kernel answers "change" written to uevent with a change event for the controller,
// which tells the daemon whether the pack is fitted.
int32_t request_change_event() {
    const int fd = open(uevent_path.text, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open Charger uevent failed on %d\n", fd);
        return fd;
    }
    constexpr std::string_view change = "change";
    const ssize_t written = write(fd, change.data(), change.size());
    close(fd);
    if (written < 0) {
        console_print(stderr, console_level::err, "Change Notify Charger uevent failed on %d\n",
                      static_cast<int>(written));
        return static_cast<int32_t>(written);
    }
    return 0;
}

// A file that cannot be watched costs only its own wake-ups: the refresh reads by path.
// Returns whether the file is watched; a quiet attempt (the controller looked for again
// while it is gone) prints nothing.
bool watch_attribute(watched_attribute &entry, lookup_report report) {
    entry.fd = open(entry.path.text, O_RDONLY);
    if (entry.fd < 0) {
        const int error = errno;
        if (report == lookup_report::verbose) {
            console_print(stderr, console_level::err, "ERROR: epoll open %s failed: %s",
                          entry.path.text, std::strerror(error));
        }
        return false;
    }
    // Never read, so never blocking; the flag keeps it that way should anyone try.
    const int flags = fcntl(entry.fd, F_GETFL);
    if (flags >= 0) {
        fcntl(entry.fd, F_SETFL, flags | O_NONBLOCK);
    }
    // Edge-triggered: an unread sysfs file stays ready, so only each new notification
    // may wake the loop.
    if (epoll_watch(watching_epoll_fd, entry.fd, notification_events, tavlock_refresh) < 0) {
        const int error = errno;
        console_print(stderr, console_level::err, "ERROR: epoll_ctl %s failed: %s", entry.path.text,
                      std::strerror(error));
        close(entry.fd);
        entry.fd = -1;
        return false;
    }
    return true;
}

// Closes the watched files whose controller has gone (the kernel never notifies a removed
// file again). Returns whether any had gone. The thirteen files go with their device, so
// the first open one stands for all; the read only re-arms its notification (the refresh
// reads every attribute by path).
bool drop_gone_attributes() {
    const watched_attribute *first_open = nullptr;
    for (const watched_attribute &entry : tavlock_attr_files) {
        if (entry.fd >= 0) {
            first_open = &entry;
            break;
        }
    }
    if (first_open == nullptr || !sysfs_file_is_gone(first_open->fd)) {
        return false;
    }
    for (watched_attribute &entry : tavlock_attr_files) {
        if (entry.fd >= 0 && sysfs_file_is_gone(entry.fd)) {
            close(entry.fd); // also leaves the epoll set
            entry.fd = -1;
        }
    }
    return true;
}

// Watches the files not watched yet (gone, or missing at start-up). Returns whether any
// file is watched anew.
bool watch_missing_attributes() {
    bool any_watched = false;
    for (watched_attribute &entry : tavlock_attr_files) {
        if (entry.fd < 0 && watch_attribute(entry, lookup_report::quiet)) {
            any_watched = true;
        }
    }
    return any_watched;
}

void take_up_pack() {
    if (!mp2652_is_initialised()) {
        write_file(interrupt_clear_path.text, "1");
        tavlock_enable_cross_charger(true);
        mp2652_init();
    }
    if (!fuel_gauge_is_present(BATTERY_EXTERNAL)) {
        fuel_gauge_find(BATTERY_EXTERNAL);
    }
}

void drop_pack() {
    mp2652_uninit();
    fuel_gauge_mark_absent(BATTERY_EXTERNAL);
}

} // namespace

pack_status tavlock_record_from(const pack_status &previous, const tavlock_attribute_values &values,
                                bool external_gauge_present, bool cross_charger_initialised) {
    pack_status record = previous;
    record.pack_connected = values[TAVLOCK_REALTIME_PACK_CONNECTED] && external_gauge_present;
    record.internal_voltage_ok = values[TAVLOCK_INTERNAL_VOLTAGE_OK];
    record.removable_voltage_ok = values[TAVLOCK_REMOVABLE_VOLTAGE_OK];
    record.power_source =
        power_source_from(values[TAVLOCK_INTERNAL_ACTIVE], values[TAVLOCK_REMOVABLE_ACTIVE]);
    record.cross_charge = cross_charge_from(values[TAVLOCK_CROSS_CHG_VINT_FROM_VREM],
                                            values[TAVLOCK_CROSS_CHG_VREM_FROM_VINT]);
    record.cross_charger_ready = cross_charger_initialised;
    record.status_bits = 0;
    for (const status_bit &bit : status_bits) {
        if (values[bit.attribute]) {
            record.status_bits |= bit.mask;
        }
    }
    return record;
}

bool tavlock_record_differs(const pack_status &a, const pack_status &b) {
    return a.headstrap_present != b.headstrap_present || a.pack_connected != b.pack_connected ||
           a.internal_voltage_ok != b.internal_voltage_ok ||
           a.removable_voltage_ok != b.removable_voltage_ok ||
           a.cross_charger_ready != b.cross_charger_ready || a.power_source != b.power_source ||
           a.cross_charge != b.cross_charge || a.status_bits != b.status_bits ||
           readings_differ(a.external_fuel_gauge, b.external_fuel_gauge) ||
           readings_differ(a.cross_charger, b.cross_charger);
}

bool tavlock_udev_connected(const char *present_property) {
    return present_property != nullptr && present_property[0] == '1';
}

bool tavlock_power_source_allowed(int32_t power_source, bool pack_connected) {
    if (power_source == POWER_SOURCE_INTERNAL) {
        return true;
    }
    return power_source == POWER_SOURCE_EXTERNAL && pack_connected;
}

// Cross-charging runs from the battery that powers the system into the other one.
bool tavlock_cross_charge_allowed(int32_t direction, int32_t power_source) {
    switch (direction) {
    case CROSS_CHARGE_OFF:
        return true;
    case CROSS_CHARGE_INT_TO_EXT:
        return power_source == POWER_SOURCE_INTERNAL;
    case CROSS_CHARGE_EXT_TO_INT:
        return power_source == POWER_SOURCE_EXTERNAL;
    default:
        return false;
    }
}

int32_t tavlock_init(udev *udev, int epoll_fd) {
    assert(udev != nullptr);
    assert(epoll_fd >= 0);
    for (watched_attribute &entry : tavlock_attr_files) {
        entry.fd = -1;
    }

    const int probe_fd = open_power_supply_attr(udev, controller_name, "status");
    if (probe_fd < 0) {
        console_print(stdout, console_level::info, "Tavlock Headstrap NOT found\n");
        return 0;
    }
    close(probe_fd);
    live.headstrap_present = true;
    live.cross_charger_ready = false;
    live.power_source = POWER_SOURCE_NONE;
    live.cross_charge = CROSS_CHARGE_OFF;
    console_print(stdout, console_level::info, "Found Tavlock Headstrap\n");

    const int32_t result = request_change_event();
    if (result < 0) {
        return result;
    }
    watching_epoll_fd = epoll_fd;
    for (watched_attribute &entry : tavlock_attr_files) {
        watch_attribute(entry, lookup_report::verbose);
    }
    tavlock_refresh();
    return 0;
}

void tavlock_check_files() {
    if (!live.headstrap_present || watching_epoll_fd < 0) {
        return; // not found at start-up: the controller is not looked for again
    }
    if (drop_gone_attributes() && !controller_lost) {
        controller_lost = true;
        report_kept_file_lost(controller_dir.data());
    }
    if (!watch_missing_attributes() || !controller_lost) {
        return;
    }
    controller_lost = false;
    report_kept_file_back(controller_dir.data());
    // As at start-up: the change event tells whether the pack is fitted.
    request_change_event();
    tavlock_refresh();
}

bool tavlock_refresh() {
    if (!live.headstrap_present) {
        return false;
    }
    const pack_status before = live;
    tavlock_attribute_values values{};
    for (size_t i = 0; i < TAVLOCK_ATTRIBUTE_COUNT; ++i) {
        values[i] = read_attr_bool(tavlock_attr_files[i].path.text);
    }
    pack_attribute_connected = values[TAVLOCK_REALTIME_PACK_CONNECTED];
    live = tavlock_record_from(live, values, fuel_gauge_is_present(BATTERY_EXTERNAL),
                               mp2652_is_initialised());
    return tavlock_record_differs(live, before);
}

pack_status tavlock_get_status() {
    if (live.headstrap_present) {
        // The pack's fuel gauge and the cross-charger also come and go by their own udev
        // events, which touch none of the watched attributes; the cycle those events
        // request must see them as they now are.
        live.pack_connected = pack_attribute_connected && fuel_gauge_is_present(BATTERY_EXTERNAL);
        live.cross_charger_ready = mp2652_is_initialised();
    }
    if (live.pack_connected) {
        live.external_fuel_gauge = fuel_gauge_get_reading(BATTERY_EXTERNAL);
        live.cross_charger = mp2652_read_all();
    }
    return live;
}

bool tavlock_process_udev(udev_device *device) {
    assert(device != nullptr);
    const bool changed = tavlock_process_properties(udev_device_properties(device));
    // A controller whose driver was bound again has new files: watch them at once.
    const char *action = udev_device_get_action(device);
    if (action != nullptr && std::strcmp(action, "add") == 0) {
        tavlock_check_files();
    }
    return changed;
}

bool tavlock_process_properties(const property_source &properties) {
    const char *status = property_value(properties, "POWER_SUPPLY_STATUS");
    const bool connected =
        tavlock_udev_connected(property_value(properties, "POWER_SUPPLY_PRESENT"));
    const bool changed = connected != last_udev_present;
    last_udev_present = connected;
    console_print(stdout, console_level::info,
                  "Tavlock status: %s, external battery connected: %i\n",
                  status != nullptr ? status : "UNKNOWN!", connected ? 1 : 0);
    if (connected) {
        take_up_pack();
    } else {
        drop_pack();
    }
    // Only a flip of the reported presence asks for a cycle from this event.
    static_cast<void>(tavlock_refresh());
    return changed;
}

void tavlock_set_power_source(int32_t power_source) {
    if (!tavlock_power_source_allowed(power_source, live.pack_connected)) {
        console_print(stderr, console_level::err,
                      "Tavlock: failed to set power source, invalid request");
        return;
    }
    write_file(use_internal_battery_path.text, power_source == POWER_SOURCE_INTERNAL ? "1" : "0");
}

void tavlock_set_cross_charge(int32_t direction) {
    if (!tavlock_cross_charge_allowed(direction, live.power_source)) {
        console_print(stderr, console_level::warning,
                      "Tavlock: failed to enable cross charging, illegal state\n");
        return;
    }
    if (direction == CROSS_CHARGE_OFF) {
        mp2652_set_enable(false);
        tavlock_enable_cross_charger(false);
        return;
    }
    mp2652_set_enable(true);
    write_file(charge_from_int_path.text, direction == CROSS_CHARGE_INT_TO_EXT ? "1" : "0");
}

void tavlock_enable_cross_charger(bool enable) {
    write_file(enable_cross_charger_path.text, enable ? "1" : "0");
}

int32_t tavlock_clear_interrupts() {
    return write_file(interrupt_clear_path.text, "1");
}

bool tavlock_is_present() {
    return live.headstrap_present;
}

// The watched descriptors stay open until the process ends; with the headstrap marked
// absent a late notification reads nothing.
void tavlock_deinit() {
    mp2652_uninit();
    fuel_gauge_mark_absent(BATTERY_EXTERNAL);
    live.headstrap_present = false;
    live.power_source = POWER_SOURCE_NONE;
    live.cross_charge = CROSS_CHARGE_OFF;
    live.cross_charger_ready = false;
    live.pack_connected = false;
    pack_attribute_connected = false;
    watching_epoll_fd = -1;
}
