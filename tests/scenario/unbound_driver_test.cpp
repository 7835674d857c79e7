// SPDX-License-Identifier: MIT
// Files that never stop being ready. An unbound driver leaves every open attribute of its
// device ready for ever, each read failing with ENODEV; a flood of udev events keeps the
// monitor ready. Neither may spin the journal full or keep a stop signal out. A driver bound
// again brings its device back as new files, which the daemon takes up without a restart.
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace vh {
namespace {

constexpr const char *report_header = "---- Current State ----\n";
// Passes that may sit between a count of heartbeats and one of reports taken together.
constexpr int max_count_skew = 5;

struct WatchedFile {
    std::string attribute;
    const char *read_error; // the line its callback prints for a failed read
};

// The controller's change event is the last one start-up asks for: once it is handled, no
// start-up pass is left to mix into what a test counts.
bool settled(Scenario &s) {
    return s.expect_out("Tavlock status: ") && s.expect_err(report_header);
}

const WatchedFile watched_files[] = {
    {path::charger + "/qph2", "read qph failed on -1\n"},
    {path::charger + "/aicl_status", "read aicl status failed on -1\n"},
    {path::backlight_left + "/state", "read left backlight failed on -1\n"},
    {path::room_tracking_led + "/led_state", "read room tracking failed on -1\n"},
};

TEST(UnboundDriver, AVanishedAttributeIsReportedOnceAndTheLoopGoesQuiet) {
    for (const WatchedFile &file : watched_files) {
        SCOPED_TRACE(file.attribute);
        ScenarioOptions options;
        options.time_warp = 20; // the 20 s timeout pass comes every second
        Scenario s(options);
        Daemon &d = s.start();
        ASSERT_TRUE(settled(s));

        s.fs().remove(file.attribute);
        ASSERT_TRUE(s.expect_err(file.read_error));
        const int reports = d.count(Stream::err, report_header);
        const int heartbeats = s.watchdog().count();
        // Two passes later (timeout passes: nothing else happens).
        ASSERT_TRUE(s.expect_heartbeats(heartbeats + 2));

        s.skip_writes();
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
        story::expect_shutdown_sequence(s);
        // Counted once the daemon has ended and all its output is in: the error was printed
        // once, and every pass since ran a cycle, as timeout passes do. A loop woken again and
        // again by the dead file would show passes without a cycle, hundreds of them. Slack:
        // heartbeats (a socket) and reports (a pipe) are counted at one moment, so passes the
        // host held the test back from reading may fall on either side of the count.
        EXPECT_EQ(d.count(Stream::err, file.read_error), 1) << d.transcript_text(40);
        const int passes = s.watchdog().count() - heartbeats;
        const int cycles = d.count(Stream::err, report_header) - reports;
        EXPECT_GE(passes, 2);
        EXPECT_LE(passes, cycles + max_count_skew) << d.transcript_text(40);
    }
}

std::string lost_line(const std::string &path) {
    return "Lost " + path + "; reopening it when its device returns\n";
}

std::string reopened_line(const std::string &path) {
    return "Reopened " + path + "\n";
}

// The 20 s timeout pass, which looks for vanished devices, comes every second.
ScenarioOptions returning_device_options() {
    ScenarioOptions options;
    options.time_warp = 20;
    options.headset.internal.current_avg_ua = 2'000'000; // a battery that takes QPH2 current
    return options;
}

// Gone and silent: the loss is reported once, and the loop only runs its timeout passes.
void expect_one_quiet_loss(Scenario &s, const std::string &lost) {
    Daemon &d = s.daemon();
    ASSERT_TRUE(s.expect_err(lost));
    const int reports = d.count(Stream::err, report_header);
    const int heartbeats = s.watchdog().count();
    for (int pass = 0; pass < 3; ++pass) {
        ASSERT_TRUE(s.expect_err(report_header));
    }
    EXPECT_EQ(d.count(Stream::err, lost), 1) << d.transcript_text(40);
    // A pass whose callbacks report nothing sends a heartbeat without a report: a loop
    // spinning on a dead file would send far more heartbeats than reports.
    const int new_reports = d.count(Stream::err, report_header) - reports;
    EXPECT_LE(s.watchdog().count() - heartbeats, new_reports + max_count_skew);
}

struct ReturningDevice {
    const char *name;
    std::string device;
    std::string kept_file; // as the daemon names it: a fixed path, or the path it looked up
    std::function<void(Scenario &)> use_again;
};

const ReturningDevice returning_devices[] = {
    {"charger", path::charger, path::charger + "/aicl_status",
     [](Scenario &s) {
         s.hs().usb.plug(9_V, 3_A, usb_type::pd);
         ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
         ASSERT_TRUE(s.expect_err("AICL Complete - Entering QPH2\n"));
         EXPECT_TRUE(s.expect_err("QPH2 Entered\n"));
     }},
    {"left backlight", path::backlight_left, "",
     [](Scenario &s) {
         s.hs().loads.set_backlight_left(true);
         EXPECT_TRUE(s.expect_err_line("QPH(1) - Sel: 1; Load: 0x4"));
     }},
    {"room-tracking LED", path::room_tracking_led, "",
     [](Scenario &s) {
         s.hs().loads.set_room_tracking(true);
         EXPECT_TRUE(s.expect_err_line("QPH(1) - Sel: 1; Load: 0x1"));
     }},
    {"ADC", path::adc, "",
     [](Scenario &s) {
         s.hs().adc.set_vbat_uv(6'500'000);
         EXPECT_TRUE(s.expect_err("CHG(0) - V:  6.5,"));
     }},
    {"current limiter", path::hwmon, "",
     [](Scenario &s) {
         // A driver bound again starts from its defaults: the daemon takes control again.
         EXPECT_TRUE(s.expect_write(path::bcl_enable, "1"));
         EXPECT_TRUE(s.expect_write(path::hwmon + "/in0_enable", "0"));
         EXPECT_TRUE(s.next_write_to(path::hwmon + "/in0_min").has_value());
     }},
    {"hot-swap controller", path::hotswap, path::hotswap + "/",
     [](Scenario &s) {
         // Asked for as at start-up: the controller's event with the pack's presence.
         ASSERT_TRUE(s.expect_out("Tavlock status: "));
         s.hs().hotswap.set("internal_active", false);
         EXPECT_TRUE(s.expect_out("power source: Transitioning"));
     }},
};

// The file the daemon names in its report: a looked-up device by its /sys/devices path.
std::string named_kept_file(Scenario &s, const ReturningDevice &device) {
    if (!device.kept_file.empty()) {
        return device.kept_file;
    }
    const std::string dir = s.hs().device_path(device.device);
    if (device.device == path::adc) {
        return dir + "/" + adc_channel::vbat;
    }
    if (device.device == path::hwmon) {
        return dir + "/in0_enable";
    }
    return dir + (device.device == path::room_tracking_led ? "/led_state" : "/state");
}

TEST(ReturningDevice, IsReportedLostOnceThenUsedAgainWithoutARestart) {
    for (const ReturningDevice &device : returning_devices) {
        SCOPED_TRACE(device.name);
        Scenario s(returning_device_options());
        Daemon &d = s.start();
        ASSERT_TRUE(settled(s));
        const std::string kept_file = named_kept_file(s, device);

        s.hs().unbind(device.device);
        expect_one_quiet_loss(s, lost_line(kept_file));
        s.skip_writes();
        s.hs().bind(device.device);
        // A real kernel may number a device bound again anew (regulator.N): the daemon's
        // lookup names the file it finds now.
        const std::string found_again = named_kept_file(s, device);
        ASSERT_TRUE(s.expect_err(reopened_line(found_again))) << d.transcript_text(40);
        device.use_again(s);
        EXPECT_EQ(d.count(Stream::err, reopened_line(found_again)), 1);
        EXPECT_TRUE(d.running());
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    }
}

// Unbound and bound again between two looks at the files: the path names a new file while
// the daemon still holds the old one.
TEST(ReturningDevice, AQuickRebindIsTakenUpAsWell) {
    for (const ReturningDevice &device : returning_devices) {
        if (device.device != path::charger && device.device != path::backlight_left &&
            device.device != path::hotswap) {
            continue;
        }
        SCOPED_TRACE(device.name);
        Scenario s(returning_device_options());
        Daemon &d = s.start();
        ASSERT_TRUE(settled(s));
        const std::string kept_file = named_kept_file(s, device);

        s.skip_writes();
        s.hs().unbind(device.device);
        s.hs().bind(device.device);
        ASSERT_TRUE(s.expect_err(lost_line(kept_file)));
        ASSERT_TRUE(s.expect_err(reopened_line(named_kept_file(s, device))))
            << d.transcript_text(40);
        device.use_again(s);
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    }
}

// A live driver whose show() fails once with ENODEV: the file left the epoll set with the
// failed read; the next look at the files finds it still there and watches it again.
TEST(ReturningDevice, ABrieflyUnreadableFileIsWatchedAgain) {
    struct Case {
        std::string attribute;
        const char *read_error;
        std::function<void(Scenario &)> change;
        const char *seen; // the line that shows the change was seen
    };
    const Case cases[] = {
        {path::charger + "/qph2", "read qph failed on -1\n",
         [](Scenario &s) { s.hs().charger.enter_qph2(); }, "qph state changed 1\n"},
        {path::preboost + "/state", "read preboost failed on -1\n",
         [](Scenario &s) { s.hs().loads.set_preboost(true); }, "Load: 0x2\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.attribute);
        Scenario s(returning_device_options());
        Daemon &d = s.start();
        ASSERT_TRUE(settled(s));

        s.fs().fail_reads(c.attribute, ENODEV);
        s.fs().notify(c.attribute);
        ASSERT_TRUE(s.expect_err(c.read_error));
        s.fs().fail_reads(c.attribute, 0);
        // Two timeout passes: the file has been looked at again since the failure.
        ASSERT_TRUE(s.expect_err(report_header));
        ASSERT_TRUE(s.expect_err(report_header));
        c.change(s);
        EXPECT_TRUE(s.expect_err(c.seen)) << d.transcript_text(40);
        EXPECT_EQ(d.count(Stream::err, "Lost "), 0);
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    }
}

TEST(StopSignal, EndsTheDaemonWhileEveryWaitFindsWorkWaiting) {
    struct Case {
        int signal;
        const char *message;
    };
    const Case cases[] = {{SIGTERM, "Received SIGTERM. Exiting...\n"},
                          {SIGINT, "Received SIGINT. Exiting...\n"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        Scenario s;
        Daemon &d = s.start();
        ASSERT_TRUE(settled(s));

        // USB-C events faster than the daemon's cycles: the monitor is ready at every wait,
        // so no wait ever ends idle or interrupted.
        std::atomic<bool> flooding = true;
        std::thread flood([&s, &flooding] {
            for (int32_t ma = 0; flooding && ma < 200'000; ++ma) {
                story::send_change(s, path::tcpm,
                                   story::tcpm_properties("typec", false, 0, ma * 1000, "C"));
            }
        });
        for (int pass = 0; pass < 20; ++pass) {
            EXPECT_TRUE(d.wait_for_text(Stream::err, report_header));
        }
        s.skip_writes();
        const ExitStatus status = d.stop(c.signal, std::chrono::seconds(5));
        flooding = false;
        flood.join();
        EXPECT_EQ(status, ExitStatus::with_code(0));
        EXPECT_TRUE(s.expect_err("Caught Signal: " + std::to_string(c.signal) + "\n"));
        EXPECT_TRUE(s.expect_err(c.message));
        story::expect_shutdown_sequence(s);
    }
}

} // namespace
} // namespace vh
