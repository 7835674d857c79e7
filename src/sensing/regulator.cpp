// SPDX-License-Identifier: MIT
#include "sensing/regulator.hpp"

#include "util/console.hpp"
#include "util/util.hpp"

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

enum class lookup { regulator_name, led_sysname };

struct load_watcher {
    lookup how;
    const char *device;
    const char *on_text; // the whole state text while the consumer is on; case matters
    uint8_t bit;
    epoll_callback callback;
    const char *read_error_format;
};

// Indexed by slot.
constexpr std::array<load_watcher, 4> watchers = {{
    {lookup::regulator_name, "backlight_left", "enabled", LOAD_BACKLIGHT_LEFT,
     regulator_left_backlight_changed, "read left backlight failed on %d\n"},
    {lookup::regulator_name, "backlight_right", "enabled", LOAD_BACKLIGHT_RIGHT,
     regulator_right_backlight_changed, "read right backlight failed on %d\n"},
    {lookup::regulator_name, "tps61377", "enabled", LOAD_PREBOOST, regulator_preboost_changed,
     "read preboost failed on %d\n"},
    {lookup::led_sysname, "mp3317-scene-illum-ir", "Enable", LOAD_ROOM_TRACKING,
     regulator_room_tracking_changed, "read room tracking failed on %d\n"},
}};

// The LED first, then the pre-boost, then the backlights.
constexpr std::array<size_t, 4> open_order = {3, 2, 0, 1};

// The state files are notified, level-triggered: rereading one ends its notification.
constexpr uint32_t notified_attr_events = EPOLLPRI | EPOLLERR;

std::array<int, 4> watcher_fds = {-1, -1, -1, -1};
std::array<attr_path_text, 4> watcher_paths{}; // where each file was found
std::array<bool, 4> in_epoll_set = {false, false, false, false};
udev *lookup_udev = nullptr; // for looking a consumer up again once it has gone
int watching_epoll_fd = -1;
uint8_t load_mask = 0;

int open_watcher(size_t slot, lookup_report report) {
    const load_watcher &watcher = watchers[slot];
    if (watcher.how == lookup::led_sysname) {
        return open_led_attr(lookup_udev, watcher.device, &watcher_paths[slot], report);
    }
    return open_regulator_attr(lookup_udev, watcher.device, &watcher_paths[slot], report);
}

int watch_slot(size_t slot) {
    const int result = epoll_watch(watching_epoll_fd, watcher_fds[slot], notified_attr_events,
                                   watchers[slot].callback);
    in_epoll_set[slot] = result == 0;
    return result;
}

void unwatch_slot(size_t slot) {
    if (in_epoll_set[slot]) {
        epoll_unwatch(watching_epoll_fd, watcher_fds[slot]);
        in_epoll_set[slot] = false;
    }
}

// A read error keeps the earlier bit: a consumer does not switch off because a read failed.
// A consumer whose driver was unbound leaves its file ready for ever with every read failing
// ENODEV: the file leaves the epoll set then, so the loss is reported once; the next check
// of the files finds out whether the consumer is gone or was only briefly unreadable.
bool refresh_slot(size_t slot) {
    const load_watcher &watcher = watchers[slot];
    bool on = false;
    const int result = sysfs_read_string_as_bool(watcher_fds[slot], watcher.on_text, on);
    if (result < 0) {
        const int read_errno = errno;
        console_print(stderr, console_level::err, watcher.read_error_format, result);
        if (read_errno == ENODEV) {
            unwatch_slot(slot);
        }
        return true;
    }
    load_mask = static_cast<uint8_t>(on ? (load_mask | watcher.bit) : (load_mask & ~watcher.bit));
    return true;
}

// A consumer found again: its state is read at once (a new file has no notification
// pending), then its notifications are watched.
void take_up_slot(size_t slot) {
    refresh_slot(slot);
    watch_slot(slot);
}

void check_slot(size_t slot) {
    if (watcher_fds[slot] >= 0) {
        if (in_epoll_set[slot] && sysfs_notification_pending(watcher_fds[slot])) {
            refresh_slot(slot); // as the loop would; a read failing ENODEV leaves the set
        }
        if (in_epoll_set[slot]) {
            return;
        }
        if (!sysfs_file_is_gone(watcher_fds[slot])) { // a read failed while it stayed
            take_up_slot(slot);
            return;
        }
        drop_lost_kept_file(watcher_fds[slot], watcher_paths[slot]);
    }
    // A driver bound again may give its device another number: looked up anew.
    watcher_fds[slot] = open_watcher(slot, lookup_report::quiet);
    if (watcher_fds[slot] >= 0) {
        report_kept_file_back(watcher_paths[slot]);
        take_up_slot(slot);
    }
}

} // namespace

int regulator_init(udev *udev, int epoll_fd) {
    assert(udev);
    assert(epoll_fd >= 0);
    watcher_fds.fill(-1);
    in_epoll_set.fill(false);
    lookup_udev = udev;
    watching_epoll_fd = -1;
    for (const size_t slot : open_order) {
        watcher_fds[slot] = open_watcher(slot, lookup_report::verbose);
        if (watcher_fds[slot] < 0) {
            console_print(stderr, console_level::err, "%d open failed\n", static_cast<int>(slot));
            return watcher_fds[slot];
        }
    }
    for (const load_watcher &watcher : watchers) {
        watcher.callback();
    }
    watching_epoll_fd = epoll_fd;
    for (size_t slot = 0; slot < watchers.size(); ++slot) {
        const int result = watch_slot(slot);
        if (result < 0) {
            return result;
        }
    }
    return 0;
}

void regulator_deinit() {
    // Closing also removes the files from the epoll set; the mask keeps its last value.
    for (int &fd : watcher_fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    in_epoll_set.fill(false);
    watching_epoll_fd = -1;
    lookup_udev = nullptr;
}

void regulator_check_files() {
    if (watching_epoll_fd < 0) {
        return; // not initialised, or initialisation failed
    }
    for (size_t slot = 0; slot < watchers.size(); ++slot) {
        check_slot(slot);
    }
}

uint8_t regulator_get_load() {
    return load_mask;
}

bool regulator_left_backlight_changed() {
    return refresh_slot(0);
}
bool regulator_right_backlight_changed() {
    return refresh_slot(1);
}
bool regulator_preboost_changed() {
    return refresh_slot(2);
}
bool regulator_room_tracking_changed() {
    return refresh_slot(3);
}
