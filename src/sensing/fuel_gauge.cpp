// SPDX-License-Identifier: MIT
#include "sensing/fuel_gauge.hpp"

#include "util/console.hpp"
#include "util/util.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <regex.h>
#include <unistd.h>

namespace {

constexpr int not_found = -6;
constexpr const char *power_supply_dir = "/sys/class/power_supply/";
// The pack's gauge; its udev event triggers a new search for the external battery.
constexpr const char *external_gauge_name = "max1720x_bat_7-76";
// The internal battery is charged to 90 % of its capacity; that reads as full.
constexpr int64_t internal_full_capacity = 90;

struct fuel_gauge_battery {
    char address_suffix[3];
    bool present;
    char dir[48]; // with trailing slash; empty until found
};

fuel_gauge_battery batteries[2] = {
    {"36", false, ""},
    {"76", false, ""},
};

constexpr const char *link_names[2] = {"BAT0", "BAT1"};

fuel_gauge_battery &battery_record(int battery) {
    return batteries[battery == BATTERY_INTERNAL ? 0 : 1];
}

bool compile_name_pattern(regex_t &expression, const char *address_suffix) {
    char pattern[32];
    std::snprintf(pattern, sizeof pattern, "^max1720x_bat_[0-9]{1,2}-%s$", address_suffix);
    return regcomp(&expression, pattern, REG_EXTENDED | REG_NOSUB) == 0;
}

// The first directory (or link to one) whose name matches, in directory order.
bool find_gauge_dir(DIR *directory, const regex_t &expression, char (&dir)[48]) {
    while (const dirent *entry = readdir(directory)) {
        if (entry->d_type != DT_DIR && entry->d_type != DT_LNK) {
            continue;
        }
        if (regexec(&expression, entry->d_name, 0, nullptr, 0) != 0) {
            continue;
        }
        const int length = std::snprintf(dir, sizeof dir, "%s%s/", power_supply_dir, entry->d_name);
        if (length < 0 || static_cast<size_t>(length) >= sizeof dir) {
            console_print(stderr, console_level::warning, "Entry truncated: %s\n", entry->d_name);
        }
        return true;
    }
    return false;
}

// Reads one attribute of a present battery; 0 when it is absent or unreadable.
int32_t read_battery_attr(int battery, const char *attribute) {
    const fuel_gauge_battery &record = battery_record(battery);
    int32_t value = 0;
    if (record.present) {
        fuel_gauge_read_attr(record.dir, attribute, &value);
    }
    return value;
}

} // namespace

bool fuel_gauge_name_matches(const char *power_supply_name, const char *address_suffix) {
    regex_t expression;
    if (!compile_name_pattern(expression, address_suffix)) {
        return false;
    }
    const bool matches = regexec(&expression, power_supply_name, 0, nullptr, 0) == 0;
    regfree(&expression);
    return matches;
}

int32_t fuel_gauge_percent_from_capacity(int battery, int32_t capacity) {
    if (battery != BATTERY_INTERNAL) {
        return capacity;
    }
    // In 64 bits: a garbage capacity must not overflow before the cap.
    const int64_t percent = int64_t{capacity} * 100 / internal_full_capacity;
    return static_cast<int32_t>(
        std::clamp<int64_t>(percent, std::numeric_limits<int32_t>::min(), 100));
}

int32_t fuel_gauge_find(int battery) {
    fuel_gauge_battery &record = battery_record(battery);
    record.dir[0] = '\0';
    regex_t expression;
    if (!compile_name_pattern(expression, record.address_suffix)) {
        console_print(stderr, console_level::err, "Failed to compile regex.\n");
        return not_found;
    }
    DIR *directory = opendir(power_supply_dir);
    if (directory == nullptr) {
        console_print(stderr, console_level::err, "Failed to open power supply directory\n");
        regfree(&expression);
        return not_found;
    }
    const bool found = find_gauge_dir(directory, expression, record.dir);
    closedir(directory);
    regfree(&expression);
    if (!found) {
        return not_found;
    }
    if (battery == BATTERY_INTERNAL || battery == BATTERY_EXTERNAL) {
        replace_symlink(record.dir, link_names[battery]);
    }
    record.present = true;
    return 0;
}

void fuel_gauge_mark_absent(int battery) {
    battery_record(battery).present = false;
}

bool fuel_gauge_is_present(int battery) {
    return battery_record(battery).present;
}

void fuel_gauge_read_attr(const char *dir, const char *attribute, int32_t *target) {
    // An empty directory would turn the path into a file of the working directory.
    if (dir == nullptr || dir[0] == '\0' || attribute == nullptr || target == nullptr) {
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s%s", dir, attribute);
    const int fd = open(text, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const ssize_t count = read(fd, text, sizeof text - 1);
    close(fd);
    if (count < 0) {
        return;
    }
    text[count] = '\0';
    *target = parse_decimal(text);
}

int32_t fuel_gauge_capacity(int battery) {
    return read_battery_attr(battery, "capacity");
}

int32_t fuel_gauge_battery_percent(int battery) {
    if (!fuel_gauge_is_present(battery)) {
        return 0;
    }
    return fuel_gauge_percent_from_capacity(battery, fuel_gauge_capacity(battery));
}

int32_t fuel_gauge_voltage_avg(int battery) {
    return read_battery_attr(battery, "voltage_avg");
}

int32_t fuel_gauge_current_avg(int battery) {
    return read_battery_attr(battery, "current_avg");
}

int32_t fuel_gauge_time_to_empty_avg(int battery) {
    return read_battery_attr(battery, "time_to_empty_avg");
}

int32_t fuel_gauge_time_to_full_avg(int battery) {
    return read_battery_attr(battery, "time_to_full_avg");
}

fuel_gauge_reading fuel_gauge_get_reading(int battery) {
    fuel_gauge_reading reading{};
    reading.capacity = fuel_gauge_capacity(battery);
    reading.voltage_avg = fuel_gauge_voltage_avg(battery);
    reading.current_avg = fuel_gauge_current_avg(battery);
    reading.time_to_empty_avg = fuel_gauge_time_to_empty_avg(battery);
    reading.time_to_full_avg = fuel_gauge_time_to_full_avg(battery);
    return reading;
}

bool fuel_gauge_process_udev(udev_device * /*device*/, const char *power_supply_name) {
    if (power_supply_name == nullptr || std::strncmp(power_supply_name, external_gauge_name,
                                                     std::strlen(external_gauge_name)) != 0) {
        return false;
    }
    if (fuel_gauge_find(BATTERY_EXTERNAL) != 0) {
        fuel_gauge_mark_absent(BATTERY_EXTERNAL);
    }
    return true;
}

bool fuel_gauge_recheck(int battery) {
    fuel_gauge_battery &record = battery_record(battery);
    if (record.present) {
        if (!is_directory(record.dir)) {
            record.present = false;
        }
        return false;
    }
    if (is_directory(record.dir)) {
        fuel_gauge_find(battery);
        return true;
    }
    return false;
}
