// SPDX-License-Identifier: MIT
#include "sensing/bcl.hpp"

#include "util/console.hpp"
#include "util/util.hpp"

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// The limiter is an hwmon device whose number the kernel assigns at boot.
constexpr const char *limiter_name = "c400000.spmi:pmic@1:sensor@4700";
constexpr const char *platform_enable_path =
    "/sys/bus/platform/devices/c400000.spmi:pmic@1:sensor@4700/bcl_enable";
constexpr const char *throttle_accum_path = "/sys/kernel/debug/dri/0/bcl_throttle_accum";

constexpr int32_t default_margin_mv = 800;
constexpr int32_t vbat_uv_per_base_mv = 2000; // the base is half the battery voltage

constexpr size_t slot_enable = 0;
constexpr size_t slot_level0 = 1; // in0_min
constexpr size_t slot_level1 = 2; // in0_lcrit
constexpr std::array<const char *, 3> attr_names = {"in0_enable", "in0_min", "in0_lcrit"};

// Thresholds restored at shutdown, and the enable state at start-up and shutdown.
constexpr int32_t shutdown_level0_mv = 2800;
constexpr int32_t shutdown_level1_mv = 2600;
constexpr int32_t in0_enable_running = 0;
constexpr int32_t in0_enable_shutdown = 1;

std::array<int, 3> attr_fds = {-1, -1, -1};
std::array<attr_path_text, 3> attr_paths{}; // where each attribute was found
udev *lookup_udev = nullptr;                // for looking the limiter up again once it has gone
// A read or write failed with ENODEV: the limiter may have gone; the next check tells.
bool limiter_suspect = false;
bool bcl_active = false;

