// SPDX-License-Identifier: MIT
#include "pack/mp2652.hpp"

#include "charger/pm8550b_charger.hpp"
#include "util/console.hpp"
#include "util/util.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view charger_dir = "/sys/class/power_supply/mp2652-charger/";
constexpr const char *charger_name = "mp2652-charger";

using attr_path = sysfs_attr_path;

consteval attr_path charger_path(std::string_view attribute) {
    return sysfs_attr_path_join(charger_dir, attribute);
}

constexpr attr_path dir_path = charger_path("");
constexpr attr_path uevent_path = charger_path("uevent");
constexpr attr_path status_path = charger_path("status");
constexpr attr_path charge_type_path = charger_path("charge_type");
constexpr attr_path health_path = charger_path("health");
constexpr attr_path constant_charge_current_path = charger_path("constant_charge_current");
constexpr attr_path constant_charge_voltage_path = charger_path("constant_charge_voltage");
constexpr attr_path input_current_limit_path = charger_path("input_current_limit");
constexpr attr_path input_voltage_limit_path = charger_path("input_voltage_limit");
constexpr attr_path precharge_current_path = charger_path("precharge_current");
constexpr attr_path charge_term_current_path = charger_path("charge_term_current");
constexpr attr_path constant_charge_current_max_path = charger_path("constant_charge_current_max");
constexpr attr_path constant_charge_voltage_max_path = charger_path("constant_charge_voltage_max");

// The last values the charger told us; a failed read keeps the previous value.
cross_charger_reading live_reading{};
bool initialised = false;

struct text_value {
    std::string_view text;
    int32_t value;
};

constexpr text_value charge_types[] = {
    {"N/A", CHARGE_TYPE_NA},
    {"Trickle", CHARGE_TYPE_TRICKLE},
    {"Fast", CHARGE_TYPE_FAST},
};

constexpr text_value healths[] = {
    {"Good", HEALTH_GOOD}, {"Cold", HEALTH_COLD}, {"Cool", HEALTH_COOL},
    {"Warm", HEALTH_WARM}, {"Hot", HEALTH_HOT},
};

template <size_t N>
int32_t lookup(const text_value (&table)[N], const char *text, int32_t unknown) {
    if (text == nullptr) {
        return unknown;
    }
    for (const text_value &entry : table) {
        if (entry.text == text) {
            return entry.value;
        }
    }
    return unknown;
}

// Reads one text attribute and stores its parsed value only when the read succeeds.
void read_text_field(const attr_path &path, int32_t &field, int32_t (*parse)(const char *)) {
    char text[64];
    if (read_attr_string(path.text, text, sizeof text) == 0) {
        field = parse(text);
    }
}

// The kernel answers "change" written to uevent with a change event carrying every
// property of the charger, which comes back to mp2652_process_udev.
int32_t request_change_event() {
    const int fd = open(uevent_path.text, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        console_print(stderr, console_level::err, "Open MP2652 uevent failed on %d\n", fd);
        return fd;
    }
    constexpr std::string_view change = "change";
    const ssize_t written = write(fd, change.data(), change.size());
    close(fd);
    if (written < 0) {
        console_print(stderr, console_level::err, "Change Notify MP2652 uevent failed on %d\n",
                      static_cast<int>(written));
        return static_cast<int32_t>(written);
    }
    return 0;
}

int32_t write_setting(const attr_path &path, int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return write_file(path.text, text);
}

void store_property(const property_source &properties, const char *property, int32_t &field) {
    const char *text = property_value(properties, property);
    if (text != nullptr) {
        field = parse_decimal(text);
    }
}

void store_text_property(const property_source &properties, const char *property, int32_t &field,
                         int32_t (*parse)(const char *)) {
    const char *text = property_value(properties, property);
    if (text != nullptr) {
        field = parse(text);
    }
}

} // namespace

int32_t mp2652_parse_charge_type(const char *text) {
    return lookup(charge_types, text, CHARGE_TYPE_UNKNOWN);
}

int32_t mp2652_parse_health(const char *text) {
    return lookup(healths, text, HEALTH_UNKNOWN);
}

// The driver's directory exists exactly while the pack (and with it the charger) is
// fitted, so presence is asked anew every time instead of being remembered.
bool mp2652_is_present() {
    return is_directory(dir_path.text);
}

bool mp2652_is_initialised() {
    return initialised;
}

