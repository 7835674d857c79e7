// SPDX-License-Identifier: MIT
#include "power_state.hpp"

#include "json.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace chargectl {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return text;
}

link_view read_link(const std::string &directory, std::string_view name) {
    link_view view;
    const std::string path = directory + "/" + std::string(name);
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length < 0) {
        return view;
    }
    view.target = std::string(target, static_cast<size_t>(length));
    struct stat status {};
    view.target_exists = stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    if (view.target_exists) {
        if (const auto capacity = read_file_text(path + "/capacity")) {
            view.capacity = parse_integer(trimmed(*capacity));
        }
    }
    return view;
}

control_file_view read_control_file(const std::string &directory, std::string_view name) {
    control_file_view view;
    const std::string path = directory + "/" + std::string(name);
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return view;
    }
    view.exists = true;
    view.regular = S_ISREG(status.st_mode);
    view.mode = status.st_mode & 07777;
    if (view.regular) {
        if (const auto content = read_file_text(path)) {
            view.set = flag_set(*content);
        }
    }
    return view;
}

std::optional<std::chrono::seconds> age_of_update(const power_state &state, clock::time_point now) {
    if (!state.last_update) {
        return std::nullopt;
    }
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - *state.last_update);
    // A clock set back makes the files look newer than now: that is fresh.
    return age.count() < 0 ? std::chrono::seconds{0} : age;
}

const std::optional<std::string> &status_text(const power_state &state, std::string_view name) {
    for (size_t i = 0; i < status_file_names.size(); ++i) {
        if (status_file_names[i] == name) {
            return state.status[i];
        }
    }
    static const std::optional<std::string> none;
    return none;
}

bool flag(const power_state &state, size_t index) {
    return state.controls[index].set.value_or(false);
}

// battery_percent's "55.0" as a JSON number, when it is one.
std::string json_decimal(const std::optional<std::string> &text) {
    if (!text || text->empty()) {
        return "null";
    }
    std::string_view rest = *text;
    if (rest.front() == '-') {
        rest.remove_prefix(1);
    }
    const size_t point = rest.find('.');
    const std::string_view whole = rest.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view{"0"} : rest.substr(point + 1);
    const auto digits = [](std::string_view part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return digits(whole) && digits(fraction) ? *text : "null";
}

std::string json_link(const link_view &link) {
    if (!link.target) {
        return "null";
    }
    return json_object{}
        .text("target", link.target)
        .boolean("present", link.target_exists)
        .number("capacity", link.capacity)
        .str();
}

std::string text_or_missing(const std::optional<std::string> &text) {
    return text ? *text : "(no file)";
}

std::string daemon_line(const power_state &state, clock::time_point now) {
    if (state.directory_error) {
        return "NOT RUNNING? cannot read " + state.directory + ": " + *state.directory_error;
    }
    const auto age = age_of_update(state, now);
    if (!age) {
        return "NOT RUNNING: no status files in " + state.directory;
    }
    if (!daemon_running(state, now)) {
        return "NOT RUNNING: last update " + format_age(*age) + " ago (it writes every 20 s)";
    }
    return "running, last update " + format_age(*age) + " ago";
}

std::string usb_line(const power_state &state) {
    std::string line = text_or_missing(status_text(state, "ac_status"));
    const auto contract = parse_contract(status_text(state, "typec_contract").value_or(""));
    if (contract && contract->valid) {
        char power[32];
        std::snprintf(power, sizeof power, "%.1f W",
                      static_cast<double>(contract->voltage_mv) *
                          static_cast<double>(contract->current_ma) * 1e-6);
        line += ", " + std::to_string(contract->voltage_mv) + " mV " +
                std::to_string(contract->current_ma) + " mA (" + power + ")";
    }
    return line;
}

std::string seconds_line(const std::optional<std::string> &text) {
    if (!text) {
        return "(no file)";
    }
    const auto seconds = parse_integer(*text);
    return seconds ? format_duration(*seconds) : *text;
}

// The internal gauge's own capacity (not rescaled like battery_percent) and its link.
std::string gauge_line(const link_view &bat0) {
    if (!bat0.target) {
        return "no BAT0";
    }
    if (!bat0.target_exists) {
        return "BAT0 -> " + *bat0.target + " is gone";
    }
    const std::string capacity =
        bat0.capacity ? std::to_string(*bat0.capacity) + " %" : std::string("capacity unknown");
    return capacity + " (BAT0 -> " + *bat0.target + ")";
}

// "set_internal_batt_primary 0, set_external_batt_primary 1": two control files as read.
std::string control_files_text(const power_state &state, size_t first, size_t second) {
    std::string text;
    for (const size_t index : {first, second}) {
        const control_file_view &control = state.controls[index];
        text += text.empty() ? "" : ", ";
        text += control_file_names[index];
        if (!control.exists) {
            text += " missing";
        } else if (!control.set) {
            text += " unreadable";
        } else {
            text += *control.set ? " 1" : " 0";
        }
    }
    return text;
}

std::string pack_line(const link_view &bat1) {
    if (!bat1.target) {
        return "not seen since charged started (no BAT1)";
    }
    if (!bat1.target_exists) {
        return "not connected (BAT1 -> " + *bat1.target + " is gone)";
    }
    const std::string capacity =
        bat1.capacity ? std::to_string(*bat1.capacity) + " %" : std::string("connected");
    return capacity + " (BAT1 -> " + *bat1.target + ")";
}

} // namespace

