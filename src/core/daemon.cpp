// SPDX-License-Identifier: MIT
#include "core/daemon.hpp"

#include "charger/pm8550b_charger.hpp"
#include "charger/tcpm.hpp"
#include "control/control.hpp"
#include "pack/mp2652.hpp"
#include "pack/tavlock.hpp"
#include "sensing/fuel_gauge.hpp"
#include "util/console.hpp"
#include "util/util.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <libudev.h>
#include <sys/epoll.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#ifndef CHARGED_BUILD_ID
#error "CHARGED_BUILD_ID names the build in the version line"
#endif

namespace {

constexpr const char *version = "2.6";
constexpr int no_memory = -12;
constexpr int max_events_per_wait = 5;
constexpr std::array<int, 3> handled_signals = {SIGTERM, SIGHUP, SIGINT};

udev *udev_context = nullptr;
udev_monitor *monitor = nullptr;
int epoll_fd = -1;
int monitor_fd = -1;

// Written only by record_signal. A stop request is sticky: a later SIGHUP cannot undo it.
volatile sig_atomic_t last_signal = 0;
volatile sig_atomic_t stop_signal = 0;

// The signal mask the daemon was started with; back in force for the shutdown sequence, so
// a signal arriving then is reported like any other.
sigset_t inherited_mask;

// Standard output goes to the journal: line-buffered, in a buffer of our own.
char stdout_buffer[BUFSIZ];

// "Caught Signal: <n>\n" without stdio, which is not safe in a signal handler.
size_t format_signal_line(char (&line)[32], int signal_number) {
    constexpr std::string_view prefix = "Caught Signal: ";
    size_t length = prefix.copy(line, prefix.size());
    char digits[12];
    size_t digit_count = 0;
    unsigned int magnitude = signal_number < 0 ? 0U - static_cast<unsigned int>(signal_number)
                                               : static_cast<unsigned int>(signal_number);
    do {
        digits[digit_count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (signal_number < 0) {
        line[length++] = '-';
    }
    while (digit_count > 0) {
        line[length++] = digits[--digit_count];
    }
    line[length++] = '\n';
    return length;
}

// The three signals are blocked except during the wait, so one that arrives during start-up
// or an update cycle stays pending and interrupts the next wait at once. Returns the wait's
// mask: the inherited mask without the three.
sigset_t install_signal_handling() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal_number : handled_signals) {
        sigaddset(&blocked, signal_number);
    }
    sigset_t wait_mask;
    sigemptyset(&wait_mask);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    inherited_mask = wait_mask;
    for (const int signal_number : handled_signals) {
        sigdelset(&wait_mask, signal_number);
    }

    struct sigaction action {};
    action.sa_handler = record_signal;
    action.sa_flags = SA_RESTART; // file reads and writes restart; the wait never does
    sigemptyset(&action.sa_mask);
    for (const int signal_number : handled_signals) {
        sigaction(signal_number, &action, nullptr);
    }
    return wait_mask;
}

int open_udev_monitor() {
    udev_context = udev_new();
    if (udev_context == nullptr) {
        console_print(stderr, console_level::err, "Failed to create a udev object.\n");
        return no_memory;
    }
    monitor = udev_monitor_new_from_netlink(udev_context, "udev");
    if (monitor == nullptr) {
        const int monitor_errno = errno;
        console_print(stderr, console_level::err, "Failed to create udev monitor. errno: %d\n",
                      monitor_errno);
        return no_memory;
    }
    int result = udev_monitor_filter_add_match_subsystem_devtype(monitor, "power_supply", nullptr);
    if (result < 0) {
        console_print(stderr, console_level::err,
                      "Could not add %s subsystem match to udev monitor\n", "power_supply");
        return result;
    }
    result = udev_monitor_enable_receiving(monitor);
    if (result < 0) {
        console_print(stderr, console_level::err, "Failed to enable udev monitor receiving.\n");
        return result;
    }
    monitor_fd = udev_monitor_get_fd(monitor);
    if (monitor_fd < 0) {
        console_print(stderr, console_level::err, "Failed to get udev monitor file descriptor.\n");
        return monitor_fd;
    }
    return 0;
}

// The monitor receives before the modules start, so the change events their init asks
// for wait in it and are handled by the loop's first passes.
int start_up() {
    int result = open_udev_monitor();
    if (result != 0) {
        return result;
    }
    result = epoll_setup();
    if (result != 0) {
        console_print(stderr, console_level::err, "epoll setup failed on: %d\n", result);
        return result;
    }
    return control_init(udev_context, epoll_fd);
}

int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Runs the callbacks of the ready files and, if wanted, one update cycle. A wait without
// ready files is the timeout pass, which always runs the cycle. Returns whether it ran.
bool run_pass(const epoll_event *events, int ready) {
    bool changed = ready == 0;
    for (int i = 0; i < ready; ++i) {
        const epoll_callback callback = epoll_callback_from(events[i].data.u64);
        if (callback != nullptr) {
            // Every callback runs, also after an earlier one asked for a cycle.
            const bool callback_changed = callback();
            changed = changed || callback_changed;
        }
    }
    if (changed) {
        control_update(ready > 0);
    }
    return changed;
}

bool stop_requested() {
    if (stop_signal == SIGTERM) {
        console_print(stderr, console_level::info, "Received SIGTERM. Exiting...\n");
        return true;
    }
    if (stop_signal == SIGINT) {
        console_print(stderr, console_level::info, "Received SIGINT. Exiting...\n");
        return true;
    }
    return false;
}

// The three signals reach the handler only inside the wait, and a wait that finds a ready
// file returns it without letting a pending signal in. So after every pass a pending stop
// signal is let in here, where its handler reports it as usual: a stop never waits for an
// idle wait, which a file that is always ready would never allow.
void take_pending_stop_signal(const sigset_t &wait_mask) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGTERM) != 1 && sigismember(&pending, SIGINT) != 1) {
        return;
    }
    sigset_t blocking_mask;
    sigprocmask(SIG_SETMASK, &wait_mask, &blocking_mask);
    sigprocmask(SIG_SETMASK, &blocking_mask, nullptr);
}

