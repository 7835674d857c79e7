#include "charger/tcpm.hpp"

#include <gtest/gtest.h>
#include <string>

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
