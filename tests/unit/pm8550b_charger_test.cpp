#include "charger/pm8550b_charger.hpp"

#include <gtest/gtest.h>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(ChargerStatus, ParseComparesOverTheTextsOwnLength) {
    struct Case {
        const char *text;
        int32_t status;
        std::string message;
    };
    const Case cases[] = {
        {"Unknown", CHARGER_STATUS_UNKNOWN, ""},
        {"Charging", CHARGER_STATUS_CHARGING, ""},
        {"Discharging", CHARGER_STATUS_DISCHARGING, ""},
        {"Not charging", CHARGER_STATUS_NOT_CHARGING, ""},
        {"Full", CHARGER_STATUS_FULL, ""},
        {"Not", CHARGER_STATUS_NOT_CHARGING, ""},
        {"Dis", CHARGER_STATUS_DISCHARGING, ""},
        {"C", CHARGER_STATUS_CHARGING, ""},
        {"F", CHARGER_STATUS_FULL, ""},
        {"", CHARGER_STATUS_UNKNOWN, ""},
        {"Full\n", CHARGER_STATUS_UNKNOWN, "Unknown Charger Status Full\n\n"},
        {"charging", CHARGER_STATUS_UNKNOWN, "Unknown Charger Status charging\n"},
        {"Charging ", CHARGER_STATUS_UNKNOWN, "Unknown Charger Status Charging \n"},
        {nullptr, CHARGER_STATUS_UNKNOWN, "Charger Status string is NULL\n"},
    };
    for (const Case &c : cases) {
        CaptureStderr();
        EXPECT_EQ(charger_status_parse(c.text), c.status) << (c.text ? c.text : "(null)");
        EXPECT_EQ(GetCapturedStderr(), c.message);
    }
}

TEST(ChargerStatus, NamesAreTheKernelsTexts) {
    const char *const names[] = {"Unknown", "Charging", "Discharging", "Not charging", "Full"};
    for (int32_t status = CHARGER_STATUS_UNKNOWN; status <= CHARGER_STATUS_FULL; ++status) {
        EXPECT_STREQ(charger_status_name(status), names[status]);
        EXPECT_EQ(charger_status_parse(names[status]), status);
    }
    // A value no parser gives names itself unknown instead of reading past the table.
    EXPECT_STREQ(charger_status_name(5), "Unknown");
    EXPECT_STREQ(charger_status_name(-1), "Unknown");
}

TEST(ChargerReading, FlagsReadFalseBeforeAnyNotification) {
    const charger_reading reading = pm8550b_charger_get_reading();
    EXPECT_FALSE(reading.qph2_active);
    EXPECT_FALSE(reading.aicl_complete);
    EXPECT_FALSE(reading.online);
}
