// SPDX-License-Identifier: MIT
#include "pack/mp2652.hpp"

#include "support/event_properties.hpp"

#include <gtest/gtest.h>
#include <string>

using test_support::event_properties;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(Mp2652ChargeType, WholeTextCaseSensitive) {
    struct Case {
        const char *text;
        int32_t charge_type;
    };
    const Case cases[] = {
        {"N/A", CHARGE_TYPE_NA},         {"Trickle", CHARGE_TYPE_TRICKLE},
        {"Fast", CHARGE_TYPE_FAST},      {"fast", CHARGE_TYPE_UNKNOWN},
        {"Fast\n", CHARGE_TYPE_UNKNOWN}, {"Fa", CHARGE_TYPE_UNKNOWN},
        {"Faster", CHARGE_TYPE_UNKNOWN}, {"Standard", CHARGE_TYPE_UNKNOWN},
        {"N/", CHARGE_TYPE_UNKNOWN},     {"", CHARGE_TYPE_UNKNOWN},
        {nullptr, CHARGE_TYPE_UNKNOWN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text == nullptr ? "(null)" : c.text);
        EXPECT_EQ(mp2652_parse_charge_type(c.text), c.charge_type);
    }
}

TEST(Mp2652Health, WholeTextCaseSensitive) {
    struct Case {
        const char *text;
        int32_t health;
    };
    const Case cases[] = {
        {"Good", HEALTH_GOOD},   {"Cold", HEALTH_COLD},     {"Cool", HEALTH_COOL},
        {"Warm", HEALTH_WARM},   {"Hot", HEALTH_HOT},       {"Overheat", HEALTH_UNKNOWN},
        {"hot", HEALTH_UNKNOWN}, {"Ho", HEALTH_UNKNOWN},    {"Hot ", HEALTH_UNKNOWN},
        {"", HEALTH_UNKNOWN},    {nullptr, HEALTH_UNKNOWN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text == nullptr ? "(null)" : c.text);
        EXPECT_EQ(mp2652_parse_health(c.text), c.health);
    }
}

// The unit-test machine has no MP2652; these are the behaviours of an absent charger.
class Mp2652Absent : public testing::Test {
  protected:
    void SetUp() override {
        if (mp2652_is_present()) {
            GTEST_SKIP() << "this machine has an mp2652-charger power supply";
        }
    }
};

TEST_F(Mp2652Absent, InitChangesNothing) {
    CaptureStdout();
    EXPECT_EQ(mp2652_init(), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_FALSE(mp2652_is_initialised());
}

TEST_F(Mp2652Absent, DisableWritesNothingAndSaysNothing) {
    CaptureStderr();
    mp2652_set_enable(false);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(Mp2652Absent, EnableStillWritesAndReportsTheFailure) {
    CaptureStderr();
    mp2652_set_enable(true);
    EXPECT_EQ(GetCapturedStderr(),
              "Open /sys/class/power_supply/mp2652-charger/status failed on -1\n"
              "MP2652: Failed to set charger enable: -1\n");
}

TEST_F(Mp2652Absent, UninitAnnouncesItselfEvenWhenNotInitialised) {
    CaptureStdout();
    CaptureStderr();
    mp2652_uninit();
    EXPECT_EQ(GetCapturedStdout(), "Uninitializing mp2652 charger\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(mp2652_is_initialised());
}

TEST_F(Mp2652Absent, ReadAllKeepsTheLastValues) {
    const cross_charger_reading reading = mp2652_read_all();
    EXPECT_EQ(reading.status, 0);
    EXPECT_EQ(reading.constant_charge_current, 0);
    EXPECT_EQ(reading.health, 0);
}

TEST_F(Mp2652Absent, SetterReportsTheWriteFailure) {
    CaptureStderr();
    EXPECT_EQ(mp2652_set_constant_charge_current(-1), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "Open /sys/class/power_supply/mp2652-charger/constant_charge_current failed on -1\n");
}

TEST(Mp2652Udev, NoDeviceIsNoChange) {
    EXPECT_FALSE(mp2652_process_udev(nullptr));
}

// A vanished charger asks for an update cycle with every event, whatever it carries.
TEST_F(Mp2652Absent, EveryEventIsUninitialisedAndAsksForACycle) {
    const event_properties events[] = {
        {{"POWER_SUPPLY_NAME", "mp2652-charger"}, {"POWER_SUPPLY_STATUS", "Charging"}},
        {{"POWER_SUPPLY_NAME", "mp2652-charger-2"}},
        {},
    };
    for (const event_properties &event : events) {
        CaptureStdout();
        EXPECT_TRUE(mp2652_process_properties(event.source()));
        EXPECT_EQ(GetCapturedStdout(), "Uninitializing mp2652 charger\n");
        EXPECT_FALSE(mp2652_is_initialised());
    }
}
