// SPDX-License-Identifier: MIT
// The daemon's process: start-up, the one epoll event loop, udev routing, signals, the
// watchdog and the shutdown sequence.
#pragma once

#include <cstdint>
#include <string_view>

// Signal handler for SIGTERM, SIGHUP and SIGINT: reports the signal and records it.
void record_signal(int signal_number);
// Creates the epoll set and watches the udev monitor with udev_dispatch. 0 or negative.
int epoll_setup();
// Epoll callback of the udev monitor: hands one power_supply event to its modules.
bool udev_dispatch();

// Routing of a power_supply event, decided from three of its properties (each may be
// missing, i.e. null). Free of I/O so that every rule can be checked directly.
enum class pmic_handler { none, tcpm, charger };
enum class pack_handler { none, tavlock, mp2652, fuel_gauge };

struct udev_route {
    bool subsystem_missing; // reported as "SUBSYSTEM: NULL"; routing by name still runs
    pmic_handler by_of_name;
    pack_handler by_power_supply_name;
};

// A property matches when it begins with the whole literal; a shorter text never does.
constexpr bool udev_property_has_prefix(const char *text, std::string_view literal) {
    if (text == nullptr) {
        return false;
    }
    for (const char expected : literal) {
        if (*text != expected) {
            return false;
        }
        ++text;
    }
    return true;
}

constexpr udev_route udev_route_for(const char *of_name, const char *subsystem,
                                    const char *power_supply_name) {
    udev_route route{subsystem == nullptr, pmic_handler::none, pack_handler::none};
    if (subsystem != nullptr && of_name != nullptr &&
        udev_property_has_prefix(subsystem, "power_supply")) {
        if (udev_property_has_prefix(of_name, "typec")) {
            route.by_of_name = pmic_handler::tcpm;
        } else if (udev_property_has_prefix(of_name, "charger")) {
            route.by_of_name = pmic_handler::charger;
        }
    }
    if (udev_property_has_prefix(power_supply_name, "pellgrave-hotswap")) {
        route.by_power_supply_name = pack_handler::tavlock;
    } else if (udev_property_has_prefix(power_supply_name, "mp2652-charger")) {
        route.by_power_supply_name = pack_handler::mp2652;
    } else if (udev_property_has_prefix(power_supply_name, "max1720x_bat_")) {
        route.by_power_supply_name = pack_handler::fuel_gauge;
    }
    return route;
}

// An update cycle runs at the latest this long after the end of the previous one.
constexpr int64_t UPDATE_PERIOD_MS = 20000;

// The wait's timeout: what remains of the period since the last cycle ended (or the loop
// started), never negative, so events that ask for no cycle cannot postpone it.
constexpr int wait_timeout_ms(int64_t now_ms, int64_t last_cycle_end_ms) {
    const int64_t elapsed_ms = now_ms - last_cycle_end_ms;
    if (elapsed_ms <= 0) {
        return static_cast<int>(UPDATE_PERIOD_MS);
    }
    if (elapsed_ms >= UPDATE_PERIOD_MS) {
        return 0;
    }
    return static_cast<int>(UPDATE_PERIOD_MS - elapsed_ms);
}

// The command line. The daemon takes no options; --version and --help answer a person (or a
// package check) and end the process before anything touches the hardware.
enum class command_line_action { run_daemon, print_version, print_help, print_usage_error };

struct command_line_decision {
    command_line_action action;
    int exit_status; // the process's status when the action ends it at once
};

constexpr int exit_usage_error = 2;   // the shell's convention for a wrong command line
constexpr int exit_write_failure = 1; // EXIT_FAILURE: the answer could not be written

constexpr command_line_decision decide_command_line(int argc, const char *const *argv) {
    if (argc <= 1) {
        return {command_line_action::run_daemon, 0};
    }
    if (argc == 2 && argv[1] != nullptr) {
        const std::string_view option = argv[1];
        if (option == "--version") {
            return {command_line_action::print_version, 0};
        }
        if (option == "--help") {
            return {command_line_action::print_help, 0};
        }
    }
    return {command_line_action::print_usage_error, exit_usage_error};
}

// The process's status once the answer was printed or not: a package check or a script must
// not take a version or help text lost on a full disk (or /dev/full) for one that was given.
// A wrong command line keeps its own status.
constexpr int exit_status_after_answer(const command_line_decision &decision, bool answer_written) {
    if (answer_written || decision.exit_status != 0) {
        return decision.exit_status;
    }
    return exit_write_failure;
}
