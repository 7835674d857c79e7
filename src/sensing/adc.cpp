// SPDX-License-Identifier: MIT
#include "sensing/adc.hpp"

#include "util/console.hpp"
#include "util/util.hpp"

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

// The PMIC voltage ADC is an IIO device whose number the kernel assigns at boot.
constexpr const char *vadc_name = "c400000.spmi:pmic@0:vadc@9000";

constexpr size_t slot_vbat = 0;
constexpr size_t slot_vusb = 1;
constexpr size_t slot_ichg = 2;
constexpr size_t slot_iin = 3;

// Processed values, in µV and µA as the daemon uses them; indexed by slot.
constexpr std::array<const char *, 4> channel_attrs = {
    "in_voltage_pm8550b_vbat_sns_chgr_input",
    "in_voltage_pm8550b_usb_sns_v_div_16_input",
    "in_current_pm8550b_ichg_fb_input",
    "in_current_pm8550b_iin_fb_input",
};

std::array<int, 4> channel_fds = {-1, -1, -1, -1};
std::array<attr_path_text, 4> channel_paths{}; // where each channel was found
// A read failed with ENODEV: the device may have gone; the next check of the files tells.
std::array<bool, 4> channel_suspect = {false, false, false, false};
udev *lookup_udev = nullptr; // for looking the ADC up again once it has gone
bool initialised = false;

int open_channel(size_t slot, lookup_report report) {
    return open_iio_attr(lookup_udev, vadc_name, channel_attrs[slot], &channel_paths[slot], report);
}

// A failed read gives 0: the channels are polled every cycle, the next read may succeed.
// So does a channel whose device has gone, until it is found again. Reading before a
// successful init stays a programming error (the read asserts on the closed descriptor).
int32_t read_channel(size_t slot) {
    int32_t value = 0;
    if (initialised && channel_fds[slot] < 0) {
        return value;
    }
    if (sysfs_read_int(channel_fds[slot], value) < 0 && errno == ENODEV) {
        channel_suspect[slot] = true;
    }
    return value;
}

void check_channel(size_t slot) {
    if (channel_fds[slot] >= 0) {
        // Read every cycle: only a channel whose read failed is looked at again.
        if (!channel_suspect[slot] || !sysfs_file_is_gone(channel_fds[slot])) {
            channel_suspect[slot] = false;
            return;
        }
        drop_lost_kept_file(channel_fds[slot], channel_paths[slot]);
    }
    // The kernel may number the device anew when its driver comes back: looked up again.
    channel_fds[slot] = open_channel(slot, lookup_report::quiet);
    if (channel_fds[slot] >= 0) {
        channel_suspect[slot] = false;
        report_kept_file_back(channel_paths[slot]);
    }
}

} // namespace

int adc_init(udev *udev) {
    assert(udev);
    channel_fds.fill(-1);
    channel_suspect.fill(false);
    lookup_udev = udev;
    for (size_t slot = 0; slot < channel_attrs.size(); ++slot) {
        channel_fds[slot] = open_channel(slot, lookup_report::verbose);
        if (channel_fds[slot] < 0) {
            console_print(stderr, console_level::err, "%d open failed\n", static_cast<int>(slot));
            return channel_fds[slot];
        }
    }
    initialised = true;
    return 0;
}

void adc_deinit() {
    for (int &fd : channel_fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    initialised = false;
    lookup_udev = nullptr;
}

void adc_check_files() {
    if (!initialised) {
        return;
    }
    for (size_t slot = 0; slot < channel_fds.size(); ++slot) {
        check_channel(slot);
    }
}

int32_t adc_read_vbat() {
    return read_channel(slot_vbat);
}
int32_t adc_read_vusb() {
    return read_channel(slot_vusb);
}
int32_t adc_read_ichg() {
    return read_channel(slot_ichg);
}
int32_t adc_read_iin() {
    return read_channel(slot_iin);
}
