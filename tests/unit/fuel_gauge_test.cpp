// SPDX-License-Identifier: MIT
#include "sensing/fuel_gauge.hpp"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(FuelGaugeName, GaugeOnABusOfOneOrTwoDigitsWithTheSuffix) {
    struct Case {
        const char *name;
        const char *suffix;
        bool matches;
    };
    const Case cases[] = {
        {"max1720x_bat_7-36", "36", true},    {"max1720x_bat_3-36", "36", true},
        {"max1720x_bat_12-76", "76", true},   {"max1720x_bat_7-76", "36", false},
        {"max1720x_bat_123-36", "36", false}, {"max1720x_bat_7-360", "36", false},
        {"max1720x_bat_-36", "36", false},    {"max1720x_bat_x-36", "36", false},
        {"xmax1720x_bat_7-36", "36", false},  {"max1720x_bat_7-3", "36", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fuel_gauge_name_matches(c.name, c.suffix), c.matches) << c.name;
    }
}

TEST(FuelGaugePercent, InternalCapacityReadsFullAt90) {
    struct Case {
        int battery;
        int32_t capacity;
        int32_t percent;
    };
    const Case cases[] = {
        {BATTERY_INTERNAL, 0, 0},
        {BATTERY_INTERNAL, 45, 50},
        {BATTERY_INTERNAL, 89, 98},
        {BATTERY_INTERNAL, 90, 100},
        {BATTERY_INTERNAL, 91, 100},
        {BATTERY_INTERNAL, 100, 100},
        {BATTERY_INTERNAL, -9, -10},
        // Garbage capacities no longer overflow on the way to the cap.
        {BATTERY_INTERNAL, 21474837, 100},
        {BATTERY_INTERNAL, INT32_MAX, 100},
        {BATTERY_INTERNAL, INT32_MIN, INT32_MIN},
        {BATTERY_EXTERNAL, 95, 95},
        {BATTERY_EXTERNAL, 100, 100},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fuel_gauge_percent_from_capacity(c.battery, c.capacity), c.percent)
            << c.battery << " " << c.capacity;
    }
}

class FuelGaugeAttr : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/charged-fg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        old_cwd_ = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(old_cwd_);
        fs::remove_all(dir_);
    }
    void file(const std::string &name, const std::string &content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    std::string dir_with_slash() const { return dir_.string() + "/"; }

    fs::path dir_;
    fs::path old_cwd_;
};

TEST_F(FuelGaugeAttr, ReadsADecimalAttribute) {
    struct Case {
        const char *content;
        int32_t value;
    };
    const Case cases[] = {{"4012000\n", 4012000}, {"-250000\n", -250000}, {"", 0}, {"x", 0}};
    for (const Case &c : cases) {
        file("voltage_avg", c.content);
        int32_t value = 77;
        fuel_gauge_read_attr(dir_with_slash().c_str(), "voltage_avg", &value);
        EXPECT_EQ(value, c.value) << c.content;
    }
}

TEST_F(FuelGaugeAttr, MissingFileOrEmptyDirectoryLeavesTheTarget) {
    int32_t value = 77;
    fuel_gauge_read_attr(dir_with_slash().c_str(), "capacity", &value);
    EXPECT_EQ(value, 77);

    // An empty directory text must not turn into a file of the working directory.
    file("capacity", "55\n");
    fs::current_path(dir_);
    fuel_gauge_read_attr("", "capacity", &value);
    EXPECT_EQ(value, 77);
}

TEST(FuelGaugeAbsent, ReadsZerosWithoutTouchingFiles) {
    EXPECT_FALSE(fuel_gauge_is_present(BATTERY_EXTERNAL));
    const fuel_gauge_reading reading = fuel_gauge_get_reading(BATTERY_EXTERNAL);
    EXPECT_EQ(reading.voltage_avg, 0);
    EXPECT_EQ(reading.current_avg, 0);
    EXPECT_EQ(reading.capacity, 0);
    EXPECT_EQ(reading.time_to_empty_avg, 0);
    EXPECT_EQ(reading.time_to_full_avg, 0);
    EXPECT_EQ(fuel_gauge_battery_percent(BATTERY_INTERNAL), 0);
}

TEST(FuelGaugeUdev, OnlyThePacksGaugeTriggersASearch) {
    EXPECT_FALSE(fuel_gauge_process_udev(nullptr, "max1720x_bat_7-36"));
    EXPECT_FALSE(fuel_gauge_process_udev(nullptr, "max1720x_bat_7-7"));
    EXPECT_FALSE(fuel_gauge_is_present(BATTERY_EXTERNAL));
}
