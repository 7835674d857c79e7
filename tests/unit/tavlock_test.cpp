// SPDX-License-Identifier: MIT
#include "pack/tavlock.hpp"

#include "support/event_properties.hpp"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <new>
#include <string>

using test_support::event_properties;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

tavlock_attribute_values attributes_set(std::initializer_list<tavlock_attribute> set) {
    tavlock_attribute_values values{};
    for (const tavlock_attribute attribute : set) {
        values[attribute] = true;
    }
    return values;
}

pack_status record_of(std::initializer_list<tavlock_attribute> set, bool gauge_present = false,
                      bool cross_charger_initialised = false) {
    return tavlock_record_from(pack_status{}, attributes_set(set), gauge_present,
                               cross_charger_initialised);
}

} // namespace

TEST(TavlockRecord, PowerSourceFromActiveAttributes) {
    struct Case {
        std::initializer_list<tavlock_attribute> set;
        int32_t power_source;
    };
    const Case cases[] = {
        {{}, POWER_SOURCE_NONE},
        {{TAVLOCK_INTERNAL_ACTIVE}, POWER_SOURCE_INTERNAL},
        {{TAVLOCK_REMOVABLE_ACTIVE}, POWER_SOURCE_EXTERNAL},
        {{TAVLOCK_INTERNAL_ACTIVE, TAVLOCK_REMOVABLE_ACTIVE}, POWER_SOURCE_INTERNAL},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(record_of(c.set).power_source, c.power_source);
    }
}

TEST(TavlockRecord, CrossChargeFromRealtimeAttributes) {
    struct Case {
        std::initializer_list<tavlock_attribute> set;
        int32_t cross_charge;
    };
    const Case cases[] = {
        {{}, CROSS_CHARGE_OFF},
        {{TAVLOCK_CROSS_CHG_VINT_FROM_VREM}, CROSS_CHARGE_EXT_TO_INT},
        {{TAVLOCK_CROSS_CHG_VREM_FROM_VINT}, CROSS_CHARGE_INT_TO_EXT},
        {{TAVLOCK_CROSS_CHG_VINT_FROM_VREM, TAVLOCK_CROSS_CHG_VREM_FROM_VINT},
         CROSS_CHARGE_EXT_TO_INT},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(record_of(c.set).cross_charge, c.cross_charge);
    }
}

TEST(TavlockRecord, StatusBitsFromTheirAttributes) {
    struct Case {
        tavlock_attribute attribute;
        int32_t bit;
    };
    const Case cases[] = {
        {TAVLOCK_REALTIME_HW_BATT_CONTROL, 0x01}, {TAVLOCK_REALTIME_USE_INT_BATT, 0x02},
        {TAVLOCK_INTERRUPT_CHARGER_FAULT, 0x04},  {TAVLOCK_INTERRUPT_PACK_INSTALLED, 0x08},
        {TAVLOCK_INTERRUPT_PACK_REMOVED, 0x10},   {TAVLOCK_INTERRUPT_VINT_NOT_VALID, 0x20},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(record_of({c.attribute}).status_bits, c.bit) << c.attribute;
    }
    tavlock_attribute_values all{};
    all.fill(true);
    EXPECT_EQ(tavlock_record_from(pack_status{}, all, true, true).status_bits, 0x3f);
    EXPECT_EQ(record_of({TAVLOCK_REALTIME_PACK_CONNECTED, TAVLOCK_INTERNAL_ACTIVE,
                         TAVLOCK_INTERNAL_VOLTAGE_OK})
                  .status_bits,
              0);
}

TEST(TavlockRecord, PackConnectedNeedsTheExternalFuelGauge) {
    struct Case {
        bool attribute;
        bool gauge_present;
        bool pack_connected;
    };
    const Case cases[] = {
        {false, false, false},
        {true, false, false},
        {false, true, false},
        {true, true, true},
    };
    for (const Case &c : cases) {
        tavlock_attribute_values values{};
        values[TAVLOCK_REALTIME_PACK_CONNECTED] = c.attribute;
        EXPECT_EQ(tavlock_record_from(pack_status{}, values, c.gauge_present, false).pack_connected,
                  c.pack_connected)
            << c.attribute << c.gauge_present;
    }
}