void run_event_loop(const sigset_t &wait_mask) {
    int64_t last_cycle_end_ms = monotonic_ms();
    for (;;) {
        std::array<epoll_event, max_events_per_wait> events{};
        const int ready =
            epoll_pwait(epoll_fd, events.data(), max_events_per_wait,
                        wait_timeout_ms(monotonic_ms(), last_cycle_end_ms), &wait_mask);
        if (ready < 0) {
            const int wait_errno = errno;
            if (wait_errno != EINTR) {
                // No heartbeat: a wait that keeps failing lets the watchdog end the daemon.
                console_print(stderr, console_level::err, "epoll_pwait() error: %s\n",
                              std::strerror(wait_errno));
                continue;
            }
        } else {
            if (run_pass(events.data(), ready)) {
                last_cycle_end_ms = monotonic_ms();
            }
            sd_notify(0, "WATCHDOG=1");
        }
        take_pending_stop_signal(wait_mask);
        if (stop_requested()) {
            return;
        }
    }
}

void shut_down() {
    if (monitor != nullptr) {
        udev_monitor_unref(monitor);
        monitor = nullptr;
    }
    if (udev_context != nullptr) {
        udev_unref(udev_context);
        udev_context = nullptr;
    }
    control_deinit();
}

constexpr const char *usage_format =
    "Usage: %s [--version | --help]\n"
    "The headset's charge daemon: sets the PM8550B charger's limits and QPH2 fast-charge mode,\n"
    "the battery current limiter's thresholds and the headstrap pack's power source, from\n"
    "udev power_supply events and sysfs attributes. It runs as the systemd service\n"
    "charged.service and takes no options; without arguments it starts.\n"
    "\n"
    "Files, in the working directory (/run/charged under systemd):\n"
    "  ac_status, battery_percent, battery_status, secs_until_shutdown_request,\n"
    "  secs_until_battery_full, typec_contract: the power state, rewritten every cycle\n"
    "  BAT0, BAT1: links to the fuel gauges' sysfs directories\n"
    "  set_internal_batt_primary, set_external_batt_primary, cross_charge_secondary,\n"
    "  disable_cross_charging: manual controls, \"1\" to set, written by other software\n"
    "\n"
    "Environment:\n"
    "  BCL_L0, BCL_L1  margins in mV below half the battery voltage for the current\n"
    "                  limiter's level-0 and level-1 thresholds (default 800)\n"
    "\n"
    "  --version  print the version line and exit\n"
    "  --help     print this text and exit\n";