cross_charger_reading mp2652_read_all() {
    if (!mp2652_is_present()) {
        return live_reading;
    }
    read_text_field(status_path, live_reading.status, charger_status_parse);
    read_text_field(charge_type_path, live_reading.charge_type, mp2652_parse_charge_type);
    read_text_field(health_path, live_reading.health, mp2652_parse_health);
    read_attr_int(constant_charge_current_path.text, live_reading.constant_charge_current);
    read_attr_int(constant_charge_voltage_path.text, live_reading.constant_charge_voltage);
    read_attr_int(input_current_limit_path.text, live_reading.input_current_limit);
    read_attr_int(input_voltage_limit_path.text, live_reading.input_voltage_limit);
    read_attr_int(precharge_current_path.text, live_reading.precharge_current);
    read_attr_int(charge_term_current_path.text, live_reading.charge_term_current);
    return live_reading;
}

int32_t mp2652_init() {
    if (!mp2652_is_present()) {
        return 0;
    }
    if (!initialised) {
        console_print(stdout, console_level::info, "Initializing mp2652 charger\n");
    }
    initialised = true;
    // The limits' ceilings never change while the charger is there; only init reads them.
    read_attr_int(constant_charge_current_max_path.text, live_reading.constant_charge_current_max);
    read_attr_int(constant_charge_voltage_max_path.text, live_reading.constant_charge_voltage_max);
    mp2652_read_all();
    return request_change_event();
}

void mp2652_set_enable(bool enable) {
    int result = 0;
    if (enable) {
        result = write_file(status_path.text, "Charging");
    } else if (mp2652_is_present()) {
        result = write_file(status_path.text, "Not charging");
    }
    if (result < 0) {
        console_print(stderr, console_level::err, "MP2652: Failed to set charger enable: %d\n",
                      result);
    }
}

void mp2652_uninit() {
    console_print(stdout, console_level::info, "Uninitializing mp2652 charger\n");
    mp2652_set_enable(false);
    initialised = false;
}

bool mp2652_process_udev(udev_device *device) {
    if (device == nullptr) {
        return false;
    }
    return mp2652_process_properties(udev_device_properties(device));
}

bool mp2652_process_properties(const property_source &properties) {
    // A charger that appears after the pack's connect event is taken up by its own event.
    if (!initialised && mp2652_is_present()) {
        mp2652_init();
    }
    if (!mp2652_is_present()) {
        mp2652_uninit();
    }
    // A vanished charger asks for an update cycle with every event.
    if (!initialised) {
        return true;
    }
    const char *name = property_value(properties, "POWER_SUPPLY_NAME");
    if (name == nullptr || std::strcmp(name, charger_name) != 0) {
        return false;
    }

    const int32_t old_status = live_reading.status;
    const char *status = property_value(properties, "POWER_SUPPLY_STATUS");
    live_reading.status = charger_status_parse(status);
    if (status == nullptr) {
        console_print(stderr, console_level::warning, "MP2652: Unknown Charger Status NULL\n");
    }
    store_text_property(properties, "POWER_SUPPLY_CHARGE_TYPE", live_reading.charge_type,
                        mp2652_parse_charge_type);
    store_text_property(properties, "POWER_SUPPLY_HEALTH", live_reading.health,
                        mp2652_parse_health);
    store_property(properties, "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE",
                   live_reading.constant_charge_voltage);
    store_property(properties, "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT",
                   live_reading.constant_charge_current);
    store_property(properties, "POWER_SUPPLY_INPUT_CURRENT_LIMIT",
                   live_reading.input_current_limit);
    store_property(properties, "POWER_SUPPLY_INPUT_VOLTAGE_LIMIT",
                   live_reading.input_voltage_limit);
    store_property(properties, "POWER_SUPPLY_PRECHARGE_CURRENT", live_reading.precharge_current);
    store_property(properties, "POWER_SUPPLY_CHARGE_TERM_CURRENT",
                   live_reading.charge_term_current);
    // Only the charging state matters to the policy; limit changes need no new cycle.
    return live_reading.status != old_status;
}

int32_t mp2652_set_constant_charge_current(int32_t value) {
    return write_setting(constant_charge_current_path, value);
}

int32_t mp2652_set_constant_charge_voltage(int32_t value) {
    return write_setting(constant_charge_voltage_path, value);
}

int32_t mp2652_set_input_current_limit(int32_t value) {
    return write_setting(input_current_limit_path, value);
}

int32_t mp2652_set_input_voltage_limit(int32_t value) {
    return write_setting(input_voltage_limit_path, value);
}

int32_t mp2652_set_precharge_current(int32_t value) {
    return write_setting(precharge_current_path, value);
}

int32_t mp2652_set_charge_term_current(int32_t value) {
    return write_setting(charge_term_current_path, value);
}
