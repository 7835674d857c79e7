// SPDX-License-Identifier: MIT
// The battery model charges the way a lithium-ion pack does behind this charger: constant
// current within the limit the daemon wrote and the source's power, then constant voltage
// with a tapering current, and its charge counts the current that flowed. The ADC and the
// fuel gauge show it. The model is stepped by hand here (advance), so the numbers are exact.
#include "headset/headset.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace vh;

namespace {

constexpr int32_t charge_voltage_uv = 8'900'000;

// A write as the daemon's write_file does it: open, one write, close.
void daemon_writes(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size())) << path;
    close(fd);
}

// The charger set up as the fast-charge policy leaves it.
struct ChargerSetting {
    bool aicl_done = true;
    bool qph2 = false;
    int32_t constant_charge_current_ua = 1'000'000;
    bool termination = true;
};

class BatteryModelTest : public testing::Test {
  protected:
    // The model's timer stays off: advance() steps it.
    void start(int32_t capacity) {
        HeadsetConfig config;
        config.internal.capacity = capacity;
        config.battery_step_s = 60;
        hs = std::make_unique<Headset>(config);
        hs->mount("/sys");
    }

    void plug(int32_t voltage_uv, int32_t current_ua, const ChargerSetting &setting) {
        hs->usb.plug(voltage_uv, current_ua, usb_type::pd);
        if (setting.aicl_done) {
            hs->charger.finish_aicl();
        }
        daemon_writes(path::charger + "/constant_charge_current",
                      std::to_string(setting.constant_charge_current_ua));
        daemon_writes(path::charger + "/termination_enable", setting.termination ? "1" : "0");
        if (setting.qph2) {
            daemon_writes(path::charger + "/qph2_allow", "1");
            daemon_writes(path::charger + "/qph2_resume", "1");
            ASSERT_TRUE(hs->charger.qph2());
        }
    }

    int32_t adc(const std::string &channel) const {
        return std::stoi(hs->fs().value(path::adc + "/" + channel));
    }
    std::string status() const { return hs->fs().value(path::charger + "/status"); }

    std::unique_ptr<Headset> hs;
};

struct LimitCase {
    const char *name;
    int32_t source_uv;
    int32_t source_ua;
    ChargerSetting charger;
    int32_t capacity;
    bool loads_on;
    // The charge current when a current limit governs it; 0 when the input power does: the
    // input current is then at the charger's input limit and the charge current below its
    // own limit.
    int32_t charge_ua;
};

TEST_F(BatteryModelTest, ChargeCurrentIsTheLowestOfItsLimits) {
    const LimitCase cases[] = {
        {"the current the daemon wrote", 9_V, 3_A, {true, true, 1'350'000}, 50, false, 1'350'000},
        {"the source's 3 A after AICL", 9_V, 3_A, {true, true, 2'700'000}, 30, false, 2'700'000},
        {"at most 1.5 A without QPH2", 9_V, 3_A, {true, false, 2'700'000}, 50, false, 1'500'000},
        {"1.5 A input before AICL", 9_V, 3_A, {false, true, 2'700'000}, 50, false, 0},
        {"a 5 V source's power", 5_V, 3_A, {true, false, 1'350'000}, 80, false, 0},
        {"the loads come first", 9_V, 3_A, {true, true, 2'700'000}, 50, true, 0},
    };
    for (const LimitCase &c : cases) {
        SCOPED_TRACE(c.name);
        start(c.capacity);
        hs->loads.set_all(c.loads_on);
        ASSERT_NO_FATAL_FAILURE(plug(c.source_uv, c.source_ua, c.charger));
        hs->battery.advance(60);
        const int32_t limit_ua = hs->charger.input_current_limit_ua();
        EXPECT_EQ(limit_ua, c.charger.aicl_done ? std::min(c.source_ua, 3_A) : 1'500'000);
        if (c.charge_ua != 0) {
            EXPECT_EQ(adc(adc_channel::ichg), c.charge_ua);
            EXPECT_LT(adc(adc_channel::iin), limit_ua);
        } else {
            EXPECT_EQ(adc(adc_channel::iin), limit_ua);
            EXPECT_GT(adc(adc_channel::ichg), 0);
            EXPECT_LT(adc(adc_channel::ichg), c.charger.constant_charge_current_ua);
        }
        EXPECT_EQ(status(), "Charging");
    }
}

TEST_F(BatteryModelTest, ASourceTooWeakForTheLoadsDrainsTheBattery) {
    start(50);
    hs->loads.set_all(true);
    ASSERT_NO_FATAL_FAILURE(plug(5_V, 1_A, {}));
    hs->battery.advance(600);
    EXPECT_LT(adc(adc_channel::ichg), 0);
    EXPECT_EQ(adc(adc_channel::iin), 1_A);
    EXPECT_LT(hs->battery.values().current_avg_ua, 0);
    EXPECT_LT(hs->battery.values().capacity, 50);
}

struct Sample {
    int32_t vbat_uv;
    int32_t ichg_ua;
    int32_t capacity;
};