TEST(TavlockRecord, VoltageOkAndCrossChargerReady) {
    const pack_status record =
        record_of({TAVLOCK_INTERNAL_VOLTAGE_OK}, false, /*cross_charger_initialised=*/true);
    EXPECT_TRUE(record.internal_voltage_ok);
    EXPECT_FALSE(record.removable_voltage_ok);
    EXPECT_TRUE(record.cross_charger_ready);
    EXPECT_TRUE(record_of({TAVLOCK_REMOVABLE_VOLTAGE_OK}).removable_voltage_ok);
    EXPECT_FALSE(record_of({}).cross_charger_ready);
}

TEST(TavlockRecord, KeepsPresenceAndTheStoredReadings) {
    pack_status previous{};
    previous.headstrap_present = true;
    previous.external_fuel_gauge.capacity = 77;
    previous.cross_charger.health = HEALTH_WARM;
    previous.status_bits = 0x3f;
    previous.power_source = POWER_SOURCE_EXTERNAL;
    const pack_status record =
        tavlock_record_from(previous, tavlock_attribute_values{}, false, false);
    EXPECT_TRUE(record.headstrap_present);
    EXPECT_EQ(record.external_fuel_gauge.capacity, 77);
    EXPECT_EQ(record.cross_charger.health, HEALTH_WARM);
    EXPECT_EQ(record.status_bits, 0);
    EXPECT_EQ(record.power_source, POWER_SOURCE_NONE);
}

TEST(TavlockRecord, DiffersInEachSingleField) {
    const std::function<void(pack_status &)> changes[] = {
        [](pack_status &r) { r.headstrap_present = true; },
        [](pack_status &r) { r.pack_connected = true; },
        [](pack_status &r) { r.internal_voltage_ok = true; },
        [](pack_status &r) { r.removable_voltage_ok = true; },
        [](pack_status &r) { r.cross_charger_ready = true; },
        [](pack_status &r) { r.power_source = POWER_SOURCE_EXTERNAL; },
        [](pack_status &r) { r.cross_charge = CROSS_CHARGE_INT_TO_EXT; },
        [](pack_status &r) { r.status_bits = 0x20; },
        [](pack_status &r) { r.external_fuel_gauge.voltage_avg = 1; },
        [](pack_status &r) { r.external_fuel_gauge.current_avg = 1; },
        [](pack_status &r) { r.external_fuel_gauge.capacity = 1; },
        [](pack_status &r) { r.external_fuel_gauge.time_to_empty_avg = 1; },
        [](pack_status &r) { r.external_fuel_gauge.time_to_full_avg = 1; },
        [](pack_status &r) { r.cross_charger.constant_charge_voltage = 1; },
        [](pack_status &r) { r.cross_charger.constant_charge_voltage_max = 1; },
        [](pack_status &r) { r.cross_charger.constant_charge_current = 1; },
        [](pack_status &r) { r.cross_charger.constant_charge_current_max = 1; },
        [](pack_status &r) { r.cross_charger.input_current_limit = 1; },
        [](pack_status &r) { r.cross_charger.input_voltage_limit = 1; },
        [](pack_status &r) { r.cross_charger.precharge_current = 1; },
        [](pack_status &r) { r.cross_charger.charge_term_current = 1; },
        [](pack_status &r) { r.cross_charger.status = 1; },
        [](pack_status &r) { r.cross_charger.charge_type = 1; },
        [](pack_status &r) { r.cross_charger.health = 1; },
    };
    int index = 0;
    for (const auto &change : changes) {
        const pack_status before{};
        pack_status after{};
        change(after);
        EXPECT_TRUE(tavlock_record_differs(after, before)) << "change " << index;
        EXPECT_TRUE(tavlock_record_differs(before, after)) << "change " << index;
        ++index;
    }
}

