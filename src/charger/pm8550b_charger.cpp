// SPDX-License-Identifier: MIT
#include "charger/pm8550b_charger.hpp"

#include "util/console.hpp"
#include "util/util.hpp"

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

// The charger's directory is fixed by its driver; it is not looked up through udev.
#define CHARGER_DIR "/sys/class/power_supply/pm8550b-charger/"

constexpr const char *constant_charge_voltage_path = CHARGER_DIR "constant_charge_voltage";
constexpr const char *constant_charge_current_path = CHARGER_DIR "constant_charge_current";
constexpr const char *termination_enable_path = CHARGER_DIR "termination_enable";
constexpr const char *charging_pause_path = CHARGER_DIR "charging_pause";
constexpr const char *charging_enable_path = CHARGER_DIR "charging_enable";
constexpr const char *aicl_enable_path = CHARGER_DIR "aicl_enable";
constexpr const char *aicl_rerun_path = CHARGER_DIR "aicl_rerun";
constexpr const char *qph2_allow_path = CHARGER_DIR "qph2_allow";
constexpr const char *qph2_resume_path = CHARGER_DIR "qph2_resume";
constexpr const char *qph2_path = CHARGER_DIR "qph2";
constexpr const char *aicl_status_path = CHARGER_DIR "aicl_status";
constexpr const char *uevent_path = CHARGER_DIR "uevent";

#undef CHARGER_DIR

// The kernel's texts for a power supply's status, indexed by charger status value.
constexpr std::array<const char *, 5> status_names = {
    "Unknown", "Charging", "Discharging", "Not charging", "Full",
};

// The driver notifies both flags; level-triggered, so a read is what ends a notification.
constexpr uint32_t notified_attr_events = EPOLLPRI | EPOLLERR;

// A flag file the driver notifies on, kept open and reread from offset 0.
struct notified_attr {
    const char *path;
    epoll_callback callback;
    const char *read_error_format;
    int fd;
    bool in_epoll_set;
};

notified_attr qph2_attr = {qph2_path, pm8550b_charger_qph2_changed, "read qph failed on %d\n", -1,
                           false};
notified_attr aicl_status_attr = {aicl_status_path, pm8550b_charger_aicl_changed,
                                  "read aicl status failed on %d\n", -1, false};
int watching_epoll_fd = -1;
charger_reading reading{};

const char *switch_text(bool on) {
    return on ? "1" : "0";
}

int write_number(const char *path, int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    text[sizeof text - 1] = '\0';
    write_file(path, text);
    return 0;
}

// Opens a notified attribute; it is kept open and reread from offset 0.
int open_notified_attr(notified_attr &attr, int index) {
    attr.fd = open(attr.path, O_RDONLY | O_CLOEXEC);
    if (attr.fd < 0) {
        console_print(stderr, console_level::err, "%d open failed\n", index);
    }
    return attr.fd;
}

int watch(notified_attr &attr) {
    const int result = epoll_watch(watching_epoll_fd, attr.fd, notified_attr_events, attr.callback);
    attr.in_epoll_set = result == 0;
    return result;
}

void unwatch(notified_attr &attr) {
    if (attr.in_epoll_set) {
        epoll_unwatch(watching_epoll_fd, attr.fd);
        attr.in_epoll_set = false;
    }
}

// Asks the driver for a change event with the charger's full property set.
int request_change_event() {
    const int fd = open(uevent_path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open Charger uevent failed on %d\n", fd);
        return fd;
    }
    const ssize_t written = write(fd, "change", 6);
    close(fd);
    if (written < 0) {
        console_print(stderr, console_level::err, "Change Notify Charger uevent failed on %d\n",
                      static_cast<int>(written));
        return static_cast<int>(written);
    }
    return 0;
}

// Reads a notified "1" flag. A failed read gives false, never a stale true. An unbound
// driver leaves the file ready for ever with every read failing ENODEV: it leaves the epoll
// set then, so the loss is reported once; the next check of the files finds out whether the
// charger is gone or was only briefly unreadable.
bool read_flag(notified_attr &attr) {
    bool flag = false;
    const int result = sysfs_read_string_as_bool(attr.fd, "1", flag);
    if (result < 0) {
        const int read_errno = errno;
        console_print(stderr, console_level::err, attr.read_error_format, result);
        if (read_errno == ENODEV) {
            unwatch(attr);
        }
    }
    return flag;
}

// A flag file found again: read at once (a new file has no notification pending), then
// watched.
void take_up(notified_attr &attr) {
    attr.callback();
    watch(attr);
}

// A flag file whose charger went away fails every read; once the charger is back its path
// names a new file, opened anew.
void check_notified_attr(notified_attr &attr) {
    if (attr.fd >= 0) {
        if (attr.in_epoll_set && sysfs_notification_pending(attr.fd)) {
            attr.callback(); // as the loop would; a read failing ENODEV leaves the set
        }
        if (attr.in_epoll_set) {
            return;
        }
        if (!sysfs_file_is_gone(attr.fd)) { // a read failed while the charger stayed
            take_up(attr);
            return;
        }
        drop_lost_kept_file(attr.fd, attr.path);
    }
    attr.fd = open(attr.path, O_RDONLY | O_CLOEXEC);
    if (attr.fd >= 0) {
        report_kept_file_back(attr.path);
        take_up(attr);
    }
}

void close_if_open(notified_attr &attr) {
    if (attr.fd >= 0) {
        close(attr.fd);
        attr.fd = -1;
    }
    attr.in_epoll_set = false;
}

} // namespace

