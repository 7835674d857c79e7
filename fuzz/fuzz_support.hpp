// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz targets: the input formats, the checks that report a finding,
// and a private power-supply tree in which the pack's devices can be made to come and go.
#pragma once

#include "support/event_properties.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/mount.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fuzz {

// Standard error as it was at start-up: with -close_fd_mask libFuzzer silences the target's
// own standard error, but a finding must still be read.
inline const int report_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);

// A finding: the message names the broken property, the abort makes libFuzzer keep the
// input as a crash.
inline void check(bool holds, const char *what) {
    if (!holds) {
        dprintf(report_fd >= 0 ? report_fd : STDERR_FILENO, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// The input as one NUL-terminated text (it ends at the first NUL byte of the input, as a
// C string handed to the daemon would).
inline std::string text_of(const uint8_t *data, size_t size) {
    return std::string(reinterpret_cast<const char *>(data), size).c_str();
}

// Udev events as the kernel sends their properties: "KEY=VALUE" entries, each ended by a
// NUL byte; an empty entry ends one event and begins the next. A value may hold any byte
// but NUL, newlines included. An entry without "=" is a key with an empty value.
constexpr size_t max_events = 16;
constexpr size_t max_entries_per_event = 64;

inline std::vector<test_support::event_properties> events_of(const uint8_t *data, size_t size) {
    std::vector<test_support::event_properties> events(1);
    size_t entries = 0;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find('\0', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        const std::string_view entry = input.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) {
            if (events.size() == max_events) {
                break;
            }
            events.emplace_back();
            entries = 0;
            continue;
        }
        if (entries++ == max_entries_per_event) {
            continue;
        }
        const size_t equals = entry.find('=');
        const std::string_view key = entry.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : entry.substr(equals + 1);
        events.back().set(std::string(key), std::string(value));
    }
    return events;
}

// This process gets an empty /sys/class of its own (a tmpfs in a private mount namespace)
// with an empty power_supply directory. False, with a note, where that is not allowed (not
// root): the target then runs against the machine's real, usually empty, power-supply tree.
// A found pack gauge is linked as "BAT1" in the working directory, as the daemon does.
inline const std::filesystem::path power_supply_dir = "/sys/class/power_supply";

inline bool private_power_supply_tree() {
    static const bool entered = [] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("charged-fuzz", "/sys/class", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
            const int error = errno;
            std::fprintf(stderr, "fuzz: no private /sys/class (%s); the devices stay absent\n",
                         std::strerror(error));
            return false;
        }
        std::filesystem::create_directories(power_supply_dir);
        return true;
    }();
    return entered;
}

// Creates a device directory with the given attribute files, replacing an older one.
inline void make_device(const char *name,
                        std::initializer_list<std::pair<const char *, const char *>> attributes) {
    const std::filesystem::path dir = power_supply_dir / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const auto &[attribute, content] : attributes) {
        std::ofstream(dir / attribute) << content;
    }
}

inline void remove_device(const char *name) {
    std::filesystem::remove_all(power_supply_dir / name);
}

// Which devices of the headstrap exist during one input of a pack target: the bits of the
// input's first byte, so that the fuzzer explores every combination.
struct pack_devices {
    bool cross_charger;            // mp2652-charger
    bool cross_charger_attributes; // its attribute files, besides uevent
    bool pack_gauge;               // max1720x_bat_7-76
    bool pack_gauge_other_bus;     // max1720x_bat_3-76: the same suffix on another bus
    bool internal_gauge;           // max1720x_bat_7-36
    bool controller;               // pellgrave-hotswap
};

inline pack_devices pack_devices_from(uint8_t bits) {
    return pack_devices{(bits & 0x01) != 0, (bits & 0x02) != 0, (bits & 0x04) != 0,
                        (bits & 0x08) != 0, (bits & 0x10) != 0, (bits & 0x20) != 0};
}

inline void make_gauge(const char *name) {
    make_device(name, {{"capacity", "57\n"},
                       {"voltage_avg", "3912000\n"},
                       {"current_avg", "-412000\n"},
                       {"time_to_empty_avg", "11040\n"},
                       {"time_to_full_avg", "0\n"}});
}

inline bool operator==(const pack_devices &a, const pack_devices &b) {
    return a.cross_charger == b.cross_charger &&
           a.cross_charger_attributes == b.cross_charger_attributes &&
           a.pack_gauge == b.pack_gauge && a.pack_gauge_other_bus == b.pack_gauge_other_bus &&
           a.internal_gauge == b.internal_gauge && a.controller == b.controller;
}

// Gives the tree the devices with fresh contents, so that an input's result does not depend
// on what earlier inputs wrote. The cross-charger's "status" is the only file the daemon
// both writes and reads; while the same devices stay, only it is written anew.
inline void build_pack_devices(const pack_devices &devices) {
    static pack_devices built{};
    static bool any_built = false;
    if (any_built && devices == built) {
        if (devices.cross_charger && devices.cross_charger_attributes) {
            std::ofstream(power_supply_dir / "mp2652-charger" / "status") << "Not charging\n";
        }
        return;
    }
    built = devices;
    any_built = true;
    remove_device("mp2652-charger");
    if (devices.cross_charger && devices.cross_charger_attributes) {
        make_device("mp2652-charger", {{"uevent", ""},
                                       {"status", "Not charging\n"},
                                       {"charge_type", "Fast\n"},
                                       {"health", "Good\n"},
                                       {"constant_charge_current", "1000000\n"},
                                       {"constant_charge_voltage", "4200000\n"},
                                       {"input_current_limit", "2000000\n"},
                                       {"input_voltage_limit", "5000000\n"},
                                       {"precharge_current", "100000\n"},
                                       {"charge_term_current", "50000\n"},
                                       {"constant_charge_current_max", "3000000\n"},
                                       {"constant_charge_voltage_max", "4400000\n"}});
    } else if (devices.cross_charger) {
        make_device("mp2652-charger", {{"uevent", ""}});
    }
    remove_device("max1720x_bat_7-76");
    remove_device("max1720x_bat_3-76");
    remove_device("max1720x_bat_7-36");
    if (devices.pack_gauge) {
        make_gauge("max1720x_bat_7-76");
    }
    if (devices.pack_gauge_other_bus) {
        make_gauge("max1720x_bat_3-76");
    }
    if (devices.internal_gauge) {
        make_gauge("max1720x_bat_7-36");
    }
    remove_device("pellgrave-hotswap");
    if (devices.controller) {
        make_device("pellgrave-hotswap", {{"uevent", ""},
                                          {"status", "Charging\n"},
                                          {"interrupt_clear", "0\n"},
                                          {"enable_cross_charger", "0\n"}});
    }
}

} // namespace fuzz
