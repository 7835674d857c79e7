// SPDX-License-Identifier: MIT
#include "charger/pm8550b_charger.hpp"

#include "support/event_properties.hpp"

#include <gtest/gtest.h>
#include <string>

using test_support::event_properties;
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

TEST(ChargerEvent, StoresOnlineLimitsAndStatus) {
    CaptureStderr();
    pm8550b_charger_process_properties(event_properties{
        {"POWER_SUPPLY_ONLINE", "1"},
        {"POWER_SUPPLY_STATUS", "Charging"},
        {"POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE", "8900000"},
        {"POWER_SUPPLY_CONSTANT_CHARGE_CURRENT", "1000000"},
    }
                                           .source());
    EXPECT_EQ(GetCapturedStderr(), "");
    const charger_reading reading = pm8550b_charger_get_reading();
    EXPECT_TRUE(reading.online);
    EXPECT_EQ(reading.status, CHARGER_STATUS_CHARGING);
    EXPECT_EQ(reading.cv_uv, 8900000);
    EXPECT_EQ(reading.cc_ua, 1000000);
}

TEST(ChargerEvent, OnlyOnlineKeepsTheLimitsAndForgetsTheStatus) {
    pm8550b_charger_process_properties(event_properties{
        {"POWER_SUPPLY_ONLINE", "1"},
        {"POWER_SUPPLY_STATUS", "Full"},
        {"POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE", "8800000"},
        {"POWER_SUPPLY_CONSTANT_CHARGE_CURRENT", "2700000"},
    }
                                           .source());
    CaptureStderr();
    pm8550b_charger_process_properties(event_properties{{"POWER_SUPPLY_ONLINE", "0"}}.source());
    EXPECT_EQ(GetCapturedStderr(), "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE == NULL\n"
                                   "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT == NULL\n"
                                   "Charger Status string is NULL\n");
    const charger_reading reading = pm8550b_charger_get_reading();
    EXPECT_FALSE(reading.online);
    EXPECT_EQ(reading.status, CHARGER_STATUS_UNKNOWN);
    EXPECT_EQ(reading.cv_uv, 8800000);
    EXPECT_EQ(reading.cc_ua, 2700000);
}

TEST(ChargerEvent, MissingOnlineIsKept) {
    pm8550b_charger_process_properties(event_properties{{"POWER_SUPPLY_ONLINE", "1"}}.source());
    CaptureStderr();
    pm8550b_charger_process_properties(
        event_properties{{"POWER_SUPPLY_STATUS", "Discharging"}}.source());
    EXPECT_EQ(GetCapturedStderr(), "POWER_SUPPLY_ONLINE == NULL\n"
                                   "POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE == NULL\n"
                                   "POWER_SUPPLY_CONSTANT_CHARGE_CURRENT == NULL\n");
    EXPECT_TRUE(pm8550b_charger_get_reading().online);
    EXPECT_EQ(pm8550b_charger_get_reading().status, CHARGER_STATUS_DISCHARGING);
}
