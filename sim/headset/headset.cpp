#include "headset.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>

namespace vh {

// ---- where each device lives in /sys/devices ----

namespace {

const std::string soc = "/sys/devices/platform/soc@0";
const std::string spmi = soc + "/c400000.spmi/spmi-0";
const std::string charger_device =
    spmi + "/0-07/c400000.spmi:pmic@7:charger@1000/power_supply/pm8550b-charger";
const std::string tcpm_device = spmi + "/0-07/c400000.spmi:pmic@7:typec@2b00/power_supply/"
                                       "tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00";
const std::string adc_device = spmi + "/0-00/c400000.spmi:pmic@0:vadc@9000/iio:device0";
const std::string bcl_device = spmi + "/0-01/c400000.spmi:pmic@1:sensor@4700";
const std::string hwmon_device = bcl_device + "/hwmon/hwmon2";
const std::string hotswap_device = soc + "/i2c@5/i2c-5/5-0040/power_supply/pellgrave-hotswap";
const std::string mp2652_device = soc + "/i2c@7/i2c-7/7-005c/power_supply/mp2652-charger";
const std::string led_device = soc + "/i2c@4/i2c-4/4-0063/leds/mp3317-scene-illum-ir";

struct RegulatorInfo {
    const std::string &class_path;
    std::string device;
    std::string name;
};

std::vector<RegulatorInfo> regulators() {
    return {
        {path::backlight_left, "/sys/devices/platform/backlight-left-vreg/regulator/regulator.20",
         "backlight_left"},
        {path::backlight_right, "/sys/devices/platform/backlight-right-vreg/regulator/regulator.21",
         "backlight_right"},
        {path::preboost, soc + "/i2c@2/i2c-2/2-0074/regulator/regulator.22", "tps61377"},
    };
}

std::string two_digits(int number) {
    return (number < 10 ? "0" : "") + std::to_string(number);
}

std::string gauge_name(int bus, int address) {
    return "max1720x_bat_" + std::to_string(bus) + "-" + two_digits(address);
}

std::string gauge_device(int bus, int address) {
    const std::string b = std::to_string(bus);
    return soc + "/i2c@" + b + "/i2c-" + b + "/" + b + "-00" + two_digits(address) +
           "/power_supply/" + gauge_name(bus, address);
}

// The hot-swap controller's notified attributes.
const std::vector<std::string> hotswap_watched = {
    "realtime_pack_connected",
    "internal_voltage_ok",
    "removable_voltage_ok",
    "realtime_cross_chg_vint_from_vrem",
    "realtime_cross_chg_vrem_from_vint",
    "internal_active",
    "removable_active",
    "interrupt_vint_not_valid",
    "realtime_hw_batt_control",
    "realtime_use_int_batt",
    "interrupt_charger_fault",
    "interrupt_pack_installed",
    "interrupt_pack_removed",
};
const std::vector<std::string> hotswap_interrupts = {
    "interrupt_vint_not_valid", "interrupt_charger_fault", "interrupt_pack_installed",
    "interrupt_pack_removed"};

bool is_on(const std::string &text) {
    return !text.empty() && text[0] == '1';
}
std::string flag(bool on) {
    return on ? "1" : "0";
}
std::string decimal(int32_t value) {
    return std::to_string(value);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

int32_t to_int(const std::string &text) {
    try {
        return static_cast<int32_t>(std::stol(text));
    } catch (const std::exception &) {
        return 0;
    }
}

// Runs tasks at their time on one thread; the timed parts of the models (AICL, battery).
class Scheduler {
  public:
    Scheduler() : thread_([this] { run(); }) {}
    ~Scheduler() { stop(); }

    void after(std::chrono::milliseconds delay, std::function<void()> task) {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
            wake_.notify_all();
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            tasks_.clear();
            wake_.notify_all();
        }
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (tasks_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const auto due = tasks_.begin()->first;
            if (std::chrono::steady_clock::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            std::function<void()> task = std::move(tasks_.begin()->second);
            tasks_.erase(tasks_.begin());
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the members above exist
};

} // namespace

std::string usb_type_text(usb_type type) {
    switch (type) {
    case usb_type::c:
        return "[C] PD PD_PPS";
    case usb_type::pd:
        return "C [PD] PD_PPS";
    case usb_type::pd_pps:
        return "C PD [PD_PPS]";
    }
    return "[C] PD PD_PPS";
}

std::string path::gauge(int bus, int address) {
    return power_supply + "/" + gauge_name(bus, address);
}

// ---- the models ----

struct Headset::Model {
    // A power supply: its attributes behind the POWER_SUPPLY_* properties it reports.
    struct Supply {
        std::string name;
        std::string device; // /sys/devices/... directory
        std::string of_name;
        std::string type;
        std::vector<std::pair<std::string, std::string>> properties; // property, attribute
    };

    Headset &hs;
    FakeSysfs &fs;
    UeventInjector &events;
    const HeadsetConfig &config;

    // Serialises the models: story calls, daemon writes (FUSE threads) and timers.
    std::recursive_mutex mutex;
    bool pack_attached = false;
    // Last stored values of the attributes whose writes act only on a change.
    std::map<std::string, std::string> last_values;

    // Leaf lock: uevent readers (FUSE threads) take it without the model lock.
    mutable std::mutex supplies_mutex;
    std::vector<Supply> supplies;

    // Battery model: charge in µAh, kept fractional between steps.
    double internal_charge_uah = 0;
    double pack_charge_uah = 0;
    static constexpr double capacity_uah = 4'000'000;

    Scheduler scheduler; // last: its thread may run tasks touching the members above

    Model(Headset &headset)
        : hs(headset), fs(headset.fs()), events(headset.events()), config(headset.config()) {}

    // ---- tree building ----

    void add_device(const std::string &device, const std::string &subsystem_dir,
                    const std::string &uevent = {}) {
        fs.add_dir(device);
        fs.add_symlink(device + "/subsystem", subsystem_dir);
        fs.add_attr(device + "/uevent", uevent);
    }

    void add_class_device(const std::string &class_name, const std::string &device,
                          const std::string &entry_name, const std::string &uevent = {}) {
        add_device(device, "/sys/class/" + class_name, uevent);
        fs.add_symlink("/sys/class/" + class_name + "/" + entry_name, device);
    }

    void add_bus_device(const std::string &bus, const std::string &device,
                        const std::string &entry_name, const std::string &uevent = {}) {
        add_device(device, "/sys/bus/" + bus, uevent);
        fs.add_symlink("/sys/bus/" + bus + "/devices/" + entry_name, device);
    }

    struct Attribute {
        std::string name;
        std::string value;
        mode_t mode = 0444;
        std::string property; // POWER_SUPPLY_* it shows as, if any
    };

    void add_supply(const Supply &supply_template, const std::vector<Attribute> &attributes) {
        Supply supply = supply_template;
        add_class_device("power_supply", supply.device, supply.name);
        for (const Attribute &a : attributes) {
            fs.add_attr(supply.device + "/" + a.name, a.value, a.mode);
            if (!a.property.empty()) {
                supply.properties.emplace_back(a.property, a.name);
            }
        }
        {
            std::lock_guard lock(supplies_mutex);
            std::erase_if(supplies, [&](const Supply &s) { return s.name == supply.name; });
            supplies.push_back(supply);
        }
        const std::string device = supply.device;
        fs.on_read(device + "/uevent", [this, device] { return uevent_text(device); });
        fs.on_write(device + "/uevent",
                    [this, device](const std::string &text) { uevent_written(device, text); });
    }

    void remove_device(const std::string &device) {
        if (fs.exists(device)) {
            fs.remove(device);
        }
        remove_dangling_entries();
    }

    // Class and bus entries whose device has gone.
    void remove_dangling_entries() {
        std::vector<std::string> entry_dirs;
        if (fs.exists("/sys/class")) {
            for (const auto &c : fs.list("/sys/class")) {
                entry_dirs.push_back("/sys/class/" + c);
            }
        }
        if (fs.exists("/sys/bus")) {
            for (const auto &b : fs.list("/sys/bus")) {
                if (fs.exists("/sys/bus/" + b + "/devices")) {
                    entry_dirs.push_back("/sys/bus/" + b + "/devices");
                }
            }
        }
        for (const auto &dir : entry_dirs) {
            for (const auto &name : fs.list(dir)) {
                const std::string entry = dir + "/" + name;
                if (fs.is_symlink(entry) && !fs.exists(entry)) {
                    fs.remove(entry);
                }
            }
        }
    }

    // The configured omissions, applied after every device that appears.
    void prune() {
        for (const auto &omitted : config.omit) {
            if (!fs.exists(omitted) && !fs.is_symlink(omitted)) {
                continue;
            }
            const std::string target = fs.canonical(omitted);
            fs.remove(omitted);
            if (!target.empty() && target != omitted && fs.exists(target)) {
                fs.remove(target); // a class entry names its whole device
            }
        }
        remove_dangling_entries();
    }

    void build() {
        fs.add_dir("/sys/class/power_supply");
        fs.add_dir("/sys/class/regulator");
        fs.add_dir("/sys/class/leds");
        fs.add_dir("/sys/class/hwmon");
        fs.add_dir("/sys/bus/iio/devices");
        fs.add_dir("/sys/bus/platform/devices");
        fs.add_dir("/sys/kernel/debug");
        build_regulators_and_led();
        build_adc();
        build_bcl();
        build_tcpm();
        build_charger();
        if (config.internal_gauge) {
            build_gauge(config.internal_gauge_bus, 36, config.internal);
        }
        for (const auto &[bus, address] : config.extra_gauges) {
            build_gauge(bus, address, config.extra);
        }
        if (config.headstrap) {
            build_hotswap();
        }
        internal_charge_uah = config.internal.capacity * capacity_uah / 100;
        pack_charge_uah = config.pack.capacity * capacity_uah / 100;
        prune();
        if (config.headstrap && config.pack_attached) {
            // Present from boot: devices and controller state without events.
            create_pack_devices(false);
            set_pack_connected_state(true, false);
        }
    }

    void build_regulators_and_led() {
        for (const auto &r : regulators()) {
            const std::string entry = r.class_path.substr(r.class_path.rfind('/') + 1);
            add_class_device("regulator", r.device, entry);
            fs.add_attr(r.device + "/name", r.name);
            fs.add_attr(r.device + "/state", "disabled");
        }
        add_class_device("leds", led_device, "mp3317-scene-illum-ir");
        fs.add_attr(led_device + "/led_state", "Disable");
        fs.add_attr(led_device + "/brightness", "0");
    }

    void build_adc() {
        add_bus_device("iio", adc_device, "iio:device0", "DEVTYPE=iio_device\nOF_NAME=vadc");
        fs.add_attr(adc_device + "/name", "c400000.spmi:pmic@0:vadc@9000");
        fs.add_attr(adc_device + "/" + adc_channel::vbat, decimal(config.internal.voltage_avg_uv));
        fs.add_attr(adc_device + "/" + adc_channel::vusb, "0");
        fs.add_attr(adc_device + "/" + adc_channel::ichg, "0");
        fs.add_attr(adc_device + "/" + adc_channel::iin, "0");
    }

    void build_bcl() {
        add_bus_device("platform", bcl_device, "c400000.spmi:pmic@1:sensor@4700", "OF_NAME=sensor");
        fs.add_attr(bcl_device + "/bcl_enable", "0");
        add_class_device("hwmon", hwmon_device, "hwmon2");
        fs.add_attr(hwmon_device + "/name", "c400000.spmi:pmic@1:sensor@4700");
        fs.add_attr(hwmon_device + "/in0_enable", "1");
        fs.add_attr(hwmon_device + "/in0_min", "2800");
        fs.add_attr(hwmon_device + "/in0_lcrit", "2600");
        fs.add_attr(path::bcl_throttle_accum, config.throttle_accum, 0444);
    }

    void build_tcpm() {
        add_supply(
            {"tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00", tcpm_device, "typec", "USB", {}},
            {{"online", "0", 0444, "POWER_SUPPLY_ONLINE"},
             {"voltage_now", "0", 0444, "POWER_SUPPLY_VOLTAGE_NOW"},
             {"current_now", "0", 0444, "POWER_SUPPLY_CURRENT_NOW"},
             {"usb_type", usb_type_text(usb_type::c), 0444, "POWER_SUPPLY_USB_TYPE"}});
    }

    void build_charger() {
        add_supply(
            {"pm8550b-charger", charger_device, "charger", "USB", {}},
            {{"online", "0", 0444, "POWER_SUPPLY_ONLINE"},
             {"status", "Discharging", 0444, "POWER_SUPPLY_STATUS"},
             {"constant_charge_voltage", "8900000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE"},
             {"constant_charge_current", "1000000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT"},
             {"termination_enable", "1", 0644, {}},
             {"charging_pause", "0", 0644, {}},
             {"charging_enable", "1", 0644, {}},
             {"aicl_enable", "1", 0644, {}},
             {"aicl_rerun", "0", 0644, {}},
             {"qph2_allow", "0", 0644, {}},
             {"qph2_resume", "0", 0644, {}},
             {"qph2", "0", 0444, {}},
             {"aicl_status", "0", 0444, {}}});
        last_values["constant_charge_voltage"] = "8900000";
        last_values["constant_charge_current"] = "1000000";
        const std::string dir = charger_device + "/";
        fs.on_write(dir + "aicl_rerun", [this](const std::string &t) { aicl_rerun_written(t); });
        fs.on_write(dir + "aicl_enable", [this](const std::string &t) { aicl_enable_written(t); });
        fs.on_write(dir + "qph2_allow", [this](const std::string &t) { qph2_allow_written(t); });
        fs.on_write(dir + "qph2_resume", [this](const std::string &t) { qph2_resume_written(t); });
        for (const std::string limit : {"constant_charge_voltage", "constant_charge_current"}) {
            fs.on_write(dir + limit,
                        [this, limit](const std::string &t) { limit_written(limit, t); });
        }
        fs.on_write(dir + "charging_enable",
                    [this](const std::string &) { update_charger_status(true); });
    }

    void build_gauge(int bus, int address, const GaugeValues &values) {
        add_supply(
            {gauge_name(bus, address), gauge_device(bus, address), {}, "Battery", {}},
            {{"capacity", decimal(values.capacity), 0444, "POWER_SUPPLY_CAPACITY"},
             {"voltage_avg", decimal(values.voltage_avg_uv), 0444, "POWER_SUPPLY_VOLTAGE_AVG"},
             {"current_avg", decimal(values.current_avg_ua), 0444, "POWER_SUPPLY_CURRENT_AVG"},
             {"time_to_empty_avg", decimal(values.time_to_empty_avg_s), 0444,
              "POWER_SUPPLY_TIME_TO_EMPTY_AVG"},
             {"time_to_full_avg", decimal(values.time_to_full_avg_s), 0444,
              "POWER_SUPPLY_TIME_TO_FULL_AVG"}});
    }

    void build_hotswap() {
        std::vector<Attribute> attributes{{"status", "Discharging", 0444, "POWER_SUPPLY_STATUS"}};
        for (const auto &name : hotswap_watched) {
            attributes.push_back({name, "0", 0444, {}});
        }
        attributes.push_back({"interrupt_clear", "0", 0200, {}});
        attributes.push_back({"enable_cross_charger", "0", 0644, {}});
        attributes.push_back({"charge_from_int", "0", 0644, {}});
        attributes.push_back({"use_internal_battery", "1", 0644, {}});
        add_supply({"pellgrave-hotswap",
                    hotswap_device,
                    {},
                    "Battery",
                    {{"POWER_SUPPLY_PRESENT", "realtime_pack_connected"}}},
                   attributes);
        const std::string dir = hotswap_device + "/";
        for (const auto &[name, value] :
             std::vector<std::pair<std::string, std::string>>{{"internal_voltage_ok", "1"},
                                                              {"internal_active", "1"},
                                                              {"realtime_use_int_batt", "1"}}) {
            fs.set_silently(dir + name, value);
        }
        for (const std::string command : {"use_internal_battery", "enable_cross_charger",
                                          "charge_from_int", "interrupt_clear"}) {
            fs.on_write(dir + command, [this, command](const std::string &t) {
                hotswap_command_written(command, t);
            });
        }
    }

    void build_mp2652() {
        add_supply(
            {"mp2652-charger", mp2652_device, {}, "Battery", {}},
            {{"status", "Not charging", 0644, "POWER_SUPPLY_STATUS"},
             {"charge_type", "N/A", 0444, "POWER_SUPPLY_CHARGE_TYPE"},
             {"health", "Good", 0444, "POWER_SUPPLY_HEALTH"},
             {"constant_charge_voltage", "8400000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE"},
             {"constant_charge_voltage_max", "8800000", 0444,
              "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE_MAX"},
             {"constant_charge_current", "1000000", 0644, "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT"},
             {"constant_charge_current_max", "3000000", 0444,
              "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT_MAX"},
             {"input_current_limit", "2000000", 0644, "POWER_SUPPLY_INPUT_CURRENT_LIMIT"},
             {"input_voltage_limit", "4600000", 0644, "POWER_SUPPLY_INPUT_VOLTAGE_LIMIT"},
             {"precharge_current", "180000", 0644, "POWER_SUPPLY_PRECHARGE_CURRENT"},
             {"charge_term_current", "200000", 0644, "POWER_SUPPLY_CHARGE_TERM_CURRENT"}});
        last_values["mp2652/status"] = "Not charging";
        fs.on_write(mp2652_device + "/status",
                    [this](const std::string &t) { mp2652_status_written(t); });
    }

    // ---- power supply properties and events ----

    std::optional<Supply> supply_at(const std::string &dir) const {
        const std::string canonical = fs.canonical(dir);
        std::lock_guard lock(supplies_mutex);
        for (const auto &s : supplies) {
            if (s.device == canonical || s.device == dir) {
                return s;
            }
        }
        return std::nullopt;
    }

    Properties properties_of(const std::string &dir) const {
        const std::optional<Supply> supply = supply_at(dir);
        if (!supply) {
            throw std::invalid_argument("virtual headset: no power supply at \"" + dir + "\"");
        }
        Properties properties{{"DEVTYPE", "power_supply"}};
        if (!supply->of_name.empty()) {
            properties.emplace_back("OF_NAME", supply->of_name);
        }
        properties.emplace_back("POWER_SUPPLY_NAME", supply->name);
        properties.emplace_back("POWER_SUPPLY_TYPE", supply->type);
        for (const auto &[property, attribute] : supply->properties) {
            const std::string attribute_path = supply->device + "/" + attribute;
            if (fs.exists(attribute_path)) { // an omitted attribute drops its property
                properties.emplace_back(property, trimmed(fs.value(attribute_path)));
            }
        }
        return properties;
    }

    std::string uevent_text(const std::string &device) const {
        std::string text;
        for (const auto &[key, value] : properties_of(device)) {
            text += key + "=" + value + "\n";
        }
        return text;
    }

    void emit(const std::string &action, const std::string &device) {
        if (action != "remove" && !fs.exists(device)) {
            return; // an omitted device sends nothing
        }
        const std::string canonical = fs.canonical(device).empty() ? device : fs.canonical(device);
        Properties properties = action == "remove" ? Properties{} : properties_of(device);
        if (action == "remove") {
            if (auto supply = supply_at(device)) {
                properties = {{"DEVTYPE", "power_supply"}, {"POWER_SUPPLY_NAME", supply->name}};
            }
        }
        events.send(action, canonical.substr(4), "power_supply", properties); // without "/sys"
    }

    // The kernel answers an action written into uevent with that event (synthetic uevent).
    void uevent_written(const std::string &device, const std::string &text) {
        const std::string action = trimmed(text);
        static const std::vector<std::string> actions{"add",    "remove",  "change", "move",
                                                      "online", "offline", "bind",   "unbind"};
        if (std::find(actions.begin(), actions.end(), action) != actions.end()) {
            emit(action, device);
        }
    }

    // ---- charger: AICL, QPH2, limits, status ----

    std::string charger_attr(const std::string &name) const { return charger_device + "/" + name; }

    // Stores and notifies only when the value differs, as a driver's sysfs_notify on change.
    bool set_if_changed(const std::string &path, const std::string &value) {
        if (!fs.exists(path) || fs.value(path) == value) {
            return false;
        }
        fs.set(path, value);
        return true;
    }

    bool usb_online() const { return is_on(fs.value(path::tcpm + "/online")); }
    int32_t usb_voltage_uv() const { return to_int(fs.value(path::tcpm + "/voltage_now")); }

    void aicl_rerun_written(const std::string &text) {
        if (!config.auto_aicl || !is_on(text)) {
            return;
        }
        scheduler.after(config.aicl_delay, [this] {
            std::lock_guard lock(mutex);
            // An AICL run needs input power to measure.
            if (usb_online()) {
                set_if_changed(charger_attr("aicl_status"), "1");
            }
        });
    }

    void aicl_enable_written(const std::string &text) {
        std::lock_guard lock(mutex);
        if (config.auto_aicl && !is_on(text)) {
            set_if_changed(charger_attr("aicl_status"), "0");
        }
    }

    void qph2_allow_written(const std::string &text) {
        std::lock_guard lock(mutex);
        if (config.auto_qph2 && !is_on(text)) {
            set_if_changed(charger_attr("qph2"), "0");
        }
    }

    void qph2_resume_written(const std::string &text) {
        std::lock_guard lock(mutex);
        if (config.auto_qph2 && is_on(text) && is_on(fs.value(charger_attr("qph2_allow"))) &&
            usb_online() && usb_voltage_uv() >= 9'000'000) {
            set_if_changed(charger_attr("qph2"), "1");
        }
    }

    // QPH2 needs a source of 9 V or more; the charger drops out of it otherwise.
    void check_qph2_source() {
        if (config.auto_qph2 && (!usb_online() || usb_voltage_uv() < 9'000'000)) {
            set_if_changed(charger_attr("qph2"), "0");
        }
    }

    void limit_written(const std::string &limit, const std::string &text) {
        std::lock_guard lock(mutex);
        const bool changed = last_values[limit] != text;
        last_values[limit] = text;
        if (changed && config.charger_limit_events) {
            emit("change", charger_device);
        }
    }

    void update_charger_status(bool emit_on_change) {
        std::lock_guard lock(mutex);
        std::string status = "Discharging";
        if (usb_online()) {
            status = !is_on(fs.value(charger_attr("charging_enable")))             ? "Not charging"
                     : internal_charge_uah >= capacity_uah && config.battery_model ? "Full"
                                                                                   : "Charging";
        }
        const bool changed = fs.value(charger_attr("status")) != status;
        fs.set_silently(charger_attr("status"), status);
        if (changed && emit_on_change) {
            emit("change", charger_device);
        }
    }

    // ---- hot-swap controller and cross-charger ----

    std::string hotswap_attr(const std::string &name) const { return hotswap_device + "/" + name; }

    void hotswap_command_written(const std::string &command, const std::string &text) {
        std::lock_guard lock(mutex);
        if (!config.auto_hotswap) {
            return;
        }
        if (command == "use_internal_battery") {
            select_power_source(is_on(text) || !pack_attached);
            set_if_changed(hotswap_attr("realtime_use_int_batt"), flag(is_on(text)));
        } else if (command == "interrupt_clear" && is_on(text)) {
            for (const auto &name : hotswap_interrupts) {
                set_if_changed(hotswap_attr(name), "0");
            }
        } else {
            update_cross_charge();
        }
    }

    void select_power_source(bool internal) {
        set_if_changed(hotswap_attr("internal_active"), flag(internal));
        set_if_changed(hotswap_attr("removable_active"), flag(!internal));
    }

    // Charge flows while the controller routes it and the MP2652 charges: from the battery
    // that powers the system into the other one.
    void update_cross_charge() {
        if (!fs.exists(hotswap_device)) {
            return;
        }
        const bool flowing = pack_attached &&
                             is_on(fs.value(hotswap_attr("enable_cross_charger"))) &&
                             fs.exists(mp2652_device + "/status") &&
                             trimmed(fs.value(mp2652_device + "/status")) == "Charging";
        const bool from_internal = is_on(fs.value(hotswap_attr("charge_from_int")));
        set_if_changed(hotswap_attr("realtime_cross_chg_vrem_from_vint"),
                       flag(flowing && from_internal));
        set_if_changed(hotswap_attr("realtime_cross_chg_vint_from_vrem"),
                       flag(flowing && !from_internal));
    }

    void mp2652_status_written(const std::string &text) {
        std::lock_guard lock(mutex);
        if (!config.auto_mp2652) {
            return;
        }
        const std::string status = trimmed(text);
        const bool changed = last_values["mp2652/status"] != status;
        last_values["mp2652/status"] = status;
        if (fs.exists(mp2652_device + "/charge_type")) {
            fs.set_silently(mp2652_device + "/charge_type", status == "Charging" ? "Fast" : "N/A");
        }
        if (config.auto_hotswap) {
            update_cross_charge();
        }
        if (changed) {
            emit("change", mp2652_device);
        }
    }

    // ---- pack ----

    void create_pack_devices(bool with_events) {
        build_gauge(7, 76, config.pack);
        prune();
        if (with_events && fs.exists(gauge_device(7, 76))) {
            emit("add", gauge_device(7, 76));
        }
        if (config.mp2652_with_pack) {
            build_mp2652();
            prune();
        }
    }

    void set_pack_connected_state(bool connected, bool notify) {
        const auto store = [&](const std::string &name, bool on) {
            if (notify) {
                set_if_changed(hotswap_attr(name), flag(on));
            } else {
                fs.set_silently(hotswap_attr(name), flag(on));
            }
        };
        pack_attached = connected;
        store("realtime_pack_connected", connected);
        store("removable_voltage_ok", connected);
        store(connected ? "interrupt_pack_installed" : "interrupt_pack_removed", true);
        if (!connected) {
            store("internal_active", true);
            store("removable_active", false);
            store("realtime_cross_chg_vint_from_vrem", false);
            store("realtime_cross_chg_vrem_from_vint", false);
        }
    }

    void attach_pack() {
        std::lock_guard lock(mutex);
        if (pack_attached || !fs.exists(hotswap_device)) {
            throw std::logic_error(pack_attached
                                       ? "virtual headset: the pack is already attached"
                                       : "virtual headset: no headstrap to attach a pack to");
        }
        create_pack_devices(true);
        set_pack_connected_state(true, true);
        emit("change", hotswap_device);
    }

    void detach_pack() {
        std::lock_guard lock(mutex);
        if (!pack_attached) {
            throw std::logic_error("virtual headset: no pack attached");
        }
        set_pack_connected_state(false, true);
        emit("change", hotswap_device);
        remove_device(mp2652_device);
        const bool had_gauge = fs.exists(gauge_device(7, 76));
        remove_device(gauge_device(7, 76));
        if (had_gauge) {
            events.send("remove", gauge_device(7, 76).substr(4), "power_supply",
                        {{"DEVTYPE", "power_supply"}, {"POWER_SUPPLY_NAME", gauge_name(7, 76)}});
        }
    }

    // ---- USB source ----

    void set_source(bool online, int32_t voltage_uv, int32_t current_ua, usb_type type) {
        std::lock_guard lock(mutex);
        fs.set_silently(path::tcpm + "/online", flag(online));
        fs.set_silently(path::tcpm + "/voltage_now", decimal(voltage_uv));
        fs.set_silently(path::tcpm + "/current_now", decimal(current_ua));
        fs.set_silently(path::tcpm + "/usb_type", usb_type_text(type));
        const std::string vusb = adc_device + "/" + adc_channel::vusb;
        if (fs.exists(vusb)) {
            fs.set_silently(vusb, decimal(voltage_uv));
        }
        fs.set_silently(charger_attr("online"), flag(online));
        if (!online) {
            set_if_changed(charger_attr("aicl_status"), "0");
        }
        check_qph2_source();
        update_charger_status(false);
        emit("change", tcpm_device);
        emit("change", charger_device);
    }

    // ---- battery model ----

    int32_t load_ua() const {
        int32_t load = 300'000; // the SoC and sensors
        const auto on = [&](const std::string &p, const char *text) {
            return fs.exists(p) && trimmed(fs.value(p)) == text;
        };
        load += on(path::backlight_left + "/state", "enabled") ? 400'000 : 0;
        load += on(path::backlight_right + "/state", "enabled") ? 400'000 : 0;
        load += on(path::preboost + "/state", "enabled") ? 200'000 : 0;
        load += on(path::room_tracking_led + "/led_state", "Enable") ? 300'000 : 0;
        return load;
    }

    // The current the charger pushes into the battery: its limit, or what the source can
    // deliver at the battery's voltage, whichever is lower.
    int32_t charge_ua(int32_t battery_uv) const {
        if (!usb_online() || !is_on(fs.value(charger_attr("charging_enable"))) ||
            internal_charge_uah >= capacity_uah) {
            return 0;
        }
        const double source_w =
            usb_voltage_uv() * 1e-6 * to_int(fs.value(path::tcpm + "/current_now")) * 1e-6;
        const double source_limit_ua = 0.9 * source_w / (battery_uv * 1e-6) * 1e6;
        int32_t limit_ua = to_int(fs.value(charger_attr("constant_charge_current")));
        if (!is_on(fs.value(charger_attr("qph2")))) {
            limit_ua = std::min(limit_ua, 1'500'000); // without QPH2 the charger stays slow
        }
        return static_cast<int32_t>(std::min<double>(limit_ua, source_limit_ua));
    }

    static int32_t voltage_for(double charge_uah) {
        return static_cast<int32_t>(6'800'000 +
                                    1'600'000 * std::clamp(charge_uah / capacity_uah, 0.0, 1.0));
    }

    void battery_step() {
        std::lock_guard lock(mutex);
        const double hours = config.battery_step_s / 3600.0;
        const int32_t battery_uv = voltage_for(internal_charge_uah);
        const int32_t charging_ua = charge_ua(battery_uv);
        const bool on_pack = pack_attached && is_on(fs.value(hotswap_attr("removable_active")));
        const int32_t load = load_ua();
        int32_t internal_net_ua = charging_ua - (on_pack ? 0 : load);
        int32_t pack_net_ua = on_pack ? -load : 0;
        if (pack_attached && fs.exists(hotswap_device)) {
            constexpr int32_t cross_ua = 1'000'000;
            if (is_on(fs.value(hotswap_attr("realtime_cross_chg_vint_from_vrem")))) {
                internal_net_ua += cross_ua;
                pack_net_ua -= cross_ua;
            } else if (is_on(fs.value(hotswap_attr("realtime_cross_chg_vrem_from_vint")))) {
                internal_net_ua -= cross_ua;
                pack_net_ua += cross_ua;
            }
        }
        internal_charge_uah =
            std::clamp(internal_charge_uah + internal_net_ua * hours, 0.0, capacity_uah);
        pack_charge_uah = std::clamp(pack_charge_uah + pack_net_ua * hours, 0.0, capacity_uah);

        write_gauge(path::gauge(config.internal_gauge_bus, 36), internal_charge_uah,
                    internal_net_ua);
        if (pack_attached) {
            write_gauge(path::pack_gauge, pack_charge_uah, pack_net_ua);
        }
        write_adc(voltage_for(internal_charge_uah), charging_ua);
        update_charger_status(true);
        scheduler.after(config.battery_tick, [this] { battery_step(); });
    }

    void write_gauge(const std::string &dir, double charge_uah, int32_t net_ua) {
        if (!fs.exists(dir + "/capacity")) {
            return;
        }
        const auto put = [&](const char *name, int32_t value) {
            if (fs.exists(dir + "/" + name)) {
                fs.set_silently(dir + "/" + name, decimal(value));
            }
        };
        put("capacity", static_cast<int32_t>(std::lround(100 * charge_uah / capacity_uah)));
        put("voltage_avg", voltage_for(charge_uah));
        put("current_avg", net_ua);
        put("time_to_empty_avg",
            net_ua < 0 ? static_cast<int32_t>(charge_uah / -net_ua * 3600) : 0);
        put("time_to_full_avg",
            net_ua > 0 ? static_cast<int32_t>((capacity_uah - charge_uah) / net_ua * 3600) : 0);
    }

    void write_adc(int32_t battery_uv, int32_t charging_ua) {
        const auto put = [&](const std::string &channel, int32_t value) {
            const std::string p = adc_device + "/" + channel;
            if (fs.exists(p)) {
                fs.set_silently(p, decimal(value));
            }
        };
        put(adc_channel::vbat, battery_uv);
        put(adc_channel::ichg, charging_ua);
        const int32_t vusb = usb_online() ? usb_voltage_uv() : 0;
        put(adc_channel::iin, vusb > 0 ? static_cast<int32_t>(static_cast<double>(charging_ua) *
                                                              battery_uv / vusb / 0.9)
                                       : 0);
    }
};

// ---- Headset ----

Headset::Headset(HeadsetConfig config)
    : config_(std::move(config)), fs_(std::make_unique<FakeSysfs>()),
      events_(std::make_unique<UeventInjector>()), model_(std::make_unique<Model>(*this)) {
    model_->build();
}

Headset::~Headset() {
    // Timers first, then the mount (its FUSE threads run the write hooks).
    model_->scheduler.stop();
    fs_->unmount();
}

void Headset::mount(const std::string &mountpoint) {
    fs_->mount(mountpoint);
    if (config_.battery_model) {
        model_->scheduler.after(config_.battery_tick, [this] { model_->battery_step(); });
    }
}

void Headset::unmount() {
    fs_->unmount();
}

void Headset::emit_change(const std::string &supply_dir) {
    std::lock_guard lock(model_->mutex);
    model_->emit("change", supply_dir);
}

Properties Headset::properties_of(const std::string &supply_dir) const {
    return model_->properties_of(supply_dir);
}

// ---- story: USB ----

void Headset::Usb::plug(int32_t voltage_uv, int32_t current_ua, usb_type type) {
    hs_.model_->set_source(true, voltage_uv, current_ua, type);
}

void Headset::Usb::renegotiate(int32_t voltage_uv, int32_t current_ua, usb_type type) {
    hs_.model_->set_source(true, voltage_uv, current_ua, type);
}

void Headset::Usb::unplug() {
    hs_.model_->set_source(false, 0, 0, usb_type::c);
}

bool Headset::Usb::online() const {
    return hs_.model_->usb_online();
}

int32_t Headset::Usb::voltage_uv() const {
    return hs_.model_->usb_voltage_uv();
}

// ---- story: charger ----

namespace {
void set_charger_flag(Headset::Model &m, const char *name, bool on) {
    std::lock_guard lock(m.mutex);
    m.set_if_changed(m.charger_attr(name), flag(on));
}
} // namespace

void Headset::Charger::finish_aicl() {
    set_charger_flag(*hs_.model_, "aicl_status", true);
}
void Headset::Charger::reset_aicl() {
    set_charger_flag(*hs_.model_, "aicl_status", false);
}
void Headset::Charger::enter_qph2() {
    set_charger_flag(*hs_.model_, "qph2", true);
}
void Headset::Charger::leave_qph2() {
    set_charger_flag(*hs_.model_, "qph2", false);
}

void Headset::Charger::set_status(const std::string &status) {
    std::lock_guard lock(hs_.model_->mutex);
    hs_.fs().set_silently(hs_.model_->charger_attr("status"), status);
    hs_.model_->emit("change", charger_device);
}

void Headset::Charger::emit_change() {
    hs_.emit_change(charger_device);
}

bool Headset::Charger::qph2() const {
    return is_on(hs_.fs().value(path::charger + "/qph2"));
}

bool Headset::Charger::aicl_complete() const {
    return is_on(hs_.fs().value(path::charger + "/aicl_status"));
}

int32_t Headset::Charger::constant_charge_voltage_uv() const {
    return to_int(hs_.fs().value(path::charger + "/constant_charge_voltage"));
}

int32_t Headset::Charger::constant_charge_current_ua() const {
    return to_int(hs_.fs().value(path::charger + "/constant_charge_current"));
}

// ---- story: loads ----

namespace {
void set_load(Headset &hs, const std::string &attribute, const char *on_text, const char *off_text,
              bool on) {
    hs.fs().set(attribute, on ? on_text : off_text);
}
} // namespace

void Headset::Loads::set_backlight_left(bool on) {
    set_load(hs_, path::backlight_left + "/state", "enabled", "disabled", on);
}
void Headset::Loads::set_backlight_right(bool on) {
    set_load(hs_, path::backlight_right + "/state", "enabled", "disabled", on);
}
void Headset::Loads::set_preboost(bool on) {
    set_load(hs_, path::preboost + "/state", "enabled", "disabled", on);
}
void Headset::Loads::set_room_tracking(bool on) {
    set_load(hs_, path::room_tracking_led + "/led_state", "Enable", "Disable", on);
}
void Headset::Loads::set_all(bool on) {
    set_backlight_left(on);
    set_backlight_right(on);
    set_preboost(on);
    set_room_tracking(on);
}

// ---- story: fuel gauges ----

namespace {
void set_gauge_value(Headset &hs, const std::string &dir, const char *name, int32_t value) {
    hs.fs().set_silently(dir + "/" + name, decimal(value));
}

GaugeValues read_gauge(const Headset &hs, const std::string &dir) {
    const FakeSysfs &fs = hs.fs();
    const auto get = [&](const char *name) { return to_int(fs.value(dir + "/" + name)); };
    return {get("capacity"), get("voltage_avg"), get("current_avg"), get("time_to_empty_avg"),
            get("time_to_full_avg")};
}

void set_gauge(Headset &hs, const std::string &dir, const GaugeValues &v) {
    set_gauge_value(hs, dir, "capacity", v.capacity);
    set_gauge_value(hs, dir, "voltage_avg", v.voltage_avg_uv);
    set_gauge_value(hs, dir, "current_avg", v.current_avg_ua);
    set_gauge_value(hs, dir, "time_to_empty_avg", v.time_to_empty_avg_s);
    set_gauge_value(hs, dir, "time_to_full_avg", v.time_to_full_avg_s);
}

std::string internal_gauge(const Headset &hs) {
    return path::gauge(hs.config().internal_gauge_bus, 36);
}
} // namespace

void Headset::Battery::set(const GaugeValues &values) {
    std::lock_guard lock(hs_.model_->mutex);
    set_gauge(hs_, internal_gauge(hs_), values);
    hs_.model_->internal_charge_uah = values.capacity * Model::capacity_uah / 100;
}

void Headset::Battery::set_capacity(int32_t percent) {
    std::lock_guard lock(hs_.model_->mutex);
    set_gauge_value(hs_, internal_gauge(hs_), "capacity", percent);
    hs_.model_->internal_charge_uah = percent * Model::capacity_uah / 100;
}

void Headset::Battery::set_voltage_avg_uv(int32_t uv) {
    set_gauge_value(hs_, internal_gauge(hs_), "voltage_avg", uv);
}
void Headset::Battery::set_current_avg_ua(int32_t ua) {
    set_gauge_value(hs_, internal_gauge(hs_), "current_avg", ua);
}
void Headset::Battery::set_time_to_empty_avg_s(int32_t s) {
    set_gauge_value(hs_, internal_gauge(hs_), "time_to_empty_avg", s);
}
void Headset::Battery::set_time_to_full_avg_s(int32_t s) {
    set_gauge_value(hs_, internal_gauge(hs_), "time_to_full_avg", s);
}
GaugeValues Headset::Battery::values() const {
    return read_gauge(hs_, internal_gauge(hs_));
}

// ---- story: ADC ----

void Headset::Adc::set_vbat_uv(int32_t uv) {
    hs_.fs().set_silently(path::adc + "/" + adc_channel::vbat, decimal(uv));
}
void Headset::Adc::set_vusb_uv(int32_t uv) {
    hs_.fs().set_silently(path::adc + "/" + adc_channel::vusb, decimal(uv));
}
void Headset::Adc::set_ichg_ua(int32_t ua) {
    hs_.fs().set_silently(path::adc + "/" + adc_channel::ichg, decimal(ua));
}
void Headset::Adc::set_iin_ua(int32_t ua) {
    hs_.fs().set_silently(path::adc + "/" + adc_channel::iin, decimal(ua));
}

// ---- story: pack ----

void Headset::Pack::attach() {
    hs_.model_->attach_pack();
}
void Headset::Pack::detach() {
    hs_.model_->detach_pack();
}

bool Headset::Pack::attached() const {
    std::lock_guard lock(hs_.model_->mutex);
    return hs_.model_->pack_attached;
}

void Headset::Pack::set(const GaugeValues &values) {
    std::lock_guard lock(hs_.model_->mutex);
    set_gauge(hs_, path::pack_gauge, values);
    hs_.model_->pack_charge_uah = values.capacity * Model::capacity_uah / 100;
}

void Headset::Pack::set_capacity(int32_t percent) {
    std::lock_guard lock(hs_.model_->mutex);
    set_gauge_value(hs_, path::pack_gauge, "capacity", percent);
    hs_.model_->pack_charge_uah = percent * Model::capacity_uah / 100;
}

void Headset::Pack::set_voltage_avg_uv(int32_t uv) {
    set_gauge_value(hs_, path::pack_gauge, "voltage_avg", uv);
}
void Headset::Pack::set_current_avg_ua(int32_t ua) {
    set_gauge_value(hs_, path::pack_gauge, "current_avg", ua);
}
GaugeValues Headset::Pack::values() const {
    return read_gauge(hs_, path::pack_gauge);
}

// ---- story: hot-swap controller ----

void Headset::Hotswap::set(const std::string &attribute, bool on) {
    std::lock_guard lock(hs_.model_->mutex);
    hs_.fs().set(hs_.model_->hotswap_attr(attribute), flag(on));
}

bool Headset::Hotswap::get(const std::string &attribute) const {
    return is_on(hs_.fs().value(path::hotswap + "/" + attribute));
}

void Headset::Hotswap::emit_change() {
    hs_.emit_change(hotswap_device);
}

// ---- story: cross-charger ----

void Headset::Mp2652::appear() {
    std::lock_guard lock(hs_.model_->mutex);
    hs_.model_->build_mp2652();
    hs_.model_->prune();
    if (hs_.fs().exists(mp2652_device)) {
        hs_.model_->emit("add", mp2652_device);
    }
}

void Headset::Mp2652::vanish() {
    std::lock_guard lock(hs_.model_->mutex);
    if (hs_.fs().exists(mp2652_device)) {
        hs_.model_->remove_device(mp2652_device);
        hs_.events().send("remove", mp2652_device.substr(4), "power_supply",
                          {{"DEVTYPE", "power_supply"}, {"POWER_SUPPLY_NAME", "mp2652-charger"}});
    }
}

bool Headset::Mp2652::present() const {
    return hs_.fs().exists(path::mp2652);
}

void Headset::Mp2652::set_status(const std::string &status) {
    std::lock_guard lock(hs_.model_->mutex);
    hs_.fs().set_silently(mp2652_device + "/status", status);
    hs_.model_->last_values["mp2652/status"] = status;
    hs_.model_->emit("change", mp2652_device);
}

void Headset::Mp2652::emit_change() {
    hs_.emit_change(mp2652_device);
}

} // namespace vh