void close_attrs() {
    for (int &fd : attr_fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

int open_attr(size_t slot, lookup_report report) {
    return open_hwmon_attr(lookup_udev, limiter_name, attr_names[slot], &attr_paths[slot], report);
}

bool all_attrs_open() {
    for (const int fd : attr_fds) {
        if (fd < 0) {
            return false;
        }
    }
    return true;
}

// What init sets: the platform switch on, the hwmon's own enable off while the daemon runs.
void take_control() {
    bcl_platform_enable();
    if (sysfs_write_int(attr_fds[slot_enable], in0_enable_running) != 0) {
        console_print(stderr, console_level::err, "%d disable failed\n", 0);
    }
}

// A limiter whose driver went away keeps no file of the daemon's open; its thresholds are
// neither read nor written until it is found again.
int32_t read_attr_slot(size_t slot) {
    if (!bcl_active || attr_fds[slot] < 0) {
        return -1;
    }
    int32_t value = 0;
    if (sysfs_read_int(attr_fds[slot], value) < 0 && errno == ENODEV) {
        limiter_suspect = true;
    }
    return value;
}

int write_attr_slot(size_t slot, int32_t value) {
    if (attr_fds[slot] < 0) {
        return -1;
    }
    return sysfs_write_int(attr_fds[slot], value);
}

// A threshold file that has gone was reported once; it is not written until found again.
void set_threshold(size_t slot, int32_t value_mv, const char *failure_format) {
    if (attr_fds[slot] < 0) {
        return;
    }
    const int result = sysfs_write_int(attr_fds[slot], value_mv);
    if (result < 0) {
        limiter_suspect = limiter_suspect || errno == ENODEV;
        console_print(stderr, console_level::err, failure_format, result);
    }
}

// Whether the file of the slot has gone; a gone one is reported and closed.
void drop_if_gone(size_t slot) {
    // Nothing notifies these files: a read changes nothing.
    if (attr_fds[slot] < 0 || !sysfs_file_is_gone(attr_fds[slot])) {
        return;
    }
    drop_lost_kept_file(attr_fds[slot], attr_paths[slot]);
}

} // namespace

int32_t bcl_margin_mv(const char *env_text) {
    // The margin line prints this 32-bit value, so the threshold must follow it too.
    return env_text == nullptr ? default_margin_mv : parse_decimal(env_text);
}

int32_t bcl_threshold_mv(int32_t vbat_uv, int64_t margin_mv, int32_t lowest_mv) {
    const int64_t base_mv = vbat_uv / vbat_uv_per_base_mv;
    // Compared before subtracting, so no margin can overflow the difference.
    if (margin_mv >= base_mv - lowest_mv) {
        return lowest_mv;
    }
    if (margin_mv <= base_mv - BCL_LEVEL_MAX_MV) {
        return BCL_LEVEL_MAX_MV;
    }
    return static_cast<int32_t>(base_mv - margin_mv);
}

int bcl_init(udev *udev) {
    assert(udev);
    attr_fds.fill(-1);
    bcl_active = false;
    limiter_suspect = false;
    lookup_udev = udev;
    for (size_t slot = 0; slot < attr_names.size(); ++slot) {
        attr_fds[slot] = open_attr(slot, lookup_report::verbose);
        if (attr_fds[slot] < 0) {
            // The daemon runs on without following thresholds.
            console_print(stderr, console_level::err, "%d open failed, disabling BCL scaling\n",
                          static_cast<int>(slot));
            close_attrs();
            return 0;
        }
    }
    bcl_active = true;
    take_control();
    return 0;
}

void bcl_deinit() {
    if (!bcl_active) {
        return;
    }
    write_attr_slot(slot_level1, shutdown_level1_mv);
    write_attr_slot(slot_level0, shutdown_level0_mv);
    write_attr_slot(slot_enable, in0_enable_shutdown);
    close_attrs();
    bcl_active = false;
    lookup_udev = nullptr;
}

void bcl_check_files() {
    if (!bcl_active) {
        return; // never found at start-up: the daemon runs without following thresholds
    }
    const bool was_complete = all_attrs_open();
    if (was_complete && !limiter_suspect) {
        return; // read and written every cycle: a gone limiter shows there first
    }
    limiter_suspect = false;
    for (size_t slot = 0; slot < attr_fds.size(); ++slot) {
        drop_if_gone(slot);
    }
    for (size_t slot = 0; slot < attr_fds.size(); ++slot) {
        if (attr_fds[slot] < 0) {
            attr_fds[slot] = open_attr(slot, lookup_report::quiet);
            if (attr_fds[slot] >= 0) {
                report_kept_file_back(attr_paths[slot]);
            }
        }
    }
    // A driver bound again starts from its own defaults.
    if (!was_complete && all_attrs_open()) {
        take_control();
    }
}

void bcl_update_thresholds(int32_t vbat_uv) {
    if (!bcl_active || vbat_uv < BCL_VBAT_MIN_UV || vbat_uv > BCL_VBAT_MAX_UV) {
        return;
    }
    // Read anew every cycle.
    const int32_t margin0_mv = bcl_margin_mv(std::getenv("BCL_L0"));
    const int32_t margin1_mv = bcl_margin_mv(std::getenv("BCL_L1"));
    const int32_t level1_mv = bcl_threshold_mv(vbat_uv, margin1_mv, BCL_L1_MIN_MV);
    console_print(stderr, console_level::info, "PM8550-BCL: lvl0 diff threshold: %d\n", margin0_mv);
    console_print(stderr, console_level::info, "PM8550-BCL: lvl1 diff threshold: %d\n", margin1_mv);
    const int32_t level0_mv = bcl_threshold_mv(vbat_uv, margin0_mv, BCL_L0_MIN_MV);
    set_threshold(slot_level0, level0_mv, "PM8550-BCL: Failed to set lvl0 threshold: %d\n");
    set_threshold(slot_level1, level1_mv, "PM8550-BCL: Failed to set lvl1 threshold: %d\n");
}

bool bcl_platform_enabled() {
    return bcl_active && read_attr_bool(platform_enable_path);
}

int32_t bcl_read_in0_min() {
    return read_attr_slot(slot_level0);
}
int32_t bcl_read_in0_lcrit() {
    return read_attr_slot(slot_level1);
}
int32_t bcl_read_in0_enable() {
    return read_attr_slot(slot_enable);
}

void bcl_read_throttle_accum(char *buffer, size_t size) {
    if (size == 0) {
        return;
    }
    if (!bcl_active || read_attr_string(throttle_accum_path, buffer, size) != 0) {
        buffer[0] = '\0';
    }
}

int bcl_platform_enable() {
    return write_file(platform_enable_path, "1");
}
int bcl_platform_disable() {
    return write_file(platform_enable_path, "0");
}
