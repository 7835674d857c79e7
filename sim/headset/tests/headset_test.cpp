// SPDX-License-Identifier: MIT
// The device tree is found the way the daemon finds it, and the driver models answer the
// daemon's writes the way the kernel drivers do.
#include "headset/headset.hpp"
#include "udev_helpers.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <sys/epoll.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace vh;

namespace {

// Writes text into a file the way the daemon's write_file does: open, one write, close.
bool write_text(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// A notified attribute as the daemon holds it: open, read, watched with EPOLLPRI.
class WatchedAttribute {
  public:
    explicit WatchedAttribute(const std::string &path)
        : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)), epfd_(epoll_create1(EPOLL_CLOEXEC)) {
        epoll_event event{};
        event.events = EPOLLPRI | EPOLLERR;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, fd_, &event);
        read_value();
    }
    ~WatchedAttribute() {
        close(epfd_);
        close(fd_);
    }
    std::string read_value() {
        char buffer[64];
        const ssize_t n = pread(fd_, buffer, sizeof(buffer), 0);
        return n <= 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
    }
    // The value after the next notification, or "<none>" when none came in time.
    std::string next_value(int timeout_ms = 5000) {
        epoll_event event{};
        if (epoll_wait(epfd_, &event, 1, timeout_ms) != 1) {
            return "<none>";
        }
        return read_value();
    }

  private:
    int fd_;
    int epfd_;
};

// The sysfs path of the first device that a libudev enumeration finds, as the daemon's
// device lookup runs it; "" when none.
std::string enumerate(const char *subsystem, const char *sysname, const char *name_attr) {
    udev *context = udev_new();
    udev_enumerate *e = udev_enumerate_new(context);
    udev_enumerate_add_match_subsystem(e, subsystem);
    if (name_attr != nullptr) {
        udev_enumerate_add_match_sysattr(e, "name", name_attr);
    }
    if (sysname != nullptr) {
        udev_enumerate_add_match_sysname(e, sysname);
    }
    udev_enumerate_scan_devices(e);
    udev_list_entry *first = udev_enumerate_get_list_entry(e);
    std::string found = first != nullptr ? udev_list_entry_get_name(first) : "";
    udev_enumerate_unref(e);
    udev_unref(context);
    return found;
}

class HeadsetTest : public testing::Test {
  protected:
    void start(HeadsetConfig config = {}) {
        hs = std::make_unique<Headset>(std::move(config));
        hs->mount("/sys");
    }
    void SetUp() override { start(); }

    std::unique_ptr<Headset> hs;
};

struct Lookup {
    const char *subsystem;
    const char *sysname;
    const char *name_attr;
    const char *attribute;
};

