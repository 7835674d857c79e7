// SPDX-License-Identifier: MIT
// Injected events reach a libudev monitor exactly as udevd's would.
#include "headset/uevent.hpp"
#include "udev_helpers.hpp"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(UdevWireFormat, MurmurHashMatchesLibudev) {
    EXPECT_EQ(vh::murmur_hash2("power_supply"), 0xb1acbccau);
    EXPECT_EQ(vh::murmur_hash2("hwmon"), 0x22df0017u);
}

TEST(UdevWireFormat, HeaderAndPropertiesLayout) {
    const auto message =
        vh::encode_udev_event({{"ACTION", "change"}, {"SEQNUM", "7"}}, "power_supply", "");
    ASSERT_EQ(message.size(), 40u + 14 + 9);
    EXPECT_EQ(std::string(message.data(), 8), std::string("libudev\0", 8));
    const auto word = [&](size_t offset) {
        uint32_t value;
        std::memcpy(&value, message.data() + offset, 4);
        return value;
    };
    EXPECT_EQ(ntohl(word(8)), 0xfeedcafeu);
    EXPECT_EQ(word(12), 40u);
    EXPECT_EQ(word(16), 40u);
    EXPECT_EQ(word(20), 14u + 9);
    EXPECT_EQ(ntohl(word(24)), 0xb1acbccau);
    EXPECT_EQ(word(28), 0u);
    EXPECT_EQ(std::string(message.data() + 40, message.size() - 40),
              std::string("ACTION=change\0SEQNUM=7\0", 23)); // no extra NUL at the end
}

TEST(UeventInjector, EventArrivesWithItsProperties) {
    vh::test::UdevMonitor monitor;
    vh::UeventInjector injector;
    const uint64_t seqnum =
        injector.send("change", "/devices/x/power_supply/widget", "power_supply",
                      {{"OF_NAME", "typec"}, {"POWER_SUPPLY_ONLINE", "1"}});
    auto event = monitor.next();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->action, "change");
    EXPECT_EQ(event->devpath, "/devices/x/power_supply/widget");
    EXPECT_EQ(event->properties["SUBSYSTEM"], "power_supply");
    EXPECT_EQ(event->properties["OF_NAME"], "typec");
    EXPECT_EQ(event->properties["POWER_SUPPLY_ONLINE"], "1");
    EXPECT_EQ(event->properties["SEQNUM"], std::to_string(seqnum));
    EXPECT_LT(seqnum, injector.send("change", "/devices/y", "power_supply", {}));
}

TEST(UeventInjector, MonitorFilterDropsOtherSubsystems) {
    vh::test::UdevMonitor monitor;
    vh::UeventInjector injector;
    injector.send("change", "/devices/virtual/hwmon/hwmon0", "hwmon", {});
    injector.send("change", "/devices/y/power_supply/second", "power_supply", {});
    auto event = monitor.next();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->devpath, "/devices/y/power_supply/second");
}

TEST(UeventInjector, RawEventsCanCarryOddRoutingTexts) {
    vh::test::UdevMonitor monitor;
    vh::UeventInjector injector;
    const std::string seqnum = std::to_string(injector.take_seqnum());
    injector.send_raw({{"ACTION", "change"},
                       {"DEVPATH", "/devices/z"},
                       {"SUBSYSTEM", "power_supply"},
                       {"OF_NAME", "typ"},
                       {"SEQNUM", seqnum}});
    auto event = monitor.next();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->properties["OF_NAME"], "typ");
    EXPECT_EQ(event->properties["SEQNUM"], seqnum);
}

TEST(UeventInjector, EventsWithoutSeqnumAreDroppedByLibudev) {
    vh::test::UdevMonitor monitor;
    vh::UeventInjector injector;
    injector.send_raw(
        {{"ACTION", "change"}, {"DEVPATH", "/devices/z"}, {"SUBSYSTEM", "power_supply"}});
    injector.send("change", "/devices/after", "power_supply", {});
    auto event = monitor.next();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->devpath, "/devices/after");
}

} // namespace
