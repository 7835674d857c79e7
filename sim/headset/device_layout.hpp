// SPDX-License-Identifier: MIT
// Where each device of the headset lives under /sys/devices, and the tree operations that
// every driver model shares: a device with its subsystem link and its class or bus entry, a
// power supply with the POWER_SUPPLY_* properties it reports, the events the kernel sends
// for it, and the devices without behaviour of their own (the ADC, the current limiter).
#pragma once

#include "headset.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vh {

namespace device {
inline const std::string soc = "/sys/devices/platform/soc@0";
inline const std::string spmi = soc + "/c400000.spmi/spmi-0";
inline const std::string charger =
    spmi + "/0-07/c400000.spmi:pmic@7:charger@1000/power_supply/pm8550b-charger";
inline const std::string tcpm = spmi + "/0-07/c400000.spmi:pmic@7:typec@2b00/power_supply/"
                                       "tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00";
inline const std::string adc = spmi + "/0-00/c400000.spmi:pmic@0:vadc@9000/iio:device0";
inline const std::string bcl = spmi + "/0-01/c400000.spmi:pmic@1:sensor@4700";
inline const std::string hwmon = bcl + "/hwmon/hwmon2";
inline const std::string hotswap = soc + "/i2c@5/i2c-5/5-0040/power_supply/pellgrave-hotswap";
inline const std::string mp2652 = soc + "/i2c@7/i2c-7/7-005c/power_supply/mp2652-charger";
inline const std::string led = soc + "/i2c@4/i2c-4/4-0063/leds/mp3317-scene-illum-ir";

// "max1720x_bat_<bus>-<address>" and its I2C device directory.
std::string gauge_name(int bus, int address);
std::string gauge(int bus, int address);
} // namespace device

class DeviceTree {
  public:
    // A power supply: its attributes behind the POWER_SUPPLY_* properties it reports.
    struct Supply {
        std::string name;
        std::string device; // /sys/devices/... directory
        std::string of_name;
        std::string type;
        std::vector<std::pair<std::string, std::string>> properties; // property, attribute
    };
    struct Attribute {
        std::string name;
        std::string value;
        mode_t mode = 0444;
        std::string property; // POWER_SUPPLY_* it shows as, if any
    };

    DeviceTree(FakeSysfs &fs, UeventInjector &events, const HeadsetConfig &config)
        : fs_(fs), events_(events), config_(config) {}

    // From now on devices that appear or vanish and change events go to the kernel module's
    // devices as their driver bound or unbound and its change command; the kernel sends the
    // events itself.
    void use_kernel(KernelDevices *kernel) { kernel_ = kernel; }

    // The class and bus directories, and the devices without behaviour of their own.
    void build_skeleton();
    void build_adc(int32_t vbat_uv);
    void build_bcl();

    void add_class_device(const std::string &class_name, const std::string &device,
                          const std::string &entry_name, const std::string &uevent = {});
    void add_bus_device(const std::string &bus, const std::string &device,
                        const std::string &entry_name, const std::string &uevent = {});
    // The supply's device, class entry and attributes; its uevent file shows the live
    // properties and answers an action written into it with that event.
    void add_supply(const Supply &supply_template, const std::vector<Attribute> &attributes);
    void remove_device(const std::string &device);
    // The configured omissions, applied after every device that appears.
    void prune();

    Properties properties_of(const std::string &dir) const;
    bool is_supply(const std::string &dir) const { return supply_at(dir).has_value(); }
    // The event of the power supply at device (with its full property set unless removed).
    void emit(const std::string &action, const std::string &device);
    // Stores and notifies only when the value differs, as a driver's sysfs_notify on change.
    bool set_if_changed(const std::string &path, const std::string &value);

  private:
    void add_device(const std::string &device, const std::string &subsystem_dir,
                    const std::string &uevent);
    void remove_dangling_entries();
    std::optional<Supply> supply_at(const std::string &dir) const;
    std::string uevent_text(const std::string &device) const;
    void uevent_written(const std::string &device, const std::string &text);

    FakeSysfs &fs_;
    UeventInjector &events_;
    const HeadsetConfig &config_;
    KernelDevices *kernel_ = nullptr;
    // Leaf lock: uevent readers (FUSE threads) take it without the model lock.
    mutable std::mutex supplies_mutex_;
    std::vector<Supply> supplies_;
};

} // namespace vh
