// Files that never stop being ready. An unbound driver leaves every open attribute of its
// device ready for ever, each read failing with ENODEV; a flood of udev events keeps the
// monitor ready. Neither may spin the journal full or keep a stop signal out.
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>

namespace vh {
namespace {

constexpr const char *report_header = "---- Current State ----\n";

struct WatchedFile {
    std::string attribute;
    const char *read_error; // the line its callback prints for a failed read
};

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
        ASSERT_TRUE(s.expect_err(report_header));
        ASSERT_TRUE(s.expect_heartbeats(1));

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
        // again by the dead file would show passes without a cycle (and hundreds of them).
        // Slack: the pass that printed the error may have sent its heartbeat after the count,
        // and one start-up event may still have been waiting.
        EXPECT_EQ(d.count(Stream::err, file.read_error), 1) << d.transcript_text(40);
        const int passes = s.watchdog().count() - heartbeats;
        const int cycles = d.count(Stream::err, report_header) - reports;
        EXPECT_GE(passes, 2);
        EXPECT_LE(passes, cycles + 2) << d.transcript_text(40);
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
        ASSERT_TRUE(s.expect_err(report_header));

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
