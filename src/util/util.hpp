// SPDX-License-Identifier: MIT
// Uniform access to sysfs attribute files: reads, writes and tests that behave the same
// everywhere and report failures with the same messages on standard error.
//
// Results: 0 on success; on failure the failing call's own result (-1 for open, read and
// write), -11 for a short write, -22 for a zero-size buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

// Decimal text to number as the kernel's attributes need it: leading white space skipped,
// one sign accepted, stops at the first non-digit, no digits gives 0. Saturates instead of
// overflowing (strtoll semantics).
int64_t parse_decimal64(const char *text);
// The same, narrowed to the 32 bits every value of the daemon is stored in.
int32_t parse_decimal(const char *text);

// Descriptor operations, for attribute files a module keeps open. Each read starts again
// at offset 0, which is also what re-arms a sysfs attribute's change notification.
int sysfs_read_int(int fd, int32_t &value);
int sysfs_read_string_as_bool(int fd, const char *expected, bool &result);
int sysfs_write_int(int fd, int32_t value);

// Path operations: open, do one thing, close.
int write_file(const char *path, const char *text);
int read_attr_string(const char *path, char *buffer, size_t size);
int read_attr_int(const char *path, int32_t &value);
bool read_attr_bool(const char *path);
bool is_directory(const char *path);
bool is_regular_file(const char *path);
int replace_symlink(const char *target, const char *link_path);

// Device lookup: finds a device through a udev enumeration of its subsystem, by sysname
// and/or the value of its "name" attribute (either may be null), and opens the attribute
// file `name` in the device's directory with `flags` plus close-on-exec. The first device
// whose attribute opens wins. Returns the descriptor, or a negative value: -1, or the
// negative result of the enumeration call that failed.
struct udev;
using attr_path_text = char[256];
// opened_path, when given, receives the path of the file opened. A quiet lookup (a device
// looked for again while it is gone, every few seconds) prints nothing.
enum class lookup_report { verbose, quiet };
int udev_open_file(udev *udev, const char *subsystem, const char *sysname, const char *device_name,
                   const char *name, int flags, attr_path_text *opened_path = nullptr,
                   lookup_report report = lookup_report::verbose);
// "<syspath>/<name>" into path; false when it does not fit (a cut path names another file).
bool device_attr_path(attr_path_text &path, const char *syspath, const char *name);

// The kinds of device the daemon looks up.
int open_led_attr(udev *udev, const char *sysname, attr_path_text *opened_path = nullptr,
                  lookup_report report = lookup_report::verbose); // led_state
int open_regulator_attr(udev *udev, const char *regulator_name,
                        attr_path_text *opened_path = nullptr,
                        lookup_report report = lookup_report::verbose); // state
int open_iio_attr(udev *udev, const char *device_name, const char *attribute,
                  attr_path_text *opened_path = nullptr,
                  lookup_report report = lookup_report::verbose); // read-only
int open_power_supply_attr(udev *udev, const char *sysname, const char *attribute);
int open_hwmon_attr(udev *udev, const char *device_name, const char *attribute,
                    attr_path_text *opened_path = nullptr,
                    lookup_report report = lookup_report::verbose); // read-write

// A kept-open attribute file can outlive its device. When the driver is unbound (a module
// unloaded, a device reset) the kernel keeps the descriptor, but every read fails with
// ENODEV and no notification comes again; when the driver is bound again its path names a
// new file (or, for a renumbered device, nothing), which must be opened anew.
// sysfs_file_is_gone reads from offset 0, so it also takes a pending notification: callers
// use it where the value is read again anyway. sysfs_notification_pending only looks.
bool sysfs_file_is_gone(int fd);
bool sysfs_notification_pending(int fd);
// The one report of a kept-open file's loss, and the one of its return.
void report_kept_file_lost(const char *path);
void report_kept_file_back(const char *path);
// Reports the loss and closes the file (which also takes it out of the epoll set); fd
// becomes -1, so the next look opens the file anew.
void drop_lost_kept_file(int &fd, const char *path);

// The properties of one udev event, as an event handler asks for them: the daemon passes
// the event's udev device, a test or a fuzz target a table of its own. get returns the
// value text, or nullptr when the event has no such property; a text is valid only while
// the event is being handled.
struct property_source {
    const void *context;
    const char *(*get)(const void *context, const char *key);
};

inline const char *property_value(const property_source &properties, const char *key) {
    return properties.get(properties.context, key);
}

// The properties of a udev device, fetched through libudev.
struct udev_device;
property_source udev_device_properties(udev_device *device);

// Epoll callback: the only thing an epoll registration's data holds. It finds its file
// through its module's own state and returns true when an update cycle is wanted.
using epoll_callback = bool (*)();

// Adds fd to the epoll set with the callback as its data (EPOLL_CTL_ADD only; closing the
// file removes it). Returns epoll_ctl's result.
int epoll_watch(int epoll_fd, int fd, uint32_t events, epoll_callback callback);
// Removes fd from the epoll set and leaves it open. For a watched attribute whose device is
// gone: the kernel reports it ready for ever and every read fails with ENODEV, so a
// level-triggered watch would wake the loop on every wait. Returns epoll_ctl's result.
int epoll_unwatch(int epoll_fd, int fd);
// The callback stored by epoll_watch in an event's data; nullptr for empty data.
epoll_callback epoll_callback_from(uint64_t event_data);

// Path of an attribute of a device whose sysfs directory is fixed by its driver, joined at
// compile time (a path that does not fit fails the build).
struct sysfs_attr_path {
    char text[96]{};
};

// Whether dir and attribute fit together with the terminating NUL.
constexpr bool sysfs_attr_path_fits(std::string_view dir, std::string_view attribute) {
    return dir.size() + attribute.size() < sizeof sysfs_attr_path::text;
}

// Never defined: reaching a call in constant evaluation fails the build.
void sysfs_attr_path_too_long();

consteval sysfs_attr_path sysfs_attr_path_join(std::string_view dir, std::string_view attribute) {
    if (!sysfs_attr_path_fits(dir, attribute)) {
        sysfs_attr_path_too_long();
    }
    sysfs_attr_path path;
    size_t length = 0;
    for (const char c : dir) {
        path.text[length++] = c;
    }
    for (const char c : attribute) {
        path.text[length++] = c;
    }
    return path;
}
