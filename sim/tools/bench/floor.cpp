// SPDX-License-Identifier: MIT
// The system calls one update cycle cannot do without: what the daemon must read, write and
// send in one loop pass of each steady state, one call per operation.
#include "bench/measure.hpp"

namespace bench {

namespace {

// Shared by both states: the parts every cycle does.
std::vector<FloorItem> every_cycle() {
    return {
        {"epoll_pwait", 1, "the loop's wait"},
        {"lseek", 4, "4 ADC channels, kept open: seek to 0"},
        {"read", 4, "4 ADC channels: read"},
        {"openat", 5, "internal gauge: 5 attributes by path"},
        {"read", 5, "internal gauge: 5 attributes"},
        {"close", 5, "internal gauge: 5 attributes"},
        {"newfstatat", 4, "4 manual control files: regular file? (absent here)"},
        {"write", 6, "report lines 1-6 on stderr, one write each"},
        {"openat", 1, "report: throttle accumulator"},
        {"read", 1, "report: throttle accumulator"},
        {"close", 1, "report: throttle accumulator"},
        {"newfstatat", 1, "report: bcl_enable regular file?"},
        {"openat", 1, "report: bcl_enable"},
        {"read", 1, "report: bcl_enable"},
        {"close", 1, "report: bcl_enable"},
        {"lseek", 2, "report: in0_min, in0_lcrit, kept open: seek to 0"},
        {"read", 2, "report: in0_min, in0_lcrit"},
        {"openat", 6, "6 status files: open .tmpfile"},
        {"write", 6, "6 status files: content"},
        {"close", 6, "6 status files: close"},
        {"rename", 6, "6 status files: rename into place"},
        {"openat", 1, "battery_percent: capacity read afresh"},
        {"read", 1, "battery_percent: capacity"},
        {"close", 1, "battery_percent: capacity"},
        {"write", 2, "limiter: 2 threshold lines on stderr"},
        {"write", 2, "limiter: in0_min, in0_lcrit, kept open"},
        {"sendmsg", 1, "watchdog heartbeat"},
    };
}

} // namespace

std::vector<FloorItem> syscall_floor(State state) {
    std::vector<FloorItem> items = every_cycle();
    if (state == State::idle_on_battery) {
        items.push_back({"write", 3, "report lines 7, 8, 21 on stdout (headstrap, no pack)"});
        return items;
    }
    const std::vector<FloorItem> usb_with_pack = {
        {"recvmsg", 1, "the TCPM event from the udev monitor"},
        {"openat", 5, "pack gauge: 5 attributes by path"},
        {"read", 5, "pack gauge: 5 attributes"},
        {"close", 5, "pack gauge: 5 attributes"},
        {"newfstatat", 1, "cross-charger present? (its directory)"},
        {"openat", 9, "cross-charger: 9 attributes by path"},
        {"read", 9, "cross-charger: 9 attributes"},
        {"close", 9, "cross-charger: 9 attributes"},
        {"write", 15, "report lines 7-21 on stdout, one write each"},
        {"openat", 2, "pack policy: use_internal_battery, enable_cross_charger"},
        {"write", 2, "pack policy: the two commands"},
        {"close", 2, "pack policy: the two commands"},
        {"openat", 1, "charger: constant_charge_current"},
        {"write", 1, "charger: constant_charge_current"},
        {"close", 1, "charger: constant_charge_current"},
    };
    items.insert(items.end(), usb_with_pack.begin(), usb_with_pack.end());
    return items;
}

} // namespace bench