int pm8550b_charger_init(int32_t voltage_uv, int32_t current_ua, int epoll_fd) {
    assert(epoll_fd >= 0);
    qph2_attr.fd = -1;
    aicl_status_attr.fd = -1;
    watching_epoll_fd = epoll_fd;

    // Start-up settings; a failing write only shows write_file's messages.
    pm8550b_charger_set_constant_charge_voltage(voltage_uv);
    pm8550b_charger_set_constant_charge_current(current_ua);
    pm8550b_charger_set_termination_enable(true);
    write_file(charging_pause_path, "0");
    pm8550b_charger_set_charging_enable(true);

    // Not read here: an attribute not yet read reports a notification at once, so the
    // loop's first wait runs both callbacks and fills the flags.
    if (open_notified_attr(qph2_attr, 0) < 0) {
        return qph2_attr.fd;
    }
    if (open_notified_attr(aicl_status_attr, 1) < 0) {
        return aicl_status_attr.fd;
    }
    int result = watch(qph2_attr);
    if (result < 0) {
        return result;
    }
    result = watch(aicl_status_attr);
    if (result < 0) {
        return result;
    }
    return request_change_event();
}

void pm8550b_charger_deinit() {
    // Closing also removes the files from the epoll set.
    close_if_open(qph2_attr);
    close_if_open(aicl_status_attr);
    watching_epoll_fd = -1;
}

void pm8550b_charger_check_files() {
    if (watching_epoll_fd < 0) {
        return; // not initialised
    }
    check_notified_attr(qph2_attr);
    check_notified_attr(aicl_status_attr);
}

void pm8550b_charger_process_udev(udev_device *device) {
    assert(device);
    pm8550b_charger_process_properties(udev_device_properties(device));
    // A charger whose driver was bound again has new flag files: take them up at once.
    const char *action = udev_device_get_action(device);
    if (action != nullptr && std::strcmp(action, "add") == 0) {
        pm8550b_charger_check_files();
    }
}

void pm8550b_charger_process_properties(const property_source &properties) {
    const char *online = property_value(properties, "POWER_SUPPLY_ONLINE");
    const char *status = property_value(properties, "POWER_SUPPLY_STATUS");
    const char *voltage = property_value(properties, "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE");
    const char *current = property_value(properties, "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT");

    if (online != nullptr) {
        reading.online = parse_decimal64(online) != 0;
    } else {
        console_print(stderr, console_level::warning, "POWER_SUPPLY_ONLINE == NULL\n");
    }
    if (voltage != nullptr) {
        reading.cv_uv = parse_decimal(voltage);
    } else {
        console_print(stderr, console_level::warning,
                      "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE == NULL\n");
    }
    if (current != nullptr) {
        reading.cc_ua = parse_decimal(current);
    } else {
        console_print(stderr, console_level::warning,
                      "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT == NULL\n");
    }
    // Every event carries the status; a missing one is not kept from an earlier event.
    reading.status = charger_status_parse(status);
}

bool pm8550b_charger_qph2_changed() {
    reading.qph2_active = read_flag(qph2_attr);
    console_print(stderr, console_level::info, "qph state changed %d\n",
                  reading.qph2_active ? 1 : 0);
    return true;
}

bool pm8550b_charger_aicl_changed() {
    reading.aicl_complete = read_flag(aicl_status_attr);
    console_print(stderr, console_level::info, "aicl_complete %d\n", reading.aicl_complete ? 1 : 0);
    return true;
}

charger_reading pm8550b_charger_get_reading() {
    return reading;
}

void pm8550b_charger_set_aicl_enable(bool enable) {
    write_file(aicl_enable_path, switch_text(enable));
    if (!enable) {
        // A disabled AICL has no completed run, whatever the write did.
        reading.aicl_complete = false;
    }
}

int pm8550b_charger_aicl_rerun() {
    return write_file(aicl_rerun_path, "1");
}

int pm8550b_charger_set_qph2_allow(bool allow) {
    return write_file(qph2_allow_path, switch_text(allow));
}

int pm8550b_charger_qph2_resume() {
    return write_file(qph2_resume_path, "1");
}

int pm8550b_charger_set_termination_enable(bool enable) {
    return write_file(termination_enable_path, switch_text(enable));
}

int pm8550b_charger_set_constant_charge_current(int32_t current_ua) {
    return write_number(constant_charge_current_path, current_ua);
}

int pm8550b_charger_set_constant_charge_voltage(int32_t voltage_uv) {
    return write_number(constant_charge_voltage_path, voltage_uv);
}

int pm8550b_charger_set_charging_enable(bool enable) {
    return write_file(charging_enable_path, switch_text(enable));
}

const char *charger_status_name(int32_t status) {
    // Only parsed values reach here; anything else names itself unknown, never past the table.
    const bool known = status >= 0 && static_cast<size_t>(status) < status_names.size();
    const char *name = status_names[known ? static_cast<size_t>(status) : 0];
    return name;
}

int32_t charger_status_parse(const char *text) {
    if (text == nullptr) {
        console_print(stderr, console_level::warning, "Charger Status string is NULL\n");
        return CHARGER_STATUS_UNKNOWN;
    }
    // Over the text's own length: a prefix of a name selects it, "" selects "Unknown".
    const size_t length = std::strlen(text);
    for (size_t status = 0; status < status_names.size(); ++status) {
        if (std::strncmp(text, status_names[status], length) == 0) {
            return static_cast<int32_t>(status);
        }
    }
    console_print(stderr, console_level::warning, "Unknown Charger Status %s\n", text);
    return CHARGER_STATUS_UNKNOWN;
}
