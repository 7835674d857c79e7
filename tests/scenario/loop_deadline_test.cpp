// The loop's 20 s rhythm under a steady stream of events that ask for no update cycle: a
// notification of a watched hot-swap flag that did not change, and udev events of a power
// supply the daemon does not know. Each gets a pass and a heartbeat, but none postpones the
// timeout pass, which still comes 20 s after the previous cycle.
#include "event_cycles.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vh {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

using story::report_header;
constexpr double time_warp = 20;                         // 20 virtual seconds take one second
constexpr auto quiet_event_interval = 100ms;             // 2 virtual seconds
constexpr auto period = std::chrono::milliseconds(1000); // the 20 s period, warped
// 20 s plus one pass: the pass is short, but the machine running the tests may be loaded.
constexpr auto period_and_one_pass = period + period / 2;

// Sends the quiet events, alternating the two kinds, until destroyed.
class QuietEvents {
  public:
    explicit QuietEvents(Scenario &s)
        : hotswap_flag_(s.fs().canonical(path::hotswap + "/internal_voltage_ok")),
          thread_([this, &s](std::stop_token stop) { run(s, stop); }) {}
    int udev_events_sent() const { return udev_events_sent_; }

  private:
    void run(Scenario &s, const std::stop_token &stop) {
        std::mutex mutex;
        std::condition_variable_any stopped;
        for (bool udev_event = false; !stop.stop_requested(); udev_event = !udev_event) {
            if (udev_event) {
                s.hs().events().send("change", "/devices/platform/soc/otg/power_supply/usb-otg",
                                     "power_supply",
                                     {{"DEVTYPE", "power_supply"},
                                      {"POWER_SUPPLY_NAME", "usb-otg"},
                                      {"POWER_SUPPLY_ONLINE", "1"}});
                ++udev_events_sent_;
            } else {
                s.fs().notify(hotswap_flag_);
            }
            // Pacing the stimulus, not waiting for a result.
            std::unique_lock lock(mutex);
            stopped.wait_for(lock, stop, quiet_event_interval, [] { return false; });
        }
    }

    std::string hotswap_flag_;
    std::atomic<int> udev_events_sent_{0};
    std::jthread thread_;
};

// When each report began, and each AICL timeout message, as the daemon's output arrived.
// A read of the pipe may end inside a line, so the texts are looked for in the whole
// standard error so far.
class OutputTimes {
  public:
    static constexpr std::string_view aicl_timeout_message = "QPH2 AICL Timeout, Trying anyway\n";

    void record(Stream stream, std::string_view piece) {
        if (stream != Stream::err) {
            return;
        }
        const std::lock_guard lock(mutex_);
        err_.append(piece);
        const clock_type::time_point now = clock_type::now();
        reports_.find_new(err_, now);
        aicl_timeouts_.find_new(err_, now);
    }
    std::vector<clock_type::time_point> reports() const {
        const std::lock_guard lock(mutex_);
        return reports_.times;
    }
    std::vector<clock_type::time_point> aicl_timeouts() const {
        const std::lock_guard lock(mutex_);
        return aicl_timeouts_.times;
    }

  private:
    struct Occurrences {
        explicit Occurrences(std::string_view looked_for) : text(looked_for) {}

        std::string_view text;
        size_t searched_to = 0;
        std::vector<clock_type::time_point> times;

        void find_new(const std::string &stream_text, clock_type::time_point now) {
            size_t found;
            while ((found = stream_text.find(text, searched_to)) != std::string::npos) {
                times.push_back(now);
                searched_to = found + text.size();
            }
        }
    };

    mutable std::mutex mutex_;
    std::string err_;
    Occurrences reports_{report_header};
    Occurrences aicl_timeouts_{aicl_timeout_message};
};

ScenarioOptions warped(OutputTimes &times) {
    ScenarioOptions options;
    options.time_warp = time_warp;
    options.on_output = [&times](Stream stream, std::string_view piece) {
        times.record(stream, piece);
    };
    return options;
}

long in_ms(clock_type::duration duration) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

TEST(LoopDeadline, EventsWithoutChangeDoNotPostponeTheTimeoutPass) {
    OutputTimes times;
    Scenario s(warped(times));
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err(report_header));
    // The events that start-up asked for are handled before this one; its cycle is the
    // last before the quiet stream.
    ASSERT_TRUE(story::run_marker_cycle(s));
    const size_t last_event_cycle = times.reports().size() - 1;

    const int heartbeats_before = s.watchdog().count();
    constexpr int timeout_passes = 3;
    int udev_events_sent = 0;
    {
        QuietEvents quiet(s);
        for (int i = 0; i < timeout_passes; ++i) {
            ASSERT_TRUE(d.wait_for_text(Stream::err, report_header, 3 * period))
                << "no timeout pass " << i + 1 << " under the quiet events";
        }
        udev_events_sent = quiet.udev_events_sent();
    }

    // Each report came 20 s after the previous cycle: none was postponed by the quiet
    // events, and none ran for one of them.
    const std::vector<clock_type::time_point> reports = times.reports();
    ASSERT_EQ(static_cast<int>(reports.size()), d.count(Stream::err, report_header));
    ASSERT_GE(reports.size(), last_event_cycle + timeout_passes + 1);
    for (size_t i = last_event_cycle + 1; i <= last_event_cycle + timeout_passes; ++i) {
        const clock_type::duration gap = reports[i] - reports[i - 1];
        EXPECT_LE(gap, period_and_one_pass) << "cycle " << i << ": " << in_ms(gap) << " ms\n"
                                            << d.transcript_text(60);
        EXPECT_GE(gap, period / 2) << "cycle " << i << ": " << in_ms(gap) << " ms";
    }
    // Each quiet event was handled in a pass of its own, with its heartbeat.
    EXPECT_GE(udev_events_sent, 2 * timeout_passes);
    const int reports_since = static_cast<int>(reports.size() - 1 - last_event_cycle);
    EXPECT_TRUE(s.expect_heartbeats(heartbeats_before + reports_since + udev_events_sent));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// The AICL wait gives up only in a cycle run after a wait that timed out; events that ask
// for no cycle do not keep it waiting.
TEST(LoopDeadline, EventsWithoutChangeDoNotHoldTheAiclWaitOpen) {
    OutputTimes times;
    ScenarioOptions options = warped(times);
    options.headset.auto_aicl = false; // the charger never completes the run
    Scenario s(options);
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
    {
        QuietEvents quiet(s);
        ASSERT_TRUE(d.wait_for_text(Stream::err, OutputTimes::aicl_timeout_message, 3 * period))
            << d.transcript_text(40);
    }
    // The message belongs to the last report before it; the cycle before that one started
    // the 20 s.
    const std::vector<clock_type::time_point> aicl_timeouts = times.aicl_timeouts();
    ASSERT_FALSE(aicl_timeouts.empty());
    std::vector<clock_type::time_point> reports = times.reports();
    std::erase_if(reports, [&](clock_type::time_point t) { return t > aicl_timeouts.front(); });
    ASSERT_GE(reports.size(), 2U);
    const clock_type::duration gap = reports.back() - reports[reports.size() - 2];
    EXPECT_LE(gap, period_and_one_pass) << in_ms(gap) << " ms";
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
