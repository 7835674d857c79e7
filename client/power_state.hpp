// SPDX-License-Identifier: MIT
// The power state as charged's directory shows it: the six status files, the fuel-gauge
// links BAT0 and BAT1, the four manual control files, and how fresh all of it is. Read in
// one go, then shown as text for a person or as one JSON object for a script.
#pragma once

#include "control_files.hpp"

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace chargectl {

using clock = std::chrono::system_clock;

// In the order charged writes them in every cycle.
inline constexpr std::array<std::string_view, 6> status_file_names = {"ac_status",
                                                                      "battery_percent",
                                                                      "battery_status",
                                                                      "secs_until_shutdown_request",
                                                                      "secs_until_battery_full",
                                                                      "typec_contract"};

// charged rewrites every status file at least every 20 s; after three cycles and a margin
// without a rewrite it is taken for not running.
inline constexpr std::chrono::seconds stale_after{65};

struct link_view {
    std::optional<std::string> target; // the link's text; empty: no link
    bool target_exists = false;        // the gauge's directory is there (the device is)
    std::optional<long long> capacity; // its capacity attribute, in percent
};

struct control_file_view {
    bool exists = false;
    bool regular = false;
    std::optional<bool> set; // charged's reading; empty when it cannot be read
    mode_t mode = 0;
};

struct power_state {
    std::string directory;
    std::optional<std::string> directory_error; // the directory cannot be read
    std::array<std::optional<std::string>, status_file_names.size()> status;
    std::optional<clock::time_point> last_update; // newest status file
    link_view bat0, bat1;
    std::array<control_file_view, control_file_names.size()> controls;
};

power_state read_power_state(const std::string &directory);

// A small regular file's whole text; empty when it is missing, not a regular file (a FIFO
// must not block the reader) or cannot be read.
std::optional<std::string> read_file_text(const std::string &path);

// When charged last wrote a status file (the newest one's modification time); empty when
// there is none.
std::optional<clock::time_point> last_status_write(const std::string &directory);

// Whether charged seems to run: the status files exist and are fresh.
bool daemon_running(const power_state &state, clock::time_point now);

// typec_contract's "Valid=1, Voltage=9000mV, Current=3000mA".
struct usb_contract {
    bool valid = false;
    long long voltage_mv = 0;
    long long current_ma = 0;
};
std::optional<usb_contract> parse_contract(std::string_view text);

// A decimal integer as the whole text (the secs_ files); empty for anything else.
std::optional<long long> parse_integer(std::string_view text);

// "1 h 02 min", "4 min 05 s", "45 s"; "-" for zero or less (nothing to wait for).
std::string format_duration(long long seconds);
// "3 s", "5 min", "2 h", "3 d": how long ago.
std::string format_age(std::chrono::seconds age);

std::string format_text(const power_state &state, clock::time_point now);
std::string format_json(const power_state &state, clock::time_point now);

} // namespace chargectl