// The answer to --version or --help (standard output) or to a wrong command line (the usage,
// on standard error). The version line is the start-up line without "Starting". Returns
// whether the whole text was written: a failed write shows at the flush or in the stream's
// error flag, not in the print's result alone (a line-buffered stream writes at each newline).
// A failed standard output is reported on standard error; a failed standard error has
// nowhere to go but the exit status.
bool answer_command_line(command_line_action action, const char *program) {
    FILE *stream = stdout;
    switch (action) {
    case command_line_action::print_version:
        std::printf("%s - Version: %s-%s\n", program, version, CHARGED_BUILD_ID);
        break;
    case command_line_action::print_help:
        std::printf(usage_format, program);
        break;
    case command_line_action::print_usage_error:
        stream = stderr;
        std::fprintf(stderr, usage_format, program);
        break;
    case command_line_action::run_daemon:
        return true;
    }
    const bool flushed = std::fflush(stream) == 0;
    const int flush_errno = errno;
    const bool written = flushed && std::ferror(stream) == 0;
    if (!written && stream == stdout) {
        std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(flush_errno));
    }
    return written;
}

} // namespace

void record_signal(int signal_number) {
    const int saved_errno = errno;
    char line[32];
    const size_t length = format_signal_line(line, signal_number);
    console_write_signal_line(console_level::info, line, length);
    last_signal = signal_number;
    if (signal_number == SIGTERM || signal_number == SIGINT) {
        stop_signal = signal_number;
    }
    errno = saved_errno;
}

int epoll_setup() {
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) {
        return epoll_fd;
    }
    return epoll_watch(epoll_fd, monitor_fd, EPOLLIN, udev_dispatch);
}

bool udev_dispatch() {
    udev_device *device = udev_monitor_receive_device(monitor);
    if (device == nullptr) {
        return false;
    }
    // The property texts belong to the device and live until it is released below.
    const char *of_name = udev_device_get_property_value(device, "OF_NAME");
    const char *subsystem = udev_device_get_property_value(device, "SUBSYSTEM");
    const char *power_supply_name = udev_device_get_property_value(device, "POWER_SUPPLY_NAME");
    const udev_route route = udev_route_for(of_name, subsystem, power_supply_name);
    if (route.subsystem_missing) {
        console_print(stderr, console_level::warning, "SUBSYSTEM: NULL\n");
    }

    // The TCPM source and the charger always ask for a cycle, even unchanged.
    bool changed = false;
    switch (route.by_of_name) {
    case pmic_handler::tcpm:
        tcpm_process_udev(device);
        changed = true;
        break;
    case pmic_handler::charger:
        pm8550b_charger_process_udev(device);
        changed = true;
        break;
    case pmic_handler::none:
        break;
    }

    bool pack_changed = false;
    switch (route.by_power_supply_name) {
    case pack_handler::tavlock:
        pack_changed = tavlock_process_udev(device);
        break;
    case pack_handler::mp2652:
        pack_changed = mp2652_process_udev(device);
        break;
    case pack_handler::fuel_gauge:
        pack_changed = fuel_gauge_process_udev(device, power_supply_name);
        break;
    case pack_handler::none:
        break;
    }
    udev_device_unref(device);
    return changed || pack_changed;
}

int main(int argc, char **argv) {
    std::setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
    // argv[0] is missing when the daemon is started with an empty argument vector.
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const command_line_decision command_line = decide_command_line(argc, argv);
    if (command_line.action != command_line_action::run_daemon) {
        const bool written = answer_command_line(command_line.action, program);
        return exit_status_after_answer(command_line, written);
    }
    console_init();
    console_print(stderr, console_level::info, "Starting %s - Version: %s-%s\n", program, version,
                  CHARGED_BUILD_ID);

    const sigset_t wait_mask = install_signal_handling();
    const int result = start_up();
    if (result == 0) {
        run_event_loop(wait_mask);
    }
    sigprocmask(SIG_SETMASK, &inherited_mask, nullptr);
    shut_down();
    return result;
}