TEST(TavlockRecord, PaddingIsNotData) {
    // Two records with equal fields whose padding bytes differ.
    alignas(pack_status) unsigned char storage_a[sizeof(pack_status)];
    alignas(pack_status) unsigned char storage_b[sizeof(pack_status)];
    std::memset(storage_a, 0x00, sizeof storage_a);
    std::memset(storage_b, 0xa5, sizeof storage_b);
    auto *a = new (storage_a) pack_status;
    auto *b = new (storage_b) pack_status;
    for (pack_status *r : {a, b}) {
        r->headstrap_present = true;
        r->pack_connected = false;
        r->internal_voltage_ok = true;
        r->removable_voltage_ok = false;
        r->cross_charger_ready = true;
        r->power_source = POWER_SOURCE_INTERNAL;
        r->cross_charge = CROSS_CHARGE_OFF;
        r->status_bits = 0x09;
        r->external_fuel_gauge = fuel_gauge_reading{3900000, -250000, 64, 7200, 0};
        r->cross_charger = cross_charger_reading{
            4200000, 4400000, 1000000, 2000000, 1500000, 5000000, 100000, 50000, 1, 3, HEALTH_GOOD};
    }
    ASSERT_NE(std::memcmp(storage_a, storage_b, sizeof(pack_status)), 0)
        << "the record has no padding on this platform";
    EXPECT_FALSE(tavlock_record_differs(*a, *b));
}

TEST(TavlockRecord, AttributeChangeThatAltersNoFieldIsNoChange) {
    struct Case {
        std::initializer_list<tavlock_attribute> before;
        std::initializer_list<tavlock_attribute> after;
        bool gauge_present;
        bool differs;
    };
    const Case cases[] = {
        // The first attribute of the pair takes precedence.
        {{TAVLOCK_CROSS_CHG_VINT_FROM_VREM},
         {TAVLOCK_CROSS_CHG_VINT_FROM_VREM, TAVLOCK_CROSS_CHG_VREM_FROM_VINT},
         false,
         false},
        {{TAVLOCK_INTERNAL_ACTIVE},
         {TAVLOCK_INTERNAL_ACTIVE, TAVLOCK_REMOVABLE_ACTIVE},
         false,
         false},
        // The pack is not connected without its fuel gauge.
        {{}, {TAVLOCK_REALTIME_PACK_CONNECTED}, false, false},
        {{}, {TAVLOCK_REALTIME_PACK_CONNECTED}, true, true},
        {{TAVLOCK_INTERNAL_ACTIVE}, {TAVLOCK_INTERNAL_ACTIVE}, true, false},
        {{TAVLOCK_INTERRUPT_PACK_REMOVED}, {}, false, true},
    };
    for (const Case &c : cases) {
        const pack_status before = record_of(c.before, c.gauge_present);
        const pack_status after =
            tavlock_record_from(before, attributes_set(c.after), c.gauge_present, false);
        EXPECT_EQ(tavlock_record_differs(after, before), c.differs);
    }
}

TEST(TavlockUdev, PresentPropertyBeginsWithOne) {
    struct Case {
        const char *present;
        bool connected;
    };
    const Case cases[] = {
        {"1", true}, {"10", true}, {"0", false}, {"", false}, {" 1", false}, {nullptr, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tavlock_udev_connected(c.present), c.connected)
            << (c.present == nullptr ? "(null)" : c.present);
    }
}

TEST(TavlockCommands, PowerSourceRequests) {
    struct Case {
        int32_t power_source;
        bool pack_connected;
        bool allowed;
    };
    const Case cases[] = {
        {POWER_SOURCE_INTERNAL, false, true},
        {POWER_SOURCE_INTERNAL, true, true},
        {POWER_SOURCE_EXTERNAL, true, true},
        {POWER_SOURCE_EXTERNAL, false, false},
        {POWER_SOURCE_NONE, true, false},
        {POWER_SOURCE_NONE, false, false},
        {3, true, false},
        {-1, true, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tavlock_power_source_allowed(c.power_source, c.pack_connected), c.allowed)
            << c.power_source << " " << c.pack_connected;
    }
}