TEST_F(HeadsetTest, LibudevEnumerationFindsEveryDevice) {
    const Lookup lookups[] = {
        {"leds", "mp3317-scene-illum-ir", nullptr, "led_state"},
        {"regulator", nullptr, "backlight_left", "state"},
        {"regulator", nullptr, "backlight_right", "state"},
        {"regulator", nullptr, "tps61377", "state"},
        {"iio", nullptr, "c400000.spmi:pmic@0:vadc@9000", "in_voltage_pm8550b_vbat_sns_chgr_input"},
        {"iio", nullptr, "c400000.spmi:pmic@0:vadc@9000",
         "in_voltage_pm8550b_usb_sns_v_div_16_input"},
        {"iio", nullptr, "c400000.spmi:pmic@0:vadc@9000", "in_current_pm8550b_ichg_fb_input"},
        {"iio", nullptr, "c400000.spmi:pmic@0:vadc@9000", "in_current_pm8550b_iin_fb_input"},
        {"hwmon", nullptr, "c400000.spmi:pmic@1:sensor@4700", "in0_enable"},
        {"hwmon", nullptr, "c400000.spmi:pmic@1:sensor@4700", "in0_min"},
        {"hwmon", nullptr, "c400000.spmi:pmic@1:sensor@4700", "in0_lcrit"},
        {"power_supply", "pellgrave-hotswap", nullptr, "status"},
        {"power_supply", "pm8550b-charger", nullptr, "qph2"},
        {"power_supply", "max1720x_bat_3-36", nullptr, "capacity"},
        {"platform", "c400000.spmi:pmic@1:sensor@4700", nullptr, "bcl_enable"},
    };
    for (const Lookup &l : lookups) {
        const std::string device = enumerate(l.subsystem, l.sysname, l.name_attr);
        SCOPED_TRACE(std::string(l.subsystem) + " " + (l.sysname ? l.sysname : l.name_attr));
        ASSERT_FALSE(device.empty());
        const int fd = open((device + "/" + l.attribute).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        close(fd);
    }
    EXPECT_TRUE(enumerate("regulator", nullptr, "no_such_regulator").empty());
}

TEST_F(HeadsetTest, FixedPathsOfTheDaemonExist) {
    for (const std::string &p :
         {path::charger + "/qph2", path::charger + "/aicl_status", path::charger + "/uevent",
          path::tcpm + "/uevent", path::bcl_enable, path::bcl_throttle_accum,
          path::hotswap + "/use_internal_battery", path::gauge(3, 36) + "/time_to_full_avg"}) {
        EXPECT_EQ(access(p.c_str(), F_OK), 0) << p;
    }
    EXPECT_EQ(access(path::pack_gauge.c_str(), F_OK), -1) << "no pack by default";
    EXPECT_EQ(access(path::mp2652.c_str(), F_OK), -1);
}

TEST_F(HeadsetTest, ChangeWrittenToUeventSendsTheFullPropertySet) {
    struct Case {
        std::string dir;
        std::string name;
        std::map<std::string, std::string> expected;
    };
    const Case cases[] = {
        {path::tcpm,
         "tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00",
         {{"OF_NAME", "typec"},
          {"POWER_SUPPLY_ONLINE", "0"},
          {"POWER_SUPPLY_VOLTAGE_NOW", "0"},
          {"POWER_SUPPLY_CURRENT_NOW", "0"},
          {"POWER_SUPPLY_USB_TYPE", "[C] PD PD_PPS"}}},
        {path::charger,
         "pm8550b-charger",
         {{"OF_NAME", "charger"},
          {"POWER_SUPPLY_ONLINE", "0"},
          {"POWER_SUPPLY_STATUS", "Discharging"},
          {"POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE", "8900000"},
          {"POWER_SUPPLY_CONSTANT_CHARGE_CURRENT", "1000000"}}},
        {path::hotswap,
         "pellgrave-hotswap",
         {{"POWER_SUPPLY_STATUS", "Discharging"}, {"POWER_SUPPLY_PRESENT", "0"}}},
        {path::gauge(3, 36), "max1720x_bat_3-36", {{"POWER_SUPPLY_CAPACITY", "45"}}},
    };
    test::UdevMonitor monitor;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_text(c.dir + "/uevent", "change"));
        auto event = monitor.next();
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(event->action, "change");
        EXPECT_EQ("/sys" + event->devpath, hs->fs().canonical(c.dir));
        EXPECT_EQ(event->properties["POWER_SUPPLY_NAME"], c.name);
        for (const auto &[key, value] : c.expected) {
            EXPECT_EQ(event->properties[key], value) << key;
        }
    }
}

TEST_F(HeadsetTest, UeventFileShowsThePropertiesAsLines) {
    const std::string text = hs->fs().value(path::charger + "/uevent");
    EXPECT_NE(text.find("POWER_SUPPLY_NAME=pm8550b-charger\n"), std::string::npos);
    EXPECT_NE(text.find("OF_NAME=charger\n"), std::string::npos);
}

TEST_F(HeadsetTest, PluggingASourceUpdatesTcpmAndSendsItsEvent) {
    test::UdevMonitor monitor;
    hs->usb.plug(9_V, 3_A, usb_type::pd);
    auto tcpm = monitor.next_of("tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00");
    ASSERT_TRUE(tcpm.has_value());
    EXPECT_EQ(tcpm->properties["POWER_SUPPLY_ONLINE"], "1");
    EXPECT_EQ(tcpm->properties["POWER_SUPPLY_VOLTAGE_NOW"], "9000000");
    EXPECT_EQ(tcpm->properties["POWER_SUPPLY_CURRENT_NOW"], "3000000");
    EXPECT_EQ(tcpm->properties["POWER_SUPPLY_USB_TYPE"], "C [PD] PD_PPS");
    auto charger = monitor.next_of("pm8550b-charger");
    ASSERT_TRUE(charger.has_value());
    EXPECT_EQ(charger->properties["POWER_SUPPLY_ONLINE"], "1");
    EXPECT_EQ(charger->properties["POWER_SUPPLY_STATUS"], "Charging");
    EXPECT_EQ(hs->fs().value(path::adc + "/" + adc_channel::vusb), "9000000");

    hs->usb.unplug();
    tcpm = monitor.next_of("tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00");
    ASSERT_TRUE(tcpm.has_value());
    EXPECT_EQ(tcpm->properties["POWER_SUPPLY_ONLINE"], "0");
    EXPECT_EQ(tcpm->properties["POWER_SUPPLY_VOLTAGE_NOW"], "0");
}

