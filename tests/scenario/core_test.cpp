// SPDX-License-Identifier: MIT
// The daemon's process as a user of the headset sees it: the version line, the USB-C source
// asked for its state, every udev routing rule, the watchdog after every pass, the ways the
// process ends, and the levels its lines carry into the journal.
#include "event_cycles.hpp"
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <string>
#include <vector>

namespace vh {
namespace {

using story::send_change;
using story::tcpm_properties;

const std::string tcpm_uevent = path::tcpm + "/uevent";
using story::report_header;

// Started and through its first update cycle.
Daemon &start_and_settle(Scenario &s) {
    Daemon &d = s.start();
    EXPECT_TRUE(s.expect_err(report_header));
    return d;
}

TEST(DaemonStart, VersionLineNamesTheProgramTheVersionAndTheBuild) {
    ScenarioOptions options;
    options.argv0 = "/usr/bin/charged";
    Scenario s(options);
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err("Starting /usr/bin/charged - Version: 2.6-"));
    const std::vector<std::string> lines = d.lines_err();
    ASSERT_FALSE(lines.empty());
    // The build identifier: packaging label, build number, seven-digit revision.
    EXPECT_TRUE(std::regex_match(
        lines.front(),
        std::regex("Starting /usr/bin/charged - Version: 2\\.6-[a-z]+-[0-9]+-[0-9a-f]{7}")))
        << lines.front();
    // The handlers are installed after the line: stop only a daemon that is running.
    EXPECT_TRUE(s.expect_err(report_header));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(DaemonStart, AsksTheUsbSourceForItsStateAndReportsTheAnswer) {
    Scenario s;
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    s.start();
    EXPECT_TRUE(s.expect_err_line(tcpm_uevent));
    EXPECT_TRUE(s.expect_write(tcpm_uevent, "change"));
    // The kernel's answer carries the contract; the next report shows it.
    EXPECT_TRUE(s.expect_err("USB(1) - V:"));
    EXPECT_TRUE(s.expect_err(", Neg:  9.0;  Cur:"));
    EXPECT_TRUE(s.expect_err(", Neg:  3.0;  Type: C [PD] PD_PPS\n"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// Each case has its own negotiated current, so its report line cannot be an older one.
struct UsbTypeCase {
    int32_t voltage_uv;
    std::optional<std::string> text;
    std::string reported_type;
    std::string message; // printed before the report; "" for none
};

TEST(UsbContract, TypeTextSelectsTheFirstTypeItIsAPrefixOf) {
    const UsbTypeCase cases[] = {
        {5_V, "[C] PD PD_PPS", "[C] PD PD_PPS", ""},
        {9_V, "C [PD] PD_PPS", "C [PD] PD_PPS", ""},
        {9_V, "C PD [PD_PPS]", "C PD [PD_PPS]", ""},
        {9_V, "[C] PD", "[C] PD PD_PPS", ""},
        {9_V, "C", "C [PD] PD_PPS", ""},
        {5_V, "", "[C] PD PD_PPS", ""},
        {9_V, "C PD PD_PPS", "Unknown", "Unknown USB Charger Type C PD PD_PPS\n"},
        {9_V, "[C] PD PD_PPS PD", "Unknown", "Unknown USB Charger Type [C] PD PD_PPS PD\n"},
        {9_V, std::nullopt, "Unknown", "Unknown USB Charger Type: NULL\n"},
        {0, "C [PD] PD_PPS", "Unknown", ""}, // no voltage: the text is not looked at
    };
    Scenario s;
    Daemon &d = start_and_settle(s);
    int32_t current_ua = 100_mA;
    for (const UsbTypeCase &c : cases) {
        SCOPED_TRACE(c.text.value_or("(no type property)"));
        const int type_messages = d.count(Stream::err, "Unknown USB Charger Type");
        send_change(s, path::tcpm,
                    tcpm_properties("typec", true, c.voltage_uv, current_ua, c.text));
        if (!c.message.empty()) {
            EXPECT_TRUE(s.expect_err(c.message));
        }
        char negotiated[64];
        std::snprintf(negotiated, sizeof negotiated, "Neg: %4.01f;  Type: ", current_ua * 1e-6);
        EXPECT_TRUE(s.expect_err(negotiated + c.reported_type + "\n"));
        EXPECT_EQ(d.count(Stream::err, "Unknown USB Charger Type"),
                  type_messages + (c.message.empty() ? 0 : 1));
        current_ua += 100_mA;
    }
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(UsbContract, MissingPropertiesFollowTheirRules) {
    Scenario s;
    Daemon &d = start_and_settle(s);
    send_change(s, path::tcpm, tcpm_properties("typec", true, 9_V, 2_A, "C [PD] PD_PPS"));
    ASSERT_TRUE(s.expect_err("Neg:  9.0;  Cur:"));
    ASSERT_TRUE(s.expect_err("Neg:  2.0;  Type: C [PD] PD_PPS\n"));

    // Without a voltage there is no contract; online and the current are kept.
    send_change(s, path::tcpm, {{"OF_NAME", "typec"}, {"POWER_SUPPLY_USB_TYPE", "C PD [PD_PPS]"}});
    EXPECT_TRUE(s.expect_err("POWER_SUPPLY_ONLINE == NULL\n"));
    EXPECT_TRUE(s.expect_err("POWER_SUPPLY_VOLTAGE_NOW == NULL\n"));
    EXPECT_TRUE(s.expect_err("POWER_SUPPLY_CURRENT_NOW == NULL\n"));
    EXPECT_TRUE(s.expect_err("USB(1) - V:"));
    EXPECT_TRUE(s.expect_err("Neg:  0.0;  Cur:"));
    EXPECT_TRUE(s.expect_err("Neg:  2.0;  Type: Unknown\n"));
    EXPECT_EQ(d.count(Stream::err, "Unknown USB Charger Type"), 0);

    // Any non-zero online value is online.
    send_change(s, path::tcpm, tcpm_properties("typec", false, 5_V, 1_A, "[C] PD PD_PPS"));
    EXPECT_TRUE(s.expect_err("USB(0) - V:"));
    send_change(s, path::tcpm,
                {{"OF_NAME", "typec"},
                 {"POWER_SUPPLY_ONLINE", "2"},
                 {"POWER_SUPPLY_VOLTAGE_NOW", "5000000"},
                 {"POWER_SUPPLY_CURRENT_NOW", "1500000"}});
    EXPECT_TRUE(s.expect_err("USB(1) - V:"));
    EXPECT_TRUE(s.expect_err("Neg:  1.5;  Type: Unknown\n"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// Events of the PMIC-side supplies are told apart by the beginning of OF_NAME.
TEST(UdevRouting, DeviceTreeNameSelectsTheUsbSourceByPrefix) {
    struct Case {
        std::optional<std::string> of_name;
        bool routed;
    };
    const Case cases[] = {
        {"typ", false},  {std::nullopt, false}, {"Typec", false},
        {"typec", true}, {"typec@2b00", true},  {"", false},
    };
    Scenario s;
    Daemon &d = start_and_settle(s);
    // Each event carries its own negotiated current; the last one marks the end.
    int32_t current_ua = 100_mA;
    for (const Case &c : cases) {
        send_change(s, path::tcpm,
                    tcpm_properties(c.of_name, true, 5_V, current_ua, "[C] PD PD_PPS"));
        current_ua += 100_mA;
    }
    send_change(s, path::tcpm, tcpm_properties("typec", true, 5_V, 2_A, "[C] PD PD_PPS"));
    ASSERT_TRUE(s.expect_err("Neg:  2.0;  Type: [C] PD PD_PPS\n"));
    current_ua = 100_mA;
    for (const Case &c : cases) {
        char negotiated[64];
        std::snprintf(negotiated, sizeof negotiated, "Neg: %4.01f;  Type:", current_ua * 1e-6);
        EXPECT_EQ(d.count(Stream::err, negotiated) > 0, c.routed)
            << "OF_NAME " << c.of_name.value_or("(none)");
        current_ua += 100_mA;
    }
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(UdevRouting, DeviceTreeNameSelectsTheChargerByPrefix) {
    struct Case {
        std::string of_name;
        int32_t current_limit_ua; // shown as "Lim:" in the charger line
        bool routed;
    };
    const Case cases[] = {
        {"charge", 100_mA, false},
        {"Charger", 200_mA, false},
        {"charger-pm8550b", 300_mA, true},
        {"charger", 400_mA, true},
    };
    Scenario s;
    Daemon &d = start_and_settle(s);
    for (const Case &c : cases) {
        send_change(s, path::charger,
                    {{"OF_NAME", c.of_name},
                     {"POWER_SUPPLY_NAME", "pm8550b-charger"},
                     {"POWER_SUPPLY_ONLINE", "0"},
                     {"POWER_SUPPLY_STATUS", "Discharging"},
                     {"POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE", "8800000"},
                     {"POWER_SUPPLY_CONSTANT_CHARGE_CURRENT", std::to_string(c.current_limit_ua)}});
    }
    ASSERT_TRUE(s.expect_err("Lim:  0.4;  Stat: Discharging\n"));
    for (const Case &c : cases) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "Lim: %4.01f;", c.current_limit_ua * 1e-6);
        EXPECT_EQ(d.count(Stream::err, limit) > 0, c.routed) << "OF_NAME " << c.of_name;
    }
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(UdevRouting, PowerSupplyNameSelectsTheHotSwapControllerByPrefix) {
    Scenario s;
    Daemon &d = start_and_settle(s);
    send_change(s, path::hotswap,
                {{"POWER_SUPPLY_NAME", "pellgrave-hotswa"},
                 {"POWER_SUPPLY_STATUS", "Short"},
                 {"POWER_SUPPLY_PRESENT", "0"}});
    send_change(s, path::hotswap,
                {{"POWER_SUPPLY_NAME", "pellgrave-hotswap-1"},
                 {"POWER_SUPPLY_STATUS", "Long"},
                 {"POWER_SUPPLY_PRESENT", "0"}});
    EXPECT_TRUE(s.expect_out("Tavlock status: Long, external battery connected: 0\n"));
    EXPECT_EQ(d.count(Stream::out, "Tavlock status: Short"), 0);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(UdevRouting, PowerSupplyNameSelectsThePacksFuelGauge) {
    HeadsetConfig config;
    config.extra_gauges = {{7, 76}}; // the pack's gauge, without the pack's other devices
    Scenario s(config);
    Daemon &d = start_and_settle(s);
    // The internal gauge's own events and other near names start no search.
    send_change(s, path::gauge(7, 76), {{"POWER_SUPPLY_NAME", "max1720x_bat_7-36"}});
    send_change(s, path::gauge(7, 76), {{"POWER_SUPPLY_NAME", "max1720x_bat_7-7"}});
    send_change(s, path::gauge(7, 76), {{"POWER_SUPPLY_NAME", "max1720x_bat"}});
    send_change(s, path::gauge(7, 76), {{"POWER_SUPPLY_NAME", "max1720x_bat_7-76"}});
    EXPECT_TRUE(
        s.expect_err("symlink created for BAT1 -> /sys/class/power_supply/max1720x_bat_7-76/\n"));
    EXPECT_EQ(d.count(Stream::err, "for BAT1"), 1);
    EXPECT_EQ(s.read_link("BAT1"), "/sys/class/power_supply/max1720x_bat_7-76/");
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(UdevRouting, OneEventReachesTheChargerAndTheCrossCharger) {
    HeadsetConfig config;
    config.pack_attached = true;
    Scenario s(config);
    start_and_settle(s);
    ASSERT_TRUE(s.expect_out("  Cross-charger:\n"));
    // Both handlers report the missing status, the charger's handler first.
    send_change(s, path::mp2652,
                {{"OF_NAME", "charger"},
                 {"POWER_SUPPLY_NAME", "mp2652-charger"},
                 {"POWER_SUPPLY_ONLINE", "0"},
                 {"POWER_SUPPLY_CONSTANT_CHARGE_VOLTAGE", "8800000"},
                 {"POWER_SUPPLY_CONSTANT_CHARGE_CURRENT", "300000"}});
    EXPECT_TRUE(s.expect_err("Charger Status string is NULL\n"));
    EXPECT_TRUE(s.expect_err("MP2652: Unknown Charger Status NULL\n"));
    EXPECT_TRUE(s.expect_err("Lim:  0.3;  Stat: Unknown\n"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// --- watchdog ------------------------------------------------------------------------------

TEST(Heartbeat, EveryTimeoutPassRunsACycleAndSendsTheHeartbeat) {
    ScenarioOptions options;
    options.time_warp = 20; // the 20 s timeout takes one second
    Scenario s(options);
    Daemon &d = start_and_settle(s);
    // The events start-up asked for are handled before the marker's, so the reports after it
    // are timeout passes on any machine, not the start-up events' cycles of a fast one.
    ASSERT_TRUE(story::run_marker_cycle(s));
    const int reports = d.count(Stream::err, report_header);
    const int heartbeats = s.watchdog().count();
    EXPECT_TRUE(s.expect_err(report_header));
    EXPECT_TRUE(s.expect_err(report_header));
    EXPECT_TRUE(s.expect_heartbeats(heartbeats + 2));
    EXPECT_GE(d.count(Stream::err, report_header), reports + 2);
    EXPECT_TRUE(s.watchdog().other_messages().empty());
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(Heartbeat, APassWithoutChangeRunsNoCycleButSendsTheHeartbeat) {
    Scenario s;
    Daemon &d = start_and_settle(s);
    send_change(s, path::tcpm, tcpm_properties("typec", false, 0, 100_mA, std::nullopt));
    ASSERT_TRUE(s.expect_err("Neg:  0.1;  Type: Unknown\n"));
    ASSERT_TRUE(s.expect_heartbeats(1));
    const int reports = d.count(Stream::err, report_header);
    const int heartbeats = s.watchdog().count();

    // The internal gauge's events ask for no cycle: one pass each, a heartbeat each.
    constexpr int quiet_events = 3;
    for (int i = 0; i < quiet_events; ++i) {
        send_change(s, path::gauge(3, 36), {{"POWER_SUPPLY_NAME", "max1720x_bat_3-36"}});
    }
    send_change(s, path::tcpm, tcpm_properties("typec", false, 0, 200_mA, std::nullopt));
    ASSERT_TRUE(s.expect_err("Neg:  0.2;  Type: Unknown\n"));
    const int new_reports = d.count(Stream::err, report_header) - reports;
    // One pass may straddle the baseline; the quiet passes still show.
    EXPECT_TRUE(s.expect_heartbeats(heartbeats + new_reports + quiet_events - 1));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// --- signals and exit ----------------------------------------------------------------------

TEST(Signals, TermAndIntEndTheDaemonWithTheShutdownSequence) {
    struct Case {
        int signal;
        const char *message;
    };
    const Case cases[] = {{SIGTERM, "Received SIGTERM. Exiting...\n"},
                          {SIGINT, "Received SIGINT. Exiting...\n"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        Scenario s;
        start_and_settle(s);
        s.skip_writes();
        EXPECT_EQ(s.stop(c.signal), ExitStatus::with_code(0));
        EXPECT_TRUE(s.expect_err("Caught Signal: " + std::to_string(c.signal) + "\n"));
        EXPECT_TRUE(s.expect_err(c.message));
        story::expect_shutdown_sequence(s);
    }
}

TEST(Signals, HangUpIsLoggedAndIgnored) {
    Scenario s;
    Daemon &d = start_and_settle(s);
    d.send_signal(SIGHUP);
    EXPECT_TRUE(s.expect_err("Caught Signal: 1\n"));
    // Still serving events.
    send_change(s, path::tcpm, tcpm_properties("typec", true, 9_V, 1_A, "C [PD] PD_PPS"));
    EXPECT_TRUE(s.expect_err("Neg:  1.0;  Type: C [PD] PD_PPS\n"));
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.count(Stream::err, "Exiting"), 0);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    EXPECT_TRUE(s.expect_err("Caught Signal: 15\nReceived SIGTERM. Exiting...\n"));
}

TEST(Signals, AHangUpRightAfterATerminationDoesNotCancelIt) {
    Scenario s;
    Daemon &d = start_and_settle(s);
    d.send_signal(SIGTERM);
    d.send_signal(SIGHUP);
    const std::optional<ExitStatus> status = d.wait_exit();
    ASSERT_TRUE(status.has_value()) << d.transcript_text();
    EXPECT_EQ(*status, ExitStatus::with_code(0));
    EXPECT_EQ(d.count(Stream::err, "Received SIGTERM. Exiting...\n"), 1);
}

TEST(Signals, StopSignalsInheritedBlockedStillEndTheDaemon) {
    ScenarioOptions options;
    options.blocked_signals = {SIGTERM, SIGHUP, SIGINT};
    Scenario s(options);
    start_and_settle(s);
    EXPECT_EQ(s.stop(SIGINT), ExitStatus::with_code(0));
    EXPECT_TRUE(s.expect_err("Caught Signal: 2\nReceived SIGINT. Exiting...\n"));
}

TEST(DaemonStart, MissingUsbSourceEndsStartUpAfterTheShutdownSequence) {
    HeadsetConfig config;
    config.omit = {tcpm_uevent};
    Scenario s(config);
    Daemon &d = s.start();
    const std::optional<ExitStatus> status = d.wait_exit();
    ASSERT_TRUE(status.has_value()) << d.transcript_text();
    EXPECT_EQ(*status, ExitStatus::with_code(-1));
    EXPECT_TRUE(s.expect_err_line(tcpm_uevent));
    EXPECT_TRUE(s.expect_err("Open USB uevent failed on -1\n"));
    story::expect_shutdown_sequence(s);
    EXPECT_EQ(d.count(Stream::err, report_header), 0);
    EXPECT_EQ(s.watchdog().count(), 0);
}

// ---- The journal ----

// Under systemd, JOURNAL_STREAM names the journal's stream ("<device>:<inode>"). Here a shell
// in front of the daemon names the daemon's own standard error or output pipe, which it
// learns from /proc like the daemon's fstat does; any launcher of the build (qemu-user)
// follows it.
std::vector<std::string> naming_journal_stream(int fd) {
    std::vector<std::string> launcher = {"/bin/sh", "-c",
                                         "export JOURNAL_STREAM=\"$(stat -L -c %d:%i /proc/$$/fd/" +
                                             std::to_string(fd) + ")\" && exec \"$@\"",
                                         "sh"};
    const std::vector<std::string> build_launcher = default_daemon_launcher();
    launcher.insert(launcher.end(), build_launcher.begin(), build_launcher.end());
    return launcher;
}

// "<N>" at the start of a line: the level that journald takes and strips.
const std::regex level_prefix("^<[3467]>");
// A prefix anywhere else would stay in the journal's text.
const std::regex inner_prefix(".<[0-7]>");

TEST(Journal, LinesToTheJournalCarryTheirLevelAndOtherStreamsStayAsTheyAre) {
    const struct {
        const char *name;
        int journal_fd;             // the stream JOURNAL_STREAM names: 2, 1, or none (0)
        const char *journal_stream; // a value of its own instead (names no stream)
    } cases[] = {{"standard error", 2, nullptr},
                 {"standard output", 1, nullptr},
                 {"not set", 0, nullptr},
                 {"another file", 0, "1:1"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScenarioOptions options;
        // A hot-swap attribute that cannot be watched: its message ends without a newline and
        // the next one continues its line. No control file: each open fails once.
        options.headset.omit = {path::hotswap + "/interrupt_pack_removed"};
        if (c.journal_fd != 0) {
            options.daemon_launcher = naming_journal_stream(c.journal_fd);
        }
        if (c.journal_stream != nullptr) {
            options.env = {{"JOURNAL_STREAM", c.journal_stream}};
        }
        Scenario s(options);
        start_and_settle(s);
        ASSERT_TRUE(s.expect_out("  Manual control: "));
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
        const Daemon &d = s.daemon();

        const std::string epoll_error = "ERROR: epoll open " + path::hotswap +
                                        "/interrupt_pack_removed failed: No such file or "
                                        "directory";
        const struct {
            Stream stream;
            std::string line; // as printed, without its prefix
            std::string prefix;
        } expected[] = {
            {Stream::err, "Starting " + s.options().daemon_binary.string() + " - Version: 2.6-",
             "<6>"},
            {Stream::err, "Searching for pellgrave-hotswap - status", "<7>"},
            {Stream::err, epoll_error, "<3>"},
            {Stream::err, "Open set_internal_batt_primary failed on -1", "<3>"},
            {Stream::err, "---- Current State ----", "<6>"},
            {Stream::err, "Caught Signal: 15", "<6>"},
            {Stream::err, "Received SIGTERM. Exiting...", "<6>"},
            {Stream::out, "Found Tavlock Headstrap", "<6>"},
            {Stream::out, "  Manual control: internal as primary: 0", "<6>"},
            {Stream::out, "Uninitializing mp2652 charger", "<6>"},
        };
        for (const auto &e : expected) {
            const bool journal = (e.stream == Stream::err ? 2 : 1) == c.journal_fd;
            const std::string wanted = (journal ? e.prefix : "") + e.line;
            const std::vector<std::string> lines = d.lines(e.stream);
            EXPECT_TRUE(
                std::any_of(lines.begin(), lines.end(),
                            [&](const std::string &line) { return line.starts_with(wanted); }))
                << "no " << stream_name(e.stream) << " line begins with \"" << wanted << "\"\n"
                << d.transcript_text(80);
        }
        // The unwatchable file's message is continued without a prefix of the next line's own.
        const std::string err_text = d.text(Stream::err);
        const size_t continued = err_text.find(epoll_error);
        ASSERT_NE(continued, std::string::npos);
        EXPECT_NE(err_text[continued + epoll_error.size()], '<') << d.transcript_text(80);

        for (const Stream stream : {Stream::err, Stream::out}) {
            const bool journal = (stream == Stream::err ? 2 : 1) == c.journal_fd;
            for (const std::string &line : d.lines(stream)) {
                // Every line of the journal's stream begins with one level; nowhere else.
                EXPECT_EQ(std::regex_search(line, level_prefix), journal)
                    << stream_name(stream) << "| " << line;
                EXPECT_FALSE(std::regex_search(line, inner_prefix))
                    << stream_name(stream) << "| " << line;
            }
        }
    }
}

} // namespace
} // namespace vh
