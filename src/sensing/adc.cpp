#include "sensing/adc.hpp"

#include "util/util.hpp"

#include <array>
#include <cassert>
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

// A failed read gives 0: the channels are polled every cycle, the next read may succeed.
int32_t read_channel(size_t slot) {
    int32_t value = 0;
    sysfs_read_int(channel_fds[slot], value);
    return value;
}

} // namespace

int adc_init(udev *udev) {
    assert(udev);
    channel_fds.fill(-1);
    for (size_t slot = 0; slot < channel_attrs.size(); ++slot) {
        channel_fds[slot] = open_iio_attr(udev, vadc_name, channel_attrs[slot]);
        if (channel_fds[slot] < 0) {
            std::fprintf(stderr, "%d open failed\n", static_cast<int>(slot));
            return channel_fds[slot];
        }
    }
    return 0;
}

void adc_deinit() {
    for (int &fd : channel_fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
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