TEST(TavlockCommands, CrossChargeRunsFromThePoweringBattery) {
    struct Case {
        int32_t direction;
        int32_t power_source;
        bool allowed;
    };
    const Case cases[] = {
        {CROSS_CHARGE_OFF, POWER_SOURCE_NONE, true},
        {CROSS_CHARGE_OFF, POWER_SOURCE_INTERNAL, true},
        {CROSS_CHARGE_OFF, POWER_SOURCE_EXTERNAL, true},
        {CROSS_CHARGE_INT_TO_EXT, POWER_SOURCE_INTERNAL, true},
        {CROSS_CHARGE_INT_TO_EXT, POWER_SOURCE_EXTERNAL, false},
        {CROSS_CHARGE_INT_TO_EXT, POWER_SOURCE_NONE, false},
        {CROSS_CHARGE_EXT_TO_INT, POWER_SOURCE_EXTERNAL, true},
        {CROSS_CHARGE_EXT_TO_INT, POWER_SOURCE_INTERNAL, false},
        {CROSS_CHARGE_EXT_TO_INT, POWER_SOURCE_NONE, false},
        {3, POWER_SOURCE_INTERNAL, false},
        {-1, POWER_SOURCE_EXTERNAL, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tavlock_cross_charge_allowed(c.direction, c.power_source), c.allowed)
            << c.direction << " " << c.power_source;
    }
}

// Without tavlock_init the module is as after a "NOT found" start-up: the record is all
// zero, so every request that needs the pack is refused before anything is written (a
// write to the missing controller would print its own open failure).
TEST(TavlockWithoutHeadstrap, RefreshReadsNothingAndRecordIsZero) {
    EXPECT_FALSE(tavlock_refresh());
    EXPECT_FALSE(tavlock_is_present());
    const pack_status status = tavlock_get_status();
    EXPECT_FALSE(tavlock_record_differs(status, pack_status{}));
}

TEST(TavlockWithoutHeadstrap, IllegalRequestsAreRefusedWithoutWrites) {
    struct Case {
        std::function<void()> request;
        std::string message;
    };
    const Case cases[] = {
        {[] { tavlock_set_power_source(POWER_SOURCE_EXTERNAL); },
         "Tavlock: failed to set power source, invalid request"},
        {[] { tavlock_set_power_source(POWER_SOURCE_NONE); },
         "Tavlock: failed to set power source, invalid request"},
        {[] { tavlock_set_cross_charge(CROSS_CHARGE_INT_TO_EXT); },
         "Tavlock: failed to enable cross charging, illegal state\n"},
        {[] { tavlock_set_cross_charge(CROSS_CHARGE_EXT_TO_INT); },
         "Tavlock: failed to enable cross charging, illegal state\n"},
    };
    for (const Case &c : cases) {
        CaptureStderr();
        c.request();
        EXPECT_EQ(GetCapturedStderr(), c.message);
    }
}

// Only a flip of the presence the events report asks for an update cycle.
TEST(TavlockWithoutHeadstrap, UdevEventsReportThePresenceAndItsFlips) {
    struct Case {
        event_properties event;
        bool changed;
        std::string line;
    };
    const Case cases[] = {
        {{{"POWER_SUPPLY_STATUS", "Charging"}, {"POWER_SUPPLY_PRESENT", "1"}},
         true,
         "Tavlock status: Charging, external battery connected: 1\n"},
        {{{"POWER_SUPPLY_PRESENT", "10"}},
         false,
         "Tavlock status: UNKNOWN!, external battery connected: 1\n"},
        {{{"POWER_SUPPLY_STATUS", "Discharging"}, {"POWER_SUPPLY_PRESENT", " 1"}},
         true,
         "Tavlock status: Discharging, external battery connected: 0\n"},
        {{{"POWER_SUPPLY_PRESENT", ""}},
         false,
         "Tavlock status: UNKNOWN!, external battery connected: 0\n"},
        {{}, false, "Tavlock status: UNKNOWN!, external battery connected: 0\n"},
    };
    for (const Case &c : cases) {
        CaptureStdout();
        CaptureStderr(); // the missing controller's write failures
        EXPECT_EQ(tavlock_process_properties(c.event.source()), c.changed) << c.line;
        GetCapturedStderr();
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.line);
    }
}