std::optional<std::string> read_file_text(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    while (text.size() < 65536 && (count = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(count));
    }
    close(fd);
    if (count < 0) {
        return std::nullopt;
    }
    return text;
}

power_state read_power_state(const std::string &directory) {
    power_state state;
    state.directory = directory;
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0) {
        state.directory_error = std::strerror(errno);
        return state;
    }
    if (!S_ISDIR(status.st_mode)) {
        state.directory_error = "not a directory";
        return state;
    }
    for (size_t i = 0; i < status_file_names.size(); ++i) {
        state.status[i] = read_file_text(directory + "/" + std::string(status_file_names[i]));
    }
    state.last_update = last_status_write(directory);
    state.bat0 = read_link(directory, "BAT0");
    state.bat1 = read_link(directory, "BAT1");
    for (size_t i = 0; i < control_file_names.size(); ++i) {
        state.controls[i] = read_control_file(directory, control_file_names[i]);
    }
    return state;
}

std::optional<clock::time_point> last_status_write(const std::string &directory) {
    std::optional<clock::time_point> newest;
    for (const std::string_view name : status_file_names) {
        struct stat status {};
        if (stat((directory + "/" + std::string(name)).c_str(), &status) != 0 ||
            !S_ISREG(status.st_mode)) {
            continue;
        }
        const clock::time_point written{std::chrono::duration_cast<clock::duration>(
            std::chrono::seconds{status.st_mtim.tv_sec} +
            std::chrono::nanoseconds{status.st_mtim.tv_nsec})};
        if (!newest || written > *newest) {
            newest = written;
        }
    }
    return newest;
}

bool daemon_running(const power_state &state, clock::time_point now) {
    const auto age = age_of_update(state, now);
    return !state.directory_error && age && *age <= stale_after;
}

std::optional<usb_contract> parse_contract(std::string_view text) {
    usb_contract contract;
    int valid = -1;
    // Every field whole: "Valid=%d, Voltage=%lldmV, Current=%lldmA" and nothing after it.
    const std::string copy(text);
    int end = 0;
    if (std::sscanf(copy.c_str(), "Valid=%d, Voltage=%lldmV, Current=%lldmA%n", &valid,
                    &contract.voltage_mv, &contract.current_ma, &end) != 3 ||
        static_cast<size_t>(end) != copy.size() || (valid != 0 && valid != 1)) {
        return std::nullopt;
    }
    contract.valid = valid == 1;
    return contract;
}

