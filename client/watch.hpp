// SPDX-License-Identifier: MIT
// `chargectl watch`: a line for every change of charged's files as it happens. The
// directory is watched with inotify; each status file is replaced by a rename in every
// cycle, so a rename is a change only when the content differs. A control file written by
// anyone, a link made again, and charged going silent (no cycle for a while) or coming back
// are changes too.
#pragma once

#include "command_line.hpp"
#include "power_state.hpp"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace chargectl {

// The watched entries by name: file content, or a link's target. Empty: absent.
using snapshot = std::map<std::string, std::optional<std::string>, std::less<>>;

// The names watch follows: the status files, BAT0 and BAT1, the control files.
const std::vector<std::string> &watched_names();

std::optional<std::string> read_entry(const std::string &directory, std::string_view name);
snapshot take_snapshot(const std::string &directory);

struct change {
    std::string name;
    std::optional<std::string> before; // empty: it was absent (or not seen yet)
    std::optional<std::string> after;  // empty: it is gone
};

// What differs from before to after, in the order of watched_names.
std::vector<change> changes_between(const snapshot &before, const snapshot &after);

// "12:00:03 battery_percent: 55.0 -> 56.0", "12:00:03 BAT1: (absent) -> /sys/...", or for
// the first view "12:00:03 battery_percent: 55.0"; JSON: {"time":...,"file":...,"old":...,
// "new":...}. The time is local (text) or UTC in ISO 8601 (JSON).
std::string format_change(const change &c, bool first_view, clock::time_point when, bool json);
// charged going silent (running false) or writing again.
std::string format_liveness(bool running, std::chrono::seconds silent, clock::time_point when,
                            bool json);

// Runs until SIGINT or SIGTERM. Returns the exit status.
int watch_directory(const options &chosen);

} // namespace chargectl
