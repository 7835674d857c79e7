// SPDX-License-Identifier: MIT
// The whole device as the daemon meets it: the sysfs tree of every driver it talks to,
// laid out like the real kernel's so libudev enumeration finds it, and small models of the
// drivers' behaviour (events on "change", notifications, AICL, QPH2, the hot-swap
// controller, the cross-charger, a battery that charges and drains).
//
// Story API: hs.usb.plug(9_V, 3_A, usb_type::pd); hs.charger.finish_aicl(); hs.pack.attach();
// Every member is thread-safe; the models also run on FUSE and timer threads.
#pragma once

#include "kernel_devices.hpp"
#include "sysfs.hpp"
#include "uevent.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vh {

// Electrical literals giving the daemon's units: 9_V == 9000000 µV, 3_A == 3000000 µA.
constexpr int32_t operator""_V(unsigned long long volts) {
    return static_cast<int32_t>(volts * 1'000'000);
}
constexpr int32_t operator""_mV(unsigned long long millivolts) {
    return static_cast<int32_t>(millivolts * 1'000);
}
constexpr int32_t operator""_A(unsigned long long amperes) {
    return static_cast<int32_t>(amperes * 1'000'000);
}
constexpr int32_t operator""_mA(unsigned long long milliamperes) {
    return static_cast<int32_t>(milliamperes * 1'000);
}

// The USB-C contract kinds the TCPM source supply can report.
enum class usb_type { c, pd, pd_pps };
// The supply's POWER_SUPPLY_USB_TYPE text, active type in brackets: "C [PD] PD_PPS".
std::string usb_type_text(usb_type type);

// Fixed locations, as the daemon names them.
namespace path {
inline const std::string power_supply = "/sys/class/power_supply";
inline const std::string charger = "/sys/class/power_supply/pm8550b-charger";
inline const std::string tcpm =
    "/sys/class/power_supply/tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00";
inline const std::string hotswap = "/sys/class/power_supply/pellgrave-hotswap";
inline const std::string mp2652 = "/sys/class/power_supply/mp2652-charger";
inline const std::string pack_gauge = "/sys/class/power_supply/max1720x_bat_7-76";
inline const std::string adc = "/sys/bus/iio/devices/iio:device0";
inline const std::string hwmon = "/sys/class/hwmon/hwmon2";
inline const std::string bcl_platform = "/sys/bus/platform/devices/c400000.spmi:pmic@1:sensor@4700";
inline const std::string bcl_enable = bcl_platform + "/bcl_enable";
inline const std::string bcl_throttle_accum = "/sys/kernel/debug/dri/0/bcl_throttle_accum";
inline const std::string backlight_left = "/sys/class/regulator/regulator.20";
inline const std::string backlight_right = "/sys/class/regulator/regulator.21";
inline const std::string preboost = "/sys/class/regulator/regulator.22";
inline const std::string room_tracking_led = "/sys/class/leds/mp3317-scene-illum-ir";
// "max1720x_bat_<bus>-<address>" under /sys/class/power_supply.
std::string gauge(int bus, int address);
} // namespace path

// The IIO channel files of the ADC.
namespace adc_channel {
inline const std::string vbat = "in_voltage_pm8550b_vbat_sns_chgr_input";
inline const std::string vusb = "in_voltage_pm8550b_usb_sns_v_div_16_input";
inline const std::string ichg = "in_current_pm8550b_ichg_fb_input";
inline const std::string iin = "in_current_pm8550b_iin_fb_input";
} // namespace adc_channel

// The five averaged values of one MAX1720x fuel gauge.
struct GaugeValues {
    int32_t capacity = 45; // percent
    int32_t voltage_avg_uv = 7'600'000;
    int32_t current_avg_ua = -400'000; // negative: discharging
    int32_t time_to_empty_avg_s = 14'000;
    int32_t time_to_full_avg_s = 0;
};

// Where the daemon meets the devices: the fake sysfs on FUSE (mounted over /sys in the
// sandbox), or the real kernel's devices of the vheadset module (kernel/headset), driven by
// the same models. VH_BACKEND=kernel makes the module the default.
enum class backend { fuse, kernel };
backend default_backend();

// Defaults: a healthy device with its headstrap on and no pack attached, every automatic
// behaviour on except the battery model (tests want values to hold still).
struct HeadsetConfig {
    bool headstrap = true; // the hot-swap controller exists
    bool pack_attached = false;
    bool internal_gauge = true;
    int internal_gauge_bus = 3; // "max1720x_bat_3-36"
    // Further gauges, e.g. {7, 36} for "max1720x_bat_7-36"; created after the internal one.
    std::vector<std::pair<int, int>> extra_gauges;
    GaugeValues internal{};
    GaugeValues pack{.capacity = 80,
                     .voltage_avg_uv = 7'900'000,
                     .current_avg_ua = 0,
                     .time_to_empty_avg_s = 30'000,
                     .time_to_full_avg_s = 0};
    GaugeValues extra{}; // values of the extra gauges

    // Paths left out of the tree, as the daemon names them: a device directory (its class
    // and bus entries go with it), one attribute, a uevent file, an ADC channel, ...
    // Applied again whenever a device (pack gauge, cross-charger) appears later.
    std::vector<std::string> omit;

    bool auto_aicl = true; // "1" to aicl_rerun completes a run after aicl_delay
    std::chrono::milliseconds aicl_delay{100};
    bool auto_qph2 = true;            // qph2 follows qph2_allow / qph2_resume / the source
    bool charger_limit_events = true; // constant_charge_* writes emit a charger change event
    // The batteries charge and drain over time: the charger's constant current, then its
    // constant voltage, within the input power; loads and the cross-charger draw on them.
    bool battery_model = false;
    std::chrono::milliseconds battery_tick{1000}; // real time per model step
    double battery_step_s = 60;                   // battery time that one step stands for
    int32_t battery_capacity_uah = 4'000'000;     // each battery's full charge
    bool auto_hotswap = true;                     // the controller follows its command attributes
    bool auto_mp2652 = true;                      // the MP2652 follows its status writes
    bool mp2652_with_pack = true;                 // the cross-charger appears with the pack

    std::string throttle_accum = "0"; // debugfs counter text

    vh::backend backend = default_backend();
};

class Headset {
  public:
    explicit Headset(HeadsetConfig config = {});
    ~Headset(); // stops the models, then unmounts
    Headset(const Headset &) = delete;
    Headset &operator=(const Headset &) = delete;

    // Mounts the tree (inside the sandbox: at /sys) and starts the timed models. On the
    // kernel backend the module's devices take the tree's state instead (mountpoint unused).
    void mount(const std::string &mountpoint = "/sys");
    void unmount();

    FakeSysfs &fs() { return *fs_; }
    const FakeSysfs &fs() const { return *fs_; }
    UeventInjector &events() { return *events_; }
    const HeadsetConfig &config() const { return config_; }

    // The /sys/devices path the daemon's lookups find for path (a class path or the tree's
    // own): the tree's canonical path, or on the kernel backend the kernel's (its devices
    // sit elsewhere there, and a rebound regulator or hwmon device gets a new number).
    std::string device_path(const std::string &path) const;

    // A change event of the power supply at dir (class or devices path) with its full
    // property set, as the kernel sends it after "change" is written to its uevent.
    void emit_change(const std::string &supply_dir);
    // The supply's current properties, in the order its uevent file shows them.
    Properties properties_of(const std::string &supply_dir) const;

    // A driver unbound: the device's files vanish (descriptors still open on them fail
    // with ENODEV) and a power supply sends its "remove" event. bind() brings the device
    // back as new files with the values it had; a power supply then sends a "change", as
    // the kernel's core does after registering one (it sends no "add"). device is a class
    // or devices path, e.g. path::charger or path::adc.
    void unbind(const std::string &device);
    void bind(const std::string &device);

    class Usb {
      public:
        // A source attaches: TCPM supply online with the contract, ADC vusb, charger online,
        // then the TCPM change event (and the charger's).
        void plug(int32_t voltage_uv, int32_t current_ua, usb_type type = usb_type::pd);
        // A new contract on the attached source (PD renegotiation), with its events.
        void renegotiate(int32_t voltage_uv, int32_t current_ua, usb_type type);
        void unplug();
        bool online() const;
        int32_t voltage_uv() const;

      private:
        friend class Headset;
        explicit Usb(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } usb{*this};

    class Charger {
      public:
        void finish_aicl();                         // aicl_status "1", notified
        void reset_aicl();                          // aicl_status "0", notified
        void enter_qph2();                          // qph2 "1", notified
        void leave_qph2();                          // qph2 "0", notified
        void set_status(const std::string &status); // "Charging", ... + change event
        void emit_change();
        bool qph2() const;
        bool aicl_complete() const;
        int32_t constant_charge_voltage_uv() const;
        int32_t constant_charge_current_ua() const;
        // The input current the charger draws at most: a safe start for a new source, the
        // source's own limit once an AICL run has measured it.
        int32_t input_current_limit_ua() const;

      private:
        friend class Headset;
        explicit Charger(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } charger{*this};

    class Loads {
      public:
        void set_backlight_left(bool on);
        void set_backlight_right(bool on);
        void set_preboost(bool on);
        void set_room_tracking(bool on);
        void set_all(bool on);

      private:
        friend class Headset;
        explicit Loads(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } loads{*this};

    // The internal battery's fuel gauge.
    class Battery {
      public:
        void set(const GaugeValues &values);
        void set_capacity(int32_t percent);
        void set_voltage_avg_uv(int32_t uv);
        void set_current_avg_ua(int32_t ua);
        void set_time_to_empty_avg_s(int32_t s);
        void set_time_to_full_avg_s(int32_t s);
        GaugeValues values() const;
        // Runs the battery model over seconds of battery time at once, in steps of
        // battery_step_s, whether or not its timer runs: exact numbers for tests.
        void advance(double seconds);

      private:
        friend class Headset;
        explicit Battery(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } battery{*this};

    class Adc {
      public:
        void set_vbat_uv(int32_t uv);
        void set_vusb_uv(int32_t uv);
        void set_ichg_ua(int32_t ua);
        void set_iin_ua(int32_t ua);

      private:
        friend class Headset;
        explicit Adc(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } adc{*this};

    class Pack {
      public:
        // Gauge (its first "change" event) and cross-charger appear, then the controller reports
        // the pack: realtime_pack_connected "1" (notified) and its change event, PRESENT "1".
        void attach();
        // The reverse: the controller's event (PRESENT "0") first, then the devices vanish.
        void detach();
        bool attached() const;
        void set(const GaugeValues &values);
        void set_capacity(int32_t percent);
        void set_voltage_avg_uv(int32_t uv);
        void set_current_avg_ua(int32_t ua);
        GaugeValues values() const;

      private:
        friend class Headset;
        explicit Pack(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } pack{*this};

    // The hot-swap controller's watched attributes ("internal_active", ...).
    class Hotswap {
      public:
        // The thirteen attributes the driver notifies, by name.
        static const std::vector<std::string> &watched_attributes();
        void set(const std::string &attribute, bool on); // stores "1"/"0", notifies
        bool get(const std::string &attribute) const;
        void emit_change();

      private:
        friend class Headset;
        explicit Hotswap(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } hotswap{*this};

    class Mp2652 {
      public:
        void appear(); // the directory is created (with mp2652_with_pack off, or again)
        void vanish();
        bool present() const;
        void set_status(const std::string &status); // + change event
        void emit_change();

      private:
        friend class Headset;
        explicit Mp2652(Headset &hs) : hs_(hs) {}
        Headset &hs_;
    } mp2652{*this};

    struct Model; // the driver models, one per device (model.hpp)

  private:
    HeadsetConfig config_;
    std::unique_ptr<FakeSysfs> fs_;
    std::unique_ptr<UeventInjector> events_;
    std::unique_ptr<Model> model_;
    std::unique_ptr<KernelDevices> kernel_; // the kernel backend; goes first
};

} // namespace vh