TEST_F(HeadsetTest, AiclRerunCompletesAndNotifies) {
    hs->usb.plug(9_V, 3_A, usb_type::pd);
    WatchedAttribute aicl_status(path::charger + "/aicl_status");
    ASSERT_TRUE(write_text(path::charger + "/aicl_rerun", "1"));
    EXPECT_EQ(aicl_status.next_value(), "1\n");
    ASSERT_TRUE(write_text(path::charger + "/aicl_enable", "0"));
    EXPECT_EQ(aicl_status.next_value(), "0\n");
}

TEST_F(HeadsetTest, Qph2FollowsAllowResumeAndTheSource) {
    hs->usb.plug(9_V, 3_A, usb_type::pd);
    WatchedAttribute qph2(path::charger + "/qph2");
    ASSERT_TRUE(write_text(path::charger + "/qph2_allow", "1"));
    ASSERT_TRUE(write_text(path::charger + "/qph2_resume", "1"));
    EXPECT_EQ(qph2.next_value(), "1\n");
    ASSERT_TRUE(write_text(path::charger + "/qph2_allow", "0"));
    EXPECT_EQ(qph2.next_value(), "0\n");

    ASSERT_TRUE(write_text(path::charger + "/qph2_allow", "1"));
    ASSERT_TRUE(write_text(path::charger + "/qph2_resume", "1"));
    EXPECT_EQ(qph2.next_value(), "1\n");
    hs->usb.unplug();
    EXPECT_EQ(qph2.next_value(), "0\n") << "the charger leaves QPH2 when the source drops";
}

TEST_F(HeadsetTest, Qph2NeedsNineVolts) {
    hs->usb.plug(5_V, 3_A, usb_type::pd);
    ASSERT_TRUE(write_text(path::charger + "/qph2_allow", "1"));
    ASSERT_TRUE(write_text(path::charger + "/qph2_resume", "1"));
    EXPECT_FALSE(hs->charger.qph2()); // the model answers inside the write
}

TEST_F(HeadsetTest, ChargerLimitWritesAreReportedByEvent) {
    test::UdevMonitor monitor;
    ASSERT_TRUE(write_text(path::charger + "/constant_charge_voltage", "8800000"));
    auto event = monitor.next_of("pm8550b-charger");
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->properties["POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE"], "8800000");
    EXPECT_EQ(hs->charger.constant_charge_voltage_uv(), 8'800'000);
}

TEST_F(HeadsetTest, LoadsNotify) {
    WatchedAttribute left(path::backlight_left + "/state");
    WatchedAttribute led(path::room_tracking_led + "/led_state");
    hs->loads.set_backlight_left(true);
    EXPECT_EQ(left.next_value(), "enabled\n");
    hs->loads.set_room_tracking(true);
    EXPECT_EQ(led.next_value(), "Enable\n");
}

TEST_F(HeadsetTest, PackAttachAnnouncesGaugeBeforeTheController) {
    test::UdevMonitor monitor;
    WatchedAttribute connected(path::hotswap + "/realtime_pack_connected");
    hs->pack.attach();
    auto gauge = monitor.next();
    ASSERT_TRUE(gauge.has_value());
    EXPECT_EQ(gauge->action, "change"); // a registered supply sends no "add"
    EXPECT_EQ(gauge->properties["POWER_SUPPLY_NAME"], "max1720x_bat_7-76");
    auto controller = monitor.next();
    ASSERT_TRUE(controller.has_value());
    EXPECT_EQ(controller->properties["POWER_SUPPLY_NAME"], "pellgrave-hotswap");
    EXPECT_EQ(controller->properties["POWER_SUPPLY_PRESENT"], "1");
    EXPECT_EQ(connected.next_value(), "1\n");
    EXPECT_EQ(access((path::pack_gauge + "/capacity").c_str(), F_OK), 0);
    EXPECT_EQ(access((path::mp2652 + "/status").c_str(), F_OK), 0);

    hs->pack.detach();
    controller = monitor.next();
    ASSERT_TRUE(controller.has_value());
    EXPECT_EQ(controller->properties["POWER_SUPPLY_PRESENT"], "0");
    gauge = monitor.next();
    ASSERT_TRUE(gauge.has_value());
    EXPECT_EQ(gauge->action, "remove");
    EXPECT_EQ(access(path::pack_gauge.c_str(), F_OK), -1);
    EXPECT_EQ(access(path::mp2652.c_str(), F_OK), -1);
    EXPECT_EQ(connected.next_value(), "0\n");
}

