// SPDX-License-Identifier: MIT
#include "util/util.hpp"
#include "util/console.hpp"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <limits>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef NDEBUG
#error "charged relies on assert() for its programming-error aborts; never build with NDEBUG"
#endif

namespace {

constexpr size_t descriptor_read_limit = 64;
constexpr int short_write = -11;
constexpr int zero_size_buffer = -22;

bool is_white_space(char c) {
    // The standard class: space, \t, \n, \v, \f, \r.
    const auto byte = static_cast<unsigned char>(c);
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// Reads at most descriptor_read_limit bytes from offset 0 into text (which holds one more
// for the terminator). Returns the byte count, or the read's negative result.
ssize_t read_from_start(int fd, char (&text)[descriptor_read_limit + 1]) {
    lseek(fd, 0, SEEK_SET);
    const ssize_t count = read(fd, text, descriptor_read_limit);
    if (count >= 0) {
        text[count] = '\0';
    }
    return count;
}

int write_failure_result(ssize_t written) {
    return written < 0 ? static_cast<int>(written) : short_write;
}

} // namespace

int64_t parse_decimal64(const char *text) {
    if (text == nullptr) {
        return 0;
    }
    while (is_white_space(*text)) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    // Accumulate towards the negative side, which has room for INT64_MIN.
    constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
    int64_t value = 0;
    bool saturated = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const int digit = *text - '0';
        if (value < (lowest + digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (saturated) {
        return negative ? lowest : std::numeric_limits<int64_t>::max();
    }
    if (negative) {
        return value;
    }
    return value == lowest ? std::numeric_limits<int64_t>::max() : -value;
}

int32_t parse_decimal(const char *text) {
    // Modular narrowing, as storing a wider conversion into 32 bits always did.
    return static_cast<int32_t>(static_cast<uint32_t>(parse_decimal64(text)));
}

int sysfs_read_int(int fd, int32_t &value) {
    if (fd < 0) {
        assert(0);
    }
    char text[descriptor_read_limit + 1];
    const ssize_t count = read_from_start(fd, text);
    if (count < 0) {
        return static_cast<int>(count);
    }
    value = parse_decimal(text);
    return 0;
}

int sysfs_read_string_as_bool(int fd, const char *expected, bool &result) {
    if (fd < 0 || expected == nullptr) {
        assert(0);
    }
    char text[descriptor_read_limit + 1];
    ssize_t count = read_from_start(fd, text);
    if (count < 0) {
        return static_cast<int>(count);
    }
    while (count > 0 && is_white_space(text[count - 1])) {
        --count;
    }
    text[count] = '\0';
    result = std::strncmp(text, expected, descriptor_read_limit) == 0;
    return 0;
}

int sysfs_write_int(int fd, int32_t value) {
    if (fd < 0) {
        assert(0);
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%d", value);
    const ssize_t written = write(fd, text, static_cast<size_t>(length));
    if (written == length) {
        return 0;
    }
    console_print(stderr, console_level::err, "Write '%s' failed on %d\n", text,
                  static_cast<int>(written));
    return write_failure_result(written);
}

int write_file(const char *path, const char *text) {
    if (path == nullptr || text == nullptr) {
        assert(0);
    }
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open %s failed on %d\n", path, fd);
        return fd;
    }
    const size_t length = std::strlen(text);
    const ssize_t written = write(fd, text, length);
    close(fd);
    if (written >= 0 && static_cast<size_t>(written) == length) {
        return 0;
    }
    console_print(stderr, console_level::err, "Write %s to %s failed on %d\n", text, path,
                  static_cast<int>(written));
    return write_failure_result(written);
}

int read_attr_string(const char *path, char *buffer, size_t size) {
    if (size == 0) {
        return zero_size_buffer;
    }
    if (path == nullptr || buffer == nullptr) {
        assert(0);
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open %s failed on %d\n", path, fd);
        return fd;
    }
    const ssize_t count = read(fd, buffer, size - 1);
    close(fd);
    if (count < 0) {
        console_print(stderr, console_level::err, "Read %s failed on %d\n", path,
                      static_cast<int>(count));
        return static_cast<int>(count);
    }
    // Attribute texts end in a newline; only spaces and newlines are trimmed.
    size_t length = static_cast<size_t>(count);
    buffer[length] = '\0';
    while (length > 0 && (buffer[length - 1] == ' ' || buffer[length - 1] == '\n')) {
        buffer[--length] = '\0';
    }
    return 0;
}

int read_attr_int(const char *path, int32_t &value) {
    char text[64];
    const int result = read_attr_string(path, text, sizeof text);
    if (result != 0) {
        return result;
    }
    value = parse_decimal(text);
    return 0;
}

bool read_attr_bool(const char *path) {
    if (!is_regular_file(path)) {
        return false;
    }
    char text[8];
    if (read_attr_string(path, text, sizeof text) != 0) {
        return false;
    }
    return text[0] == '1';
}

bool is_directory(const char *path) {
    struct stat status {};
    return path != nullptr && stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

bool is_regular_file(const char *path) {
    struct stat status {};
    return path != nullptr && stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

int replace_symlink(const char *target, const char *link_path) {
    if (target == nullptr || link_path == nullptr) {
        return -1;
    }
    const bool replaced =
        (unlink(link_path) == 0 || errno == ENOENT) && symlink(target, link_path) == 0;
    if (!replaced) {
        console_print(stderr, console_level::err, "failed to create symlink for %s -> %s\n",
                      link_path, target);
        return -1;
    }
    console_print(stderr, console_level::info, "symlink created for %s -> %s\n", link_path, target);
    return 0;
}

bool device_attr_path(attr_path_text &path, const char *syspath, const char *name) {
    const int length = std::snprintf(path, sizeof path, "%s/%s", syspath, name);
    return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

namespace {

void announce_search(const char *sysname, const char *device_name, const char *name) {
    if (sysname != nullptr) {
        console_print(stderr, console_level::debug, "Searching for %s - %s\n", sysname, name);
    } else if (device_name != nullptr) {
        console_print(stderr, console_level::debug, "Searching for %s - %s\n", device_name, name);
    } else {
        console_print(stderr, console_level::debug, "Searching for %s\n", name);
    }
}

// Adds the matches and scans. Returns 0, or the negative result of the call that failed.
int scan_matching_devices(udev_enumerate *enumerate, const char *subsystem, const char *sysname,
                          const char *device_name) {
    int result = udev_enumerate_add_match_subsystem(enumerate, subsystem);
    if (result < 0) {
        console_print(stderr, console_level::err,
                      "udev_enumerate_add_match_subsystem() failed on: %d\n", result);
        return result;
    }
    if (device_name != nullptr) {
        result = udev_enumerate_add_match_sysattr(enumerate, "name", device_name);
        if (result < 0) {
            console_print(stderr, console_level::err,
                          "udev_enumerate_add_match_sysattr() failed on: %d\n", result);
            return result;
        }
    }
    if (sysname != nullptr) {
        result = udev_enumerate_add_match_sysname(enumerate, sysname);
        if (result < 0) {
            console_print(stderr, console_level::err,
                          "udev_enumerate_add_match_sysname() failed on: %d\n", result);
            return result;
        }
    }
    result = udev_enumerate_scan_devices(enumerate);
    if (result < 0) {
        console_print(stderr, console_level::err, "udev_enumerate_scan_devices() failed on: %d\n",
                      result);
    }
    return result;
}

// Opens the attribute in the first listed device that has it; -1 when none does.
int open_first_attr(udev_enumerate *enumerate, const char *name, int flags,
                    attr_path_text *opened_path, lookup_report report) {
    bool tried = false;
    int last_result = -1;
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        tried = true;
        attr_path_text path;
        if (!device_attr_path(path, udev_list_entry_get_name(entry), name)) {
            // A cut path would name another file: count it as a failed open.
            last_result = -1;
            continue;
        }
        last_result = open(path, flags | O_CLOEXEC);
        if (last_result >= 0) {
            if (report == lookup_report::verbose) {
                console_print(stderr, console_level::debug, "Opened %s\n", path);
            }
            if (opened_path != nullptr) {
                std::memcpy(*opened_path, path, sizeof path);
            }
            return last_result;
        }
    }
    if (tried && report == lookup_report::verbose) {
        console_print(stderr, console_level::err, "Open Failed on %d\n", last_result);
    }
    return -1;
}

} // namespace

int udev_open_file(udev *udev, const char *subsystem, const char *sysname, const char *device_name,
                   const char *name, int flags, attr_path_text *opened_path, lookup_report report) {
    assert(udev);
    assert(name);
    if (report == lookup_report::verbose) {
        announce_search(sysname, device_name, name);
    }
    udev_enumerate *enumerate = udev_enumerate_new(udev);
    if (enumerate == nullptr) {
        console_print(stderr, console_level::err, "udev_enumerate_new() failed\n");
        return -1;
    }
    int result = scan_matching_devices(enumerate, subsystem, sysname, device_name);
    if (result >= 0) {
        result = open_first_attr(enumerate, name, flags, opened_path, report);
    }
    udev_enumerate_unref(enumerate);
    return result;
}

int open_led_attr(udev *udev, const char *sysname, attr_path_text *opened_path,
                  lookup_report report) {
    return udev_open_file(udev, "leds", sysname, nullptr, "led_state", O_RDONLY, opened_path,
                          report);
}

int open_regulator_attr(udev *udev, const char *regulator_name, attr_path_text *opened_path,
                        lookup_report report) {
    return udev_open_file(udev, "regulator", nullptr, regulator_name, "state", O_RDONLY,
                          opened_path, report);
}

int open_iio_attr(udev *udev, const char *device_name, const char *attribute,
                  attr_path_text *opened_path, lookup_report report) {
    return udev_open_file(udev, "iio", nullptr, device_name, attribute, O_RDONLY, opened_path,
                          report);
}

int open_power_supply_attr(udev *udev, const char *sysname, const char *attribute) {
    return udev_open_file(udev, "power_supply", sysname, nullptr, attribute, O_RDONLY);
}

int open_hwmon_attr(udev *udev, const char *device_name, const char *attribute,
                    attr_path_text *opened_path, lookup_report report) {
    return udev_open_file(udev, "hwmon", nullptr, device_name, attribute, O_RDWR, opened_path,
                          report);
}

bool sysfs_file_is_gone(int fd) {
    assert(fd >= 0);
    char text[descriptor_read_limit + 1];
    return read_from_start(fd, text) < 0 && errno == ENODEV;
}

bool sysfs_notification_pending(int fd) {
    assert(fd >= 0);
    pollfd watched{fd, POLLPRI, 0};
    return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLPRI | POLLERR)) != 0;
}

void report_kept_file_lost(const char *path) {
    console_print(stderr, console_level::warning, "Lost %s; reopening it when its device returns\n",
                  path);
}

void drop_lost_kept_file(int &fd, const char *path) {
    report_kept_file_lost(path);
    close(fd);
    fd = -1;
}

void report_kept_file_back(const char *path) {
    console_print(stderr, console_level::info, "Reopened %s\n", path);
}

namespace {

const char *udev_device_property(const void *device, const char *key) {
    // libudev's getter takes a non-const device; the device itself was never const.
    return udev_device_get_property_value(
        const_cast<udev_device *>(static_cast<const udev_device *>(device)), key);
}

} // namespace

property_source udev_device_properties(udev_device *device) {
    assert(device);
    return property_source{device, udev_device_property};
}

int epoll_watch(int epoll_fd, int fd, uint32_t events, epoll_callback callback) {
    if (epoll_fd < 0 || fd < 0 || callback == nullptr) {
        assert(0);
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = reinterpret_cast<uintptr_t>(callback);
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event);
}

int epoll_unwatch(int epoll_fd, int fd) {
    if (epoll_fd < 0 || fd < 0) {
        assert(0);
    }
    return epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
}

epoll_callback epoll_callback_from(uint64_t event_data) {
    // The data word holds nothing but the callback's address (see epoll_watch).
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<epoll_callback>(static_cast<uintptr_t>(event_data));
}
