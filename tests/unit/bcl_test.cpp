// SPDX-License-Identifier: MIT
#include "sensing/bcl.hpp"

#include <cstdint>
#include <gtest/gtest.h>

TEST(BclMargin, EnvironmentTextOrDefault) {
    struct Case {
        const char *text;
        int32_t margin_mv;
    };
    const Case cases[] = {
        {nullptr, 800},
        {"500", 500},
        {" 500mV", 500},
        {"-300", -300},
        {"", 0},
        {"abc", 0},
        {"-2147483648", INT32_MIN},
        // Beyond 32 bits the low 32 bits count, as the margin line prints them.
        {"4294967296", 0},
        {"4294967295", -1},
        {"2147483648", INT32_MIN},
        {"4294967796", 500},
        {"99999999999999999999999", -1}, // saturated at the 64-bit maximum first
    };
    for (const Case &c : cases) {
        EXPECT_EQ(bcl_margin_mv(c.text), c.margin_mv) << (c.text ? c.text : "(unset)");
    }
}

TEST(BclThreshold, HalfTheBatteryVoltageLessTheMarginWithinBounds) {
    struct Case {
        int32_t vbat_uv;
        int64_t margin_mv;
        int32_t level0_mv;
        int32_t level1_mv;
    };
    const Case cases[] = {
        {8000000, 800, 3200, 3200},
        {8000000, 500, 3500, 3500},
        {6000000, 800, 2800, 2600}, // 2200 raised to each level's floor
        {9000000, 800, 3600, 3600}, // 3700 lowered
        {6001999, 0, 3000, 3000},   // integer division of the base
        {7000000, 0, 3500, 3500},
        {7000000, -300, 3600, 3600}, // a negative margin raises, capped
        {7600000, 1000, 2800, 2800},
        {7400000, 1000, 2800, 2700},
        // Extreme margins neither overflow nor escape the bounds.
        {8000000, INT32_MIN, 3600, 3600},
        {8000000, INT32_MAX, 2800, 2600},
        {8000000, INT64_MIN, 3600, 3600},
        {8000000, INT64_MAX, 2800, 2600},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(bcl_threshold_mv(c.vbat_uv, c.margin_mv, BCL_L0_MIN_MV), c.level0_mv)
            << c.vbat_uv << " " << c.margin_mv;
        EXPECT_EQ(bcl_threshold_mv(c.vbat_uv, c.margin_mv, BCL_L1_MIN_MV), c.level1_mv)
            << c.vbat_uv << " " << c.margin_mv;
    }
}

TEST(BclInactive, ReportsInactiveValuesAndTouchesNothing) {
    char throttle[64] = "stale";
    bcl_read_throttle_accum(throttle, sizeof throttle);
    EXPECT_STREQ(throttle, "");
    EXPECT_FALSE(bcl_platform_enabled());
    EXPECT_EQ(bcl_read_in0_min(), -1);
    EXPECT_EQ(bcl_read_in0_lcrit(), -1);
    EXPECT_EQ(bcl_read_in0_enable(), -1);
    testing::internal::CaptureStderr();
    bcl_update_thresholds(8000000);
    bcl_deinit();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
