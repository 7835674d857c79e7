// SPDX-License-Identifier: MIT
// A libudev monitor as the daemon opens one, for waiting on injected events in tests.
#pragma once

#include <chrono>
#include <libudev.h>
#include <map>
#include <optional>
#include <poll.h>
#include <string>

namespace vh::test {

struct ReceivedEvent {
    std::string action;
    std::string devpath;
    std::map<std::string, std::string> properties;
};

class UdevMonitor {
  public:
    explicit UdevMonitor(const char *subsystem = "power_supply") {
        udev_ = udev_new();
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (subsystem != nullptr) {
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, subsystem, nullptr);
        }
        udev_monitor_enable_receiving(monitor_);
    }
    ~UdevMonitor() {
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    UdevMonitor(const UdevMonitor &) = delete;
    UdevMonitor &operator=(const UdevMonitor &) = delete;

    // The next event that libudev accepts and that passes the filter, or nothing within
    // timeout_ms.
    std::optional<ReceivedEvent> next(int timeout_ms = 5000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        udev_device *device = nullptr;
        while (device == nullptr) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{udev_monitor_get_fd(monitor_), POLLIN, 0};
            if (left.count() < 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
                return std::nullopt;
            }
            device = udev_monitor_receive_device(monitor_); // nullptr: a dropped message
        }
        ReceivedEvent event;
        const char *action = udev_device_get_action(device);
        event.action = action != nullptr ? action : "";
        event.devpath = udev_device_get_devpath(device);
        for (udev_list_entry *e = udev_device_get_properties_list_entry(device); e != nullptr;
             e = udev_list_entry_get_next(e)) {
            event.properties[udev_list_entry_get_name(e)] = udev_list_entry_get_value(e);
        }
        udev_device_unref(device);
        return event;
    }

    // Skips events until one with POWER_SUPPLY_NAME == name arrives.
    std::optional<ReceivedEvent> next_of(const std::string &name, int timeout_ms = 5000) {
        while (auto event = next(timeout_ms)) {
            if (event->properties["POWER_SUPPLY_NAME"] == name) {
                return event;
            }
        }
        return std::nullopt;
    }

    udev *context() { return udev_; }

  private:
    udev *udev_ = nullptr;
    udev_monitor *monitor_ = nullptr;
};

} // namespace vh::test