struct TaperCase {
    const char *name;
    bool termination;
    // With termination the charger ends the charge below 200 mA; without, the current
    // tapers on until the battery is full.
    int32_t last_current_above_ua;
    int32_t last_current_below_ua;
};

TEST_F(BatteryModelTest, ConstantCurrentThenConstantVoltageWithATaperingCurrent) {
    const TaperCase cases[] = {
        {"termination on", true, 200'000, 300'000},
        {"termination off", false, 0, 200'000},
    };
    for (const TaperCase &c : cases) {
        SCOPED_TRACE(c.name);
        start(85);
        ASSERT_NO_FATAL_FAILURE(plug(9_V, 3_A, {true, true, 1'350'000, c.termination}));
        std::vector<Sample> samples;
        for (int minute = 0; minute < 240 && status() == "Charging"; ++minute) {
            hs->battery.advance(60);
            samples.push_back(
                {adc(adc_channel::vbat), adc(adc_channel::ichg), hs->battery.values().capacity});
        }
        hs->battery.advance(60);
        EXPECT_EQ(status(), "Full") << "the charge ends";
        EXPECT_EQ(adc(adc_channel::ichg), 0);
        std::size_t last = samples.size();
        while (last > 0 && samples[last - 1].ichg_ua <= 0) {
            --last;
        }
        ASSERT_GT(last, 2U);
        const Sample &last_charging = samples[last - 1];

        // Constant current first, below the charge voltage.
        EXPECT_EQ(samples.front().ichg_ua, 1'350'000);
        EXPECT_LT(samples.front().vbat_uv, charge_voltage_uv - 20'000);
        // Then the charge voltage holds and the current falls with every step.
        std::size_t cv = 0;
        while (cv < last && samples[cv].vbat_uv < charge_voltage_uv - 5'000) {
            ++cv;
        }
        ASSERT_GT(cv, 0U) << "no constant-current phase";
        ASSERT_LT(cv + 2, last) << "no constant-voltage phase";
        bool low_current_before_full = false;
        for (std::size_t i = cv; i < last; ++i) {
            SCOPED_TRACE("minute " + std::to_string(i + 1));
            EXPECT_NEAR(samples[i].vbat_uv, charge_voltage_uv, 5'000);
            if (i > cv) {
                EXPECT_LT(samples[i].ichg_ua, samples[i - 1].ichg_ua);
            }
            low_current_before_full |= samples[i].ichg_ua <= 500'000 && samples[i].capacity < 100;
        }
        EXPECT_TRUE(low_current_before_full)
            << "the current falls to the daemon's 500 mA fast-charge exit before full";
        EXPECT_GT(last_charging.ichg_ua, c.last_current_above_ua);
        EXPECT_LT(last_charging.ichg_ua, c.last_current_below_ua);
        EXPECT_GE(last_charging.capacity, 97);
    }
}

struct CountCase {
    const char *name;
    int32_t capacity;
    bool charging; // from a 9 V / 3 A source at 1 A, else on the battery alone
    bool loads_on;
    double seconds;
    int32_t capacity_after;
    int32_t current_avg_ua;
    int32_t time_to_full_s; // 0: not charging
    int32_t time_to_empty_s;
};

TEST_F(BatteryModelTest, CapacityCountsTheChargeThatFlowed) {
    // 4000 mAh: 1 A for 36 minutes brings 600 mAh, 15 %; the system alone draws 300 mA,
    // all loads together 1.6 A.
    const CountCase cases[] = {
        {"charging at 1 A", 50, true, false, 2160, 65, 1'000'000, 5040, 0},
        {"the system alone", 50, false, false, 4800, 40, -300'000, 0, 19'200},
        {"every load on", 50, false, true, 1800, 30, -1'600'000, 0, 2700},
    };
    for (const CountCase &c : cases) {
        SCOPED_TRACE(c.name);
        start(c.capacity);
        hs->loads.set_all(c.loads_on);
        if (c.charging) {
            ASSERT_NO_FATAL_FAILURE(plug(9_V, 3_A, {}));
        }
        hs->battery.advance(c.seconds);
        const GaugeValues gauge = hs->battery.values();
        EXPECT_EQ(gauge.capacity, c.capacity_after);
        EXPECT_NEAR(gauge.current_avg_ua, c.current_avg_ua, 1'000);
        EXPECT_NEAR(gauge.time_to_full_avg_s, c.time_to_full_s, 10);
        EXPECT_NEAR(gauge.time_to_empty_avg_s, c.time_to_empty_s, 20);
    }
}

TEST_F(BatteryModelTest, ValuesATestSetsAreWhereTheModelGoesOn) {
    start(50);
    hs->battery.set_capacity(80);
    hs->battery.set_current_avg_ua(-2'000'000);
    hs->battery.advance(5);
    const GaugeValues gauge = hs->battery.values();
    EXPECT_EQ(gauge.capacity, 80);
    EXPECT_LT(gauge.current_avg_ua, -300'000) << "averaged from the value set, not jumped";
    EXPECT_GT(gauge.current_avg_ua, -2'000'000) << "moving towards the 300 mA drawn";
}

} // namespace
