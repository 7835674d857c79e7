#include "sensing/bcl.hpp"

#include "util/util.hpp"

#include <array>
#include <cassert>
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
bool bcl_active = false;

void close_attrs() {
    for (int &fd : attr_fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

int32_t read_attr_slot(size_t slot) {
    if (!bcl_active) {
        return -1;
    }
    int32_t value = 0;
    sysfs_read_int(attr_fds[slot], value);
    return value;
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
    for (size_t slot = 0; slot < attr_names.size(); ++slot) {
        attr_fds[slot] = open_hwmon_attr(udev, limiter_name, attr_names[slot]);
        if (attr_fds[slot] < 0) {
            // The daemon runs on without following thresholds.
            std::fprintf(stderr, "%d open failed, disabling BCL scaling\n", static_cast<int>(slot));
            close_attrs();
            return 0;
        }
    }
    bcl_platform_enable();
    bcl_active = true;
    if (sysfs_write_int(attr_fds[slot_enable], in0_enable_running) != 0) {
        std::fprintf(stderr, "%d disable failed\n", 0);
    }
    return 0;
}

void bcl_deinit() {
    if (!bcl_active) {
        return;
    }
    sysfs_write_int(attr_fds[slot_level1], shutdown_level1_mv);
    sysfs_write_int(attr_fds[slot_level0], shutdown_level0_mv);
    sysfs_write_int(attr_fds[slot_enable], in0_enable_shutdown);
    close_attrs();
    bcl_active = false;
}

void bcl_update_thresholds(int32_t vbat_uv) {
    if (!bcl_active || vbat_uv < BCL_VBAT_MIN_UV || vbat_uv > BCL_VBAT_MAX_UV) {
        return;
    }
    // Read anew every cycle.
    const int32_t margin0_mv = bcl_margin_mv(std::getenv("BCL_L0"));
    const int32_t margin1_mv = bcl_margin_mv(std::getenv("BCL_L1"));
    const int32_t level1_mv = bcl_threshold_mv(vbat_uv, margin1_mv, BCL_L1_MIN_MV);
    std::fprintf(stderr, "PM8550-BCL: lvl0 diff threshold: %d\n", margin0_mv);
    std::fprintf(stderr, "PM8550-BCL: lvl1 diff threshold: %d\n", margin1_mv);
    const int32_t level0_mv = bcl_threshold_mv(vbat_uv, margin0_mv, BCL_L0_MIN_MV);
    int result = sysfs_write_int(attr_fds[slot_level0], level0_mv);
    if (result < 0) {
        std::fprintf(stderr, "PM8550-BCL: Failed to set lvl0 threshold: %d\n", result);
    }
    result = sysfs_write_int(attr_fds[slot_level1], level1_mv);
    if (result < 0) {
        std::fprintf(stderr, "PM8550-BCL: Failed to set lvl1 threshold: %d\n", result);
    }
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