std::optional<long long> parse_integer(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string format_duration(long long seconds) {
    if (seconds <= 0) {
        return "-";
    }
    char text[48];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%lld h %02lld min", seconds / 3600, seconds % 3600 / 60);
    } else if (seconds >= 60) {
        std::snprintf(text, sizeof text, "%lld min %02lld s", seconds / 60, seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld s", seconds);
    }
    return text;
}

std::string format_age(std::chrono::seconds age) {
    constexpr long long minute = 60;
    constexpr long long hour = 60 * minute;
    constexpr long long day = 24 * hour;
    const long long seconds = age.count();
    if (seconds < 2 * minute) {
        return std::to_string(seconds) + " s";
    }
    if (seconds < 2 * hour) {
        return std::to_string(seconds / minute) + " min";
    }
    if (seconds < 2 * day) {
        return std::to_string(seconds / hour) + " h";
    }
    return std::to_string(seconds / day) + " d";
}

std::string format_text(const power_state &state, clock::time_point now) {
    std::string text;
    const auto line = [&](std::string_view label, const std::string &value) {
        text += label;
        text.append(label.size() < 16 ? 16 - label.size() : 1, ' ');
        text += value;
        text += '\n';
    };
    line("charged:", daemon_line(state, now));
    line("directory:", state.directory);
    if (state.directory_error) {
        return text;
    }
    line("USB-C power:", usb_line(state));
    line("battery:", text_or_missing(status_text(state, "battery_percent")) + " %, " +
                         text_or_missing(status_text(state, "battery_status")));
    line("  full in:", seconds_line(status_text(state, "secs_until_battery_full")));
    line("  shutdown in:", seconds_line(status_text(state, "secs_until_shutdown_request")));
    line("  gauge:", gauge_line(state.bat0));
    line("pack battery:", pack_line(state.bat1));
    line("primary:", std::string(primary_name(flag(state, 0), flag(state, 1))) + " (" +
                         control_files_text(state, 0, 1) + ")");
    line("cross-charge:", std::string(cross_charge_name(flag(state, 2), flag(state, 3))) + " (" +
                              control_files_text(state, 2, 3) + ")");
    for (size_t i = 0; i < control_file_names.size(); ++i) {
        const control_file_view &control = state.controls[i];
        const std::string name(control_file_names[i]);
        if (control.exists && !control.regular) {
            line("  note:", name + " is not a regular file: read as 0");
        } else if ((control.mode & S_IWGRP) == 0) {
            line("  note:",
                 name + " has mode " + mode_text(control.mode) + ": the group cannot write it");
        }
    }
    return text;
}

std::string format_json(const power_state &state, clock::time_point now) {
    json_object object;
    const auto age = age_of_update(state, now);
    object.text("directory", state.directory)
        .boolean("running", daemon_running(state, now))
        .number("last_update_age_s", age ? std::optional<long long>(age->count()) : std::nullopt)
        .text("error", state.directory_error)
        .text("ac_status", status_text(state, "ac_status"))
        .raw("battery_percent", json_decimal(status_text(state, "battery_percent")))
        .text("battery_status", status_text(state, "battery_status"))
        .number("secs_until_shutdown_request",
                parse_integer(status_text(state, "secs_until_shutdown_request").value_or("")))
        .number("secs_until_battery_full",
                parse_integer(status_text(state, "secs_until_battery_full").value_or("")));
    const auto contract = parse_contract(status_text(state, "typec_contract").value_or(""));
    object.raw("typec_contract", contract ? json_object{}
                                                .boolean("valid", contract->valid)
                                                .number("voltage_mv", contract->voltage_mv)
                                                .number("current_ma", contract->current_ma)
                                                .str()
                                          : "null");
    object.raw("bat0", json_link(state.bat0)).raw("bat1", json_link(state.bat1));
    object.text("primary", std::string(primary_name(flag(state, 0), flag(state, 1))))
        .text("cross_charge", std::string(cross_charge_name(flag(state, 2), flag(state, 3))));
    json_object controls;
    for (size_t i = 0; i < control_file_names.size(); ++i) {
        controls.boolean(control_file_names[i], state.controls[i].set);
    }
    object.raw("control_files", controls.str());
    return object.str() + "\n";
}

} // namespace chargectl
