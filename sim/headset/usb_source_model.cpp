// SPDX-License-Identifier: MIT
#include "usb_source_model.hpp"

#include "attribute_text.hpp"
#include "charger_model.hpp"

namespace vh {

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

void UsbSourceModel::build() {
    c_.tree.add_supply(
        {"tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00", device::tcpm, "typec", "USB", {}},
        {{"online", "0", 0444, "POWER_SUPPLY_ONLINE"},
         {"voltage_now", "0", 0444, "POWER_SUPPLY_VOLTAGE_NOW"},
         {"current_now", "0", 0444, "POWER_SUPPLY_CURRENT_NOW"},
         {"usb_type", usb_type_text(usb_type::c), 0444, "POWER_SUPPLY_USB_TYPE"}});
}

void UsbSourceModel::set_source(bool online, int32_t voltage_uv, int32_t current_ua,
                                usb_type type) {
    std::lock_guard lock(c_.mutex);
    c_.fs.set_silently(path::tcpm + "/online", flag(online));
    c_.fs.set_silently(path::tcpm + "/voltage_now", decimal(voltage_uv));
    c_.fs.set_silently(path::tcpm + "/current_now", decimal(current_ua));
    c_.fs.set_silently(path::tcpm + "/usb_type", usb_type_text(type));
    const std::string vusb = device::adc + "/" + adc_channel::vusb;
    if (c_.fs.exists(vusb)) {
        c_.fs.set_silently(vusb, decimal(voltage_uv));
    }
    charger_.source_changed(online);
    c_.tree.emit("change", device::tcpm);
    c_.tree.emit("change", device::charger);
}

bool UsbSourceModel::online() const {
    return is_on(c_.fs.value(path::tcpm + "/online"));
}

int32_t UsbSourceModel::voltage_uv() const {
    return to_int(c_.fs.value(path::tcpm + "/voltage_now"));
}

int32_t UsbSourceModel::current_ua() const {
    return to_int(c_.fs.value(path::tcpm + "/current_now"));
}

} // namespace vh