TEST_F(HeadsetTest, HotswapControllerFollowsItsCommands) {
    hs->pack.attach();
    WatchedAttribute removable(path::hotswap + "/removable_active");
    ASSERT_TRUE(write_text(path::hotswap + "/use_internal_battery", "0"));
    EXPECT_EQ(removable.next_value(), "1\n");
    EXPECT_FALSE(hs->hotswap.get("internal_active"));

    test::UdevMonitor monitor;
    WatchedAttribute ext_to_int(path::hotswap + "/realtime_cross_chg_vint_from_vrem");
    ASSERT_TRUE(write_text(path::hotswap + "/enable_cross_charger", "1"));
    ASSERT_TRUE(write_text(path::mp2652 + "/status", "Charging"));
    ASSERT_TRUE(write_text(path::hotswap + "/charge_from_int", "0"));
    EXPECT_EQ(ext_to_int.next_value(), "1\n");
    auto event = monitor.next_of("mp2652-charger");
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->properties["POWER_SUPPLY_STATUS"], "Charging");
    EXPECT_EQ(event->properties["POWER_SUPPLY_CHARGE_TYPE"], "Fast");

    ASSERT_TRUE(write_text(path::hotswap + "/enable_cross_charger", "0"));
    EXPECT_EQ(ext_to_int.next_value(), "0\n");
    ASSERT_TRUE(write_text(path::hotswap + "/use_internal_battery", "1"));
    EXPECT_EQ(removable.next_value(), "0\n");
}

TEST_F(HeadsetTest, CrossChargerCanAppearAfterThePack) {
    HeadsetConfig config;
    config.mp2652_with_pack = false;
    hs.reset();
    start(config);
    hs->pack.attach();
    EXPECT_FALSE(hs->mp2652.present());
    test::UdevMonitor monitor;
    hs->mp2652.appear();
    auto event = monitor.next_of("mp2652-charger");
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->action, "change");
    EXPECT_EQ(event->properties["POWER_SUPPLY_HEALTH"], "Good");
    EXPECT_TRUE(hs->mp2652.present());
}

TEST_F(HeadsetTest, VariantsLeaveOutWhatTheyName) {
    HeadsetConfig config;
    config.headstrap = false;
    config.extra_gauges = {{7, 36}};
    config.omit = {path::adc + "/" + adc_channel::vusb, path::tcpm + "/uevent", path::gauge(3, 36)};
    hs.reset();
    start(config);
    EXPECT_EQ(access(path::hotswap.c_str(), F_OK), -1);
    EXPECT_EQ(access((path::adc + "/" + adc_channel::vbat).c_str(), F_OK), 0);
    EXPECT_EQ(access((path::adc + "/" + adc_channel::vusb).c_str(), F_OK), -1);
    EXPECT_EQ(access((path::tcpm + "/uevent").c_str(), F_OK), -1);
    EXPECT_FALSE(hs->fs().is_symlink(path::gauge(3, 36))) << "no dangling class entry";
    EXPECT_EQ(access((path::gauge(7, 36) + "/capacity").c_str(), F_OK), 0);
    EXPECT_THROW(hs->pack.attach(), std::logic_error);
}

TEST_F(HeadsetTest, BatteryModelChargesFromTheSource) {
    // The running model, on its timer. A step of 6 s at the charger's 1 A adds 0.04 %: the
    // battery needs more than 1000 ticks (5 s) to fill up and stop charging, so a busy
    // machine cannot skip past the charging phase.
    HeadsetConfig config;
    config.battery_model = true;
    config.battery_tick = 5ms;
    config.battery_step_s = 6;
    hs.reset();
    start(config);
    hs->usb.plug(9_V, 3_A, usb_type::pd);
    const auto charging_seen = [&] {
        const GaugeValues values = hs->battery.values();
        return values.capacity > 45 && values.capacity < 100 && values.current_avg_ua > 0 &&
               std::stoi(hs->fs().value(path::adc + "/" + adc_channel::ichg)) > 0;
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool seen = false;
    while (!(seen = charging_seen()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(seen) << "capacity rising with a positive current and charge current on the ADC";
}

} // namespace
