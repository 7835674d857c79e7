// SPDX-License-Identifier: MIT
// The headset and its story API: each call goes to the driver model of its device.
#include "headset.hpp"

#include "attribute_text.hpp"
#include "model.hpp"

#include <cstdlib>
#include <string_view>

namespace vh {

// ---- the models together ----

Headset::Model::Model(Headset &headset)
    : tree(headset.fs(), headset.events(), headset.config()),
      context{headset.fs(), headset.events(), headset.config(), tree, mutex, scheduler},
      loads(context), usb(context, charger), charger(context, usb, battery),
      battery(context, charger, usb, loads, hotswap), hotswap(context, battery, cross_charger),
      cross_charger(context, hotswap) {}

Headset::Model::~Model() {
    scheduler.stop();
}

void Headset::Model::build() {
    tree.build_skeleton();
    loads.build();
    tree.build_adc(context.config.internal.voltage_avg_uv);
    tree.build_bcl();
    usb.build();
    charger.build();
    battery.build();
    if (context.config.headstrap) {
        hotswap.build();
    }
    tree.prune();
    if (context.config.headstrap && context.config.pack_attached) {
        hotswap.connect_at_boot();
    }
}

// ---- Headset ----

backend default_backend() {
    const char *chosen = std::getenv("VH_BACKEND");
    return chosen != nullptr && std::string_view(chosen) == "kernel" ? backend::kernel
                                                                     : backend::fuse;
}

Headset::Headset(HeadsetConfig config)
    : config_(std::move(config)), fs_(std::make_unique<FakeSysfs>()),
      events_(std::make_unique<UeventInjector>()), model_(std::make_unique<Model>(*this)) {
    model_->build();
    if (config_.backend == backend::kernel) {
        kernel_ = std::make_unique<KernelDevices>(*fs_);
    }
}

Headset::~Headset() {
    // Timers first, then the mount (its FUSE threads run the write hooks).
    model_->scheduler.stop();
    fs_->unmount();
}

void Headset::mount(const std::string &mountpoint) {
    if (kernel_) {
        std::lock_guard lock(model_->mutex);
        kernel_->take_over();
        model_->tree.use_kernel(kernel_.get());
    } else {
        fs_->mount(mountpoint);
    }
    model_->battery.start();
}

void Headset::unmount() {
    fs_->unmount();
}

void Headset::emit_change(const std::string &supply_dir) {
    std::lock_guard lock(model_->mutex);
    model_->tree.emit("change", supply_dir);
}

void Headset::unbind(const std::string &device) {
    std::lock_guard lock(model_->mutex);
    const std::string canonical = fs_->canonical(device);
    fs_->unbind(device);
    if (kernel_) {
        kernel_->unbind(canonical); // the kernel sends a power supply's "remove" itself
    } else if (model_->tree.is_supply(canonical)) {
        model_->tree.emit("remove", canonical);
    }
}

void Headset::bind(const std::string &device) {
    std::lock_guard lock(model_->mutex);
    fs_->bind(device);
    const std::string canonical = fs_->canonical(device);
    if (kernel_) {
        kernel_->bind(canonical);
    } else if (model_->tree.is_supply(canonical)) {
        // As the kernel's power-supply core announces a registered supply: no "add" (its
        // uevent callback cannot read the properties yet), then a deferred "change".
        model_->tree.emit("change", canonical);
    }
}

std::string Headset::device_path(const std::string &path) const {
    const std::string canonical = fs_->canonical(path);
    return kernel_ ? kernel_->kernel_path(canonical) : canonical;
}

Properties Headset::properties_of(const std::string &supply_dir) const {
    return model_->tree.properties_of(supply_dir);
}

// ---- story: USB ----

void Headset::Usb::plug(int32_t voltage_uv, int32_t current_ua, usb_type type) {
    hs_.model_->usb.set_source(true, voltage_uv, current_ua, type);
}

void Headset::Usb::renegotiate(int32_t voltage_uv, int32_t current_ua, usb_type type) {
    hs_.model_->usb.set_source(true, voltage_uv, current_ua, type);
}

void Headset::Usb::unplug() {
    hs_.model_->usb.set_source(false, 0, 0, usb_type::c);
}

bool Headset::Usb::online() const {
    return hs_.model_->usb.online();
}

int32_t Headset::Usb::voltage_uv() const {
    return hs_.model_->usb.voltage_uv();
}

// ---- story: charger ----

void Headset::Charger::finish_aicl() {
    hs_.model_->charger.set_flag("aicl_status", true);
}
void Headset::Charger::reset_aicl() {
    hs_.model_->charger.set_flag("aicl_status", false);
}
void Headset::Charger::enter_qph2() {
    hs_.model_->charger.set_flag("qph2", true);
}
void Headset::Charger::leave_qph2() {
    hs_.model_->charger.set_flag("qph2", false);
}

void Headset::Charger::set_status(const std::string &status) {
    hs_.model_->charger.set_status(status);
}

void Headset::Charger::emit_change() {
    hs_.emit_change(device::charger);
}

bool Headset::Charger::qph2() const {
    return hs_.model_->charger.qph2();
}

bool Headset::Charger::aicl_complete() const {
    return hs_.model_->charger.aicl_complete();
}

int32_t Headset::Charger::constant_charge_voltage_uv() const {
    return hs_.model_->charger.constant_charge_voltage_uv();
}

int32_t Headset::Charger::constant_charge_current_ua() const {
    return hs_.model_->charger.constant_charge_current_ua();
}

int32_t Headset::Charger::input_current_limit_ua() const {
    return hs_.model_->charger.input_current_limit_ua();
}

// ---- story: loads ----

void Headset::Loads::set_backlight_left(bool on) {
    hs_.model_->loads.set_backlight_left(on);
}
void Headset::Loads::set_backlight_right(bool on) {
    hs_.model_->loads.set_backlight_right(on);
}
void Headset::Loads::set_preboost(bool on) {
    hs_.model_->loads.set_preboost(on);
}
void Headset::Loads::set_room_tracking(bool on) {
    hs_.model_->loads.set_room_tracking(on);
}
void Headset::Loads::set_all(bool on) {
    set_backlight_left(on);
    set_backlight_right(on);
    set_preboost(on);
    set_room_tracking(on);
}

// ---- story: the internal battery's fuel gauge ----

void Headset::Battery::set(const GaugeValues &values) {
    hs_.model_->battery.set_internal(values);
}

void Headset::Battery::set_capacity(int32_t percent) {
    hs_.model_->battery.set_internal_capacity(percent);
}

void Headset::Battery::set_voltage_avg_uv(int32_t uv) {
    BatteryModel &battery = hs_.model_->battery;
    battery.set_gauge_value(battery.internal_gauge(), "voltage_avg", uv);
}
void Headset::Battery::set_current_avg_ua(int32_t ua) {
    BatteryModel &battery = hs_.model_->battery;
    battery.set_gauge_value(battery.internal_gauge(), "current_avg", ua);
}
void Headset::Battery::set_time_to_empty_avg_s(int32_t s) {
    BatteryModel &battery = hs_.model_->battery;
    battery.set_gauge_value(battery.internal_gauge(), "time_to_empty_avg", s);
}
void Headset::Battery::set_time_to_full_avg_s(int32_t s) {
    BatteryModel &battery = hs_.model_->battery;
    battery.set_gauge_value(battery.internal_gauge(), "time_to_full_avg", s);
}
GaugeValues Headset::Battery::values() const {
    const BatteryModel &battery = hs_.model_->battery;
    return battery.gauge_values(battery.internal_gauge());
}

void Headset::Battery::advance(double seconds) {
    hs_.model_->battery.advance(seconds);
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
    hs_.model_->hotswap.attach_pack();
}
void Headset::Pack::detach() {
    hs_.model_->hotswap.detach_pack();
}

bool Headset::Pack::attached() const {
    return hs_.model_->hotswap.pack_attached();
}

void Headset::Pack::set(const GaugeValues &values) {
    hs_.model_->battery.set_pack(values);
}

void Headset::Pack::set_capacity(int32_t percent) {
    hs_.model_->battery.set_pack_capacity(percent);
}

void Headset::Pack::set_voltage_avg_uv(int32_t uv) {
    hs_.model_->battery.set_gauge_value(path::pack_gauge, "voltage_avg", uv);
}
void Headset::Pack::set_current_avg_ua(int32_t ua) {
    hs_.model_->battery.set_gauge_value(path::pack_gauge, "current_avg", ua);
}
GaugeValues Headset::Pack::values() const {
    return hs_.model_->battery.gauge_values(path::pack_gauge);
}

// ---- story: hot-swap controller ----

void Headset::Hotswap::set(const std::string &attribute, bool on) {
    hs_.model_->hotswap.set(attribute, on);
}

bool Headset::Hotswap::get(const std::string &attribute) const {
    return hs_.model_->hotswap.get(attribute);
}

void Headset::Hotswap::emit_change() {
    hs_.emit_change(device::hotswap);
}

// ---- story: cross-charger ----

void Headset::Mp2652::appear() {
    hs_.model_->cross_charger.appear();
}

void Headset::Mp2652::vanish() {
    hs_.model_->cross_charger.vanish();
}

bool Headset::Mp2652::present() const {
    return hs_.model_->cross_charger.present();
}

void Headset::Mp2652::set_status(const std::string &status) {
    hs_.model_->cross_charger.set_status(status);
}

void Headset::Mp2652::emit_change() {
    hs_.emit_change(device::mp2652);
}

} // namespace vh
