// SPDX-License-Identifier: MIT
#include "charger/tcpm.hpp"

#include "support/event_properties.hpp"

#include <gtest/gtest.h>
#include <string>

using test_support::event_properties;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(TcpmUsbType, TextSelectsTheFirstNameItIsAPrefixOf) {
    struct Case {
        int32_t voltage_uv;
        const char *text;
        int32_t usb_type;
        std::string message;
    };
    const Case cases[] = {
        {9000000, "[C] PD PD_PPS", USB_TYPE_C, ""},
        {9000000, "C [PD] PD_PPS", USB_TYPE_PD, ""},
        {9000000, "C PD [PD_PPS]", USB_TYPE_PD_PPS, ""},
        {5000000, "[C] PD", USB_TYPE_C, ""},
        {5000000, "C", USB_TYPE_PD, ""}, // tried against "C [PD] PD_PPS" first
        {5000000, "C PD [", USB_TYPE_PD_PPS, ""},
        {5000000, "", USB_TYPE_C, ""},
        {5000000, "C PD PD_PPS", USB_TYPE_UNKNOWN, "Unknown USB Charger Type C PD PD_PPS\n"},
        {5000000, "[C] PD PD_PPS PPS", USB_TYPE_UNKNOWN,
         "Unknown USB Charger Type [C] PD PD_PPS PPS\n"},
        {5000000, "[c] PD PD_PPS", USB_TYPE_UNKNOWN, "Unknown USB Charger Type [c] PD PD_PPS\n"},
        {5000000, nullptr, USB_TYPE_UNKNOWN, "Unknown USB Charger Type: NULL\n"},
        // Without a voltage there is no contract; the text is not looked at.
        {0, "C [PD] PD_PPS", USB_TYPE_UNKNOWN, ""},
        {0, nullptr, USB_TYPE_UNKNOWN, ""},
        {0, "garbage", USB_TYPE_UNKNOWN, ""},
        {-1, "C [PD] PD_PPS", USB_TYPE_PD, ""},
    };
    for (const Case &c : cases) {
        CaptureStderr();
        EXPECT_EQ(tcpm_usb_type_for(c.voltage_uv, c.text), c.usb_type)
            << c.voltage_uv << " " << (c.text ? c.text : "(null)");
        EXPECT_EQ(GetCapturedStderr(), c.message);
    }
}

TEST(TcpmUsbType, DisplayNames) {
    EXPECT_STREQ(tcpm_usb_type_name(USB_TYPE_UNKNOWN), "Unknown");
    EXPECT_STREQ(tcpm_usb_type_name(USB_TYPE_C), "[C] PD PD_PPS");
    EXPECT_STREQ(tcpm_usb_type_name(USB_TYPE_PD), "C [PD] PD_PPS");
    EXPECT_STREQ(tcpm_usb_type_name(USB_TYPE_PD_PPS), "C PD [PD_PPS]");
    EXPECT_STREQ(tcpm_usb_type_name(4), "Unknown");
    EXPECT_STREQ(tcpm_usb_type_name(-1), "Unknown");
}

TEST(TcpmContract, OfflineAndEmptyBeforeAnyEvent) {
    const usb_contract contract = tcpm_get_contract();
    EXPECT_FALSE(contract.online);
    EXPECT_EQ(contract.voltage_uv, 0);
    EXPECT_EQ(contract.current_ua, 0);
    EXPECT_STREQ(tcpm_usb_type_name(contract.usb_type), "Unknown");
}

namespace {

usb_contract contract_after(const event_properties &event) {
    tcpm_process_properties(event.source());
    return tcpm_get_contract();
}

const event_properties pd_9v_event = {
    {"POWER_SUPPLY_ONLINE", "1"},
    {"POWER_SUPPLY_VOLTAGE_NOW", "9000000"},
    {"POWER_SUPPLY_CURRENT_NOW", "3000000"},
    {"POWER_SUPPLY_USB_TYPE", "C [PD] PD_PPS"},
};

} // namespace

TEST(TcpmEvent, StoresTheContractItCarries) {
    CaptureStderr();
    const usb_contract contract = contract_after(pd_9v_event);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(contract.online);
    EXPECT_EQ(contract.voltage_uv, 9000000);
    EXPECT_EQ(contract.current_ua, 3000000);
    EXPECT_EQ(contract.usb_type, USB_TYPE_PD);
}

TEST(TcpmEvent, MissingVoltageEndsTheContractMissingOnlineAndCurrentAreKept) {
    contract_after(pd_9v_event);
    CaptureStderr();
    const usb_contract contract =
        contract_after(event_properties{{"POWER_SUPPLY_USB_TYPE", "C PD [PD_PPS]"}});
    EXPECT_EQ(GetCapturedStderr(), "POWER_SUPPLY_ONLINE == NULL\n"
                                   "POWER_SUPPLY_VOLTAGE_NOW == NULL\n"
                                   "POWER_SUPPLY_CURRENT_NOW == NULL\n");
    EXPECT_TRUE(contract.online);
    EXPECT_EQ(contract.voltage_uv, 0);
    EXPECT_EQ(contract.current_ua, 3000000);
    EXPECT_EQ(contract.usb_type, USB_TYPE_UNKNOWN);
}

TEST(TcpmEvent, OnlineIsAnUnsignedNumberOtherThanZero) {
    struct Case {
        const char *text;
        bool online;
    };
    const Case cases[] = {
        {"1", true},    {"2", true},   {"-1", true},
        {" 7\n", true}, {"0", false},  {"", false},
        {"x1", false},  {"-0", false}, {"18446744073709551616", true},
    };
    for (const Case &c : cases) {
        event_properties event = pd_9v_event;
        event.set("POWER_SUPPLY_ONLINE", c.text);
        EXPECT_EQ(contract_after(event).online, c.online) << "\"" << c.text << "\"";
    }
}

TEST(TcpmEvent, VoltageAndCurrentAreSignedDecimals) {
    event_properties event = pd_9v_event;
    event.set("POWER_SUPPLY_VOLTAGE_NOW", " -5000000 mV");
    event.set("POWER_SUPPLY_CURRENT_NOW", "+1500000\n");
    const usb_contract contract = contract_after(event);
    EXPECT_EQ(contract.voltage_uv, -5000000);
    EXPECT_EQ(contract.current_ua, 1500000);
    EXPECT_EQ(contract.usb_type, USB_TYPE_PD); // a voltage other than 0 is a contract
}
